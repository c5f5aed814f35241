"""Cost of a shared limit: a guard whose quota is counted in a local Redis
against the same guard counting it in its engine.

In interleaved rounds, each side checks the same events (a mix in which one
event in `--share` has the shared type); the figures are the events per
second of each side (median over rounds), the median of the per-round
ratios, and the latency a shared-limit event adds (median and p99 of the
shared-type events' times less the median time of the engine alone). Other
event types go to the engine alone and cost the same on both sides.

Starts its own redis-server on a free loopback port (Debian's
`redis-server` and the `redis` client, `pip install corvanth-core[redis]`).

    python bench/bench_shared_limits.py [--rounds N] [--events N] [--share N]
"""

import argparse
import shutil
import socket
import statistics
import subprocess
import tempfile
import time

from corvanth_core import Guard, SharedLimits, compile

POLICY = compile(
    """
name: fleet
rules:
  - on: tool_call
    when: tool == "shell" and command contains "rm -rf"
    deny: "Blocked {command}"
  - on: file_access
    when: path endswith ".env"
    audit: "secret read"
limits:
  - quota: tool_call
    max: 100000000
    per: 1h
  - rate: web_request
    max: 100000000
    per: 1m
"""
)


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def start_redis(directory: str) -> tuple[subprocess.Popen[bytes], int]:
    server = shutil.which("redis-server")
    if server is None:
        raise SystemExit("no redis-server on PATH")
    port = free_port()
    command = [server, "--port", str(port), "--bind", "127.0.0.1", "--save", ""]
    command += ["--appendonly", "no", "--dir", directory]
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    for _ in range(500):
        try:
            socket.create_connection(("127.0.0.1", port), 0.1).close()
            return process, port
        except OSError:
            time.sleep(0.01)
    process.kill()
    raise SystemExit("redis-server did not start")


def events(count: int, share: int) -> list[tuple[str, dict[str, str]]]:
    """`count` events, one in `share` of the shared type."""
    others = [
        ("file_access", {"path": "/work/app/.env"}),
        ("web_request", {"url": "https://pypi.org"}),
    ]
    return [
        ("tool_call", {"tool": "shell", "command": "ls"})
        if n % share == 0
        else others[n % 2]
        for n in range(count)
    ]


def timed(guard: Guard, batch: list[tuple[str, dict[str, str]]]) -> list[float]:
    """Seconds per event, in order."""
    times = []
    clock = time.perf_counter
    for event_type, fields in batch:
        start = clock()
        guard.check(event_type, fields)
        times.append(clock() - start)
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--events", type=int, default=4000)
    parser.add_argument("--share", type=int, default=4)
    options = parser.parse_args()
    import redis

    with tempfile.TemporaryDirectory() as directory:
        process, port = start_redis(directory)
        try:
            client = redis.Redis(port=port)
            clock = iter(range(10**15)).__next__
            local = Guard(POLICY, clock=clock)
            limits = SharedLimits(client, targets=["tool_call"], timeout_ms=1000)
            shared = Guard(POLICY, shared_limits=limits, clock=clock)
            batch = events(options.events, options.share)
            kinds = [event_type == "tool_call" for event_type, _ in batch]
            timed(local, batch[:500]), timed(shared, batch[:500])  # warm up
            rates: dict[str, list[float]] = {"local": [], "shared": []}
            ratios, added, alone, others = [], [], [], []
            for _ in range(options.rounds):
                base = timed(local, batch)
                with_redis = timed(shared, batch)
                rates["local"].append(len(batch) / sum(base))
                rates["shared"].append(len(batch) / sum(with_redis))
                ratios.append(sum(with_redis) / sum(base))
                engine = [t for t, k in zip(base, kinds) if k]
                alone.append(statistics.median(engine))
                added += [t for t, k in zip(with_redis, kinds) if k]
                others.append(
                    tuple(
                        statistics.median(t for t, k in zip(side, kinds) if not k)
                        for side in (base, with_redis)
                    )
                )
        finally:
            process.kill()
            process.wait()
    base_us = statistics.median(alone) * 1e6
    extra = sorted(t * 1e6 - base_us for t in added)
    print(f"events per round: {len(batch)}, one in {options.share} shared")
    for side, values in rates.items():
        print(f"{side:>7}: {statistics.median(values):,.0f} events/s per process")
    print(
        f"  ratio: {statistics.median(ratios):.2f} (shared / local, median of rounds)"
    )
    print(f"engine alone, shared-type event: {base_us:.1f} us (median)")
    print(
        f"added per shared-limit event: median {statistics.median(extra):.1f} us, "
        f"p99 {extra[int(len(extra) * 0.99)]:.1f} us ({len(extra)} events)"
    )
    other_local = statistics.median(o[0] for o in others) * 1e6
    other_shared = statistics.median(o[1] for o in others) * 1e6
    print(
        f"other event types: {other_local:.1f} us local, {other_shared:.1f} us "
        "beside shared limits (median; no round trip)"
    )
    print(f"round trips: {limits.stats().round_trips}")


if __name__ == "__main__":
    main()
