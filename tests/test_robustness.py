"""Robustness at the edges of the host: policy files read from pipes, the wall
clock far in the future, and deeply nested values on small thread stacks."""

import json
import os
import shutil
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from _corvanth_core import PolicyEngine
from builders import action, engine_for, field, policy, rule
from halvoc import container

PAYLOAD = json.dumps(policy(name="piped"), separators=(",", ":"))
VALID = container(PAYLOAD)
SHORT = "Failed to load policy: I/O error: failed to fill whole buffer"

# --- from_file on pipes --------------------------------------------------------


def pieces(data, sizes):
    """`data` cut into pieces of the given sizes, the last size repeated."""
    out, pos, i = [], 0, 0
    while pos < len(data):
        size = sizes[min(i, len(sizes) - 1)]
        out.append(data[pos : pos + size])
        pos += size
        i += 1
    return out


class PipeWriter(threading.Thread):
    """Opens the pipe after `delay` seconds and writes `chunks` with `pause`
    seconds between them; with `hold`, keeps its end open until released."""

    def __init__(self, path, chunks, delay=0.0, pause=0.0, hold=False):
        super().__init__(daemon=True)
        self.path, self.chunks = path, chunks
        self.delay, self.pause = delay, pause
        self.release = threading.Event()
        if not hold:
            self.release.set()
        self.error = None

    def run(self):
        try:
            time.sleep(self.delay)
            with open(self.path, "wb", buffering=0) as pipe:
                for chunk in self.chunks:
                    pipe.write(chunk)
                    time.sleep(self.pause)
                self.release.wait(10)
        except BaseException as error:  # reported by the test
            self.error = error


PIPE_CASES = [
    # (label, chunks, delay, pause, expected policy name or error text)
    ("whole at once", [VALID], 0.0, 0.0, "piped"),
    ("one byte at a time", pieces(VALID, [1]), 0.0, 0.001, "piped"),
    ("header split across pieces", pieces(VALID, [3, 5, 2, 40]), 0.0, 0.02, "piped"),
    ("writer opens a moment later", [VALID], 0.3, 0.0, "piped"),
    ("late writer, in pieces", pieces(VALID, [7, 64]), 0.2, 0.05, "piped"),
    ("writer stops in the header", [VALID[:6]], 0.0, 0.0, SHORT),
    ("writer stops in the payload", pieces(VALID[:-1], [20]), 0.0, 0.01, SHORT),
    ("writer sends nothing", [], 0.0, 0.0, SHORT),
]


@pytest.mark.parametrize(
    "label, chunks, delay, pause, expected",
    PIPE_CASES,
    ids=[case[0] for case in PIPE_CASES],
)
def test_from_file_reads_a_pipe_like_cat(tmp_path, label, chunks, delay, pause, expected):
    path = tmp_path / "policy.halvoc"
    os.mkfifo(path)
    writer = PipeWriter(path, chunks, delay, pause)
    writer.start()
    if expected == SHORT:
        with pytest.raises(RuntimeError) as info:
            PolicyEngine.from_file(str(path))
        assert str(info.value) == SHORT
    else:
        assert PolicyEngine.from_file(str(path)).policy_name == expected
    writer.join(10)
    assert writer.error is None


def test_from_file_stops_at_the_end_of_the_container(tmp_path):
    # The writer keeps its end open after the container and more bytes:
    # reading ends with the container, not with the pipe.
    path = tmp_path / "policy.halvoc"
    os.mkfifo(path)
    writer = PipeWriter(path, [VALID + b"more"], hold=True)
    writer.start()
    try:
        assert PolicyEngine.from_file(str(path)).policy_name == "piped"
        assert writer.is_alive()
    finally:
        writer.release.set()
        writer.join(10)
    assert writer.error is None


READ_STDIN = textwrap.dedent(
    """
    import sys
    from _corvanth_core import PolicyEngine
    print(PolicyEngine.from_file(sys.argv[1]).policy_name)
    """
)


def test_from_file_reads_dev_stdin_fed_by_a_slow_pipe():
    reader = subprocess.Popen(
        [sys.executable, "-c", READ_STDIN, "/dev/stdin"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    for chunk in pieces(VALID, [5, 9, 30]):
        reader.stdin.write(chunk)
        reader.stdin.flush()
        time.sleep(0.02)
    out, err = reader.communicate(timeout=30)
    assert (out, err, reader.returncode) == (b"piped\n", b"", 0)


@pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash")
def test_from_file_reads_a_process_substitution(tmp_path):
    source = tmp_path / "policy.halvoc"
    source.write_bytes(VALID)
    script = tmp_path / "read.py"
    script.write_text(READ_STDIN)
    # The substituted command opens its end only after a pause.
    command = f'"{sys.executable}" "{script}" <(sleep 0.3; cat "{source}")'
    done = subprocess.run(
        ["bash", "-c", command], capture_output=True, timeout=30, env=os.environ
    )
    assert (done.stdout, done.stderr, done.returncode) == (b"piped\n", b"", 0)
