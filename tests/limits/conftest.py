"""A Redis server of the tests' own, for the shared limits.

`redis_server` starts `redis-server` once per session on a free loopback
port, in a temporary directory, with nothing saved to disk, and stops it
at the end; `redis_client` gives a client on it with the database emptied.
`own_redis` is a server for one test alone, which it may stop, pause and
start again. Tests that need a server are marked `redis` and skip, saying
why, when no `redis-server` binary (or no `redis` client package) exists.

    @pytest.mark.redis
    def test_counts(redis_client): ...
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from collections.abc import Iterator

import pytest

SERVER = shutil.which("redis-server")


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "redis: needs a redis-server binary (the tests start their own)"
    )


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class RedisServer:
    """One redis-server process on a loopback port, in its own directory."""

    def __init__(self, port: int | None = None) -> None:
        self.port = free_port() if port is None else port
        self._dir = tempfile.TemporaryDirectory(prefix="corvanth-redis-")
        self._process: subprocess.Popen[bytes] | None = None

    def start(self) -> None:
        assert SERVER is not None
        command = [SERVER, "--port", str(self.port), "--bind", "127.0.0.1"]
        command += ["--save", "", "--appendonly", "no", "--dir", self._dir.name]
        self._process = subprocess.Popen(
            command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
        )
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), 0.2) as c:
                    c.sendall(b"PING\r\n")
                    if c.recv(16).startswith(b"+PONG"):
                        return
            except OSError:
                time.sleep(0.02)
        self.stop()
        raise RuntimeError(f"redis-server did not start on port {self.port}")

    def stop(self) -> None:
        if self._process is not None:
            self._process.kill()
            self._process.wait(10)
            self._process = None

    def pause(self) -> None:
        assert self._process is not None
        os.kill(self._process.pid, signal.SIGSTOP)

    def resume(self) -> None:
        assert self._process is not None
        os.kill(self._process.pid, signal.SIGCONT)

    def client(self):  # type: ignore[no-untyped-def]
        import redis

        return redis.Redis(host="127.0.0.1", port=self.port)

    def close(self) -> None:
        self.stop()
        self._dir.cleanup()


def _need_redis() -> None:
    if SERVER is None:
        pytest.skip("no redis-server binary on PATH (install Debian's redis-server)")
    try:
        import redis  # noqa: F401
    except ImportError:
        pytest.skip(
            "the redis client is not installed (pip install corvanth-core[redis])"
        )


@pytest.fixture(scope="session")
def redis_server() -> Iterator[RedisServer]:
    _need_redis()
    server = RedisServer()
    server.start()
    yield server
    server.close()


@pytest.fixture
def redis_client(redis_server: RedisServer):  # type: ignore[no-untyped-def]
    client = redis_server.client()
    client.flushall()
    client.config_resetstat()
    yield client
    client.close()


@pytest.fixture
def own_redis() -> Iterator[RedisServer]:
    _need_redis()
    server = RedisServer()
    server.start()
    yield server
    server.close()
