"""Throughput of PolicyEngine.replay against the Python loops it replaces,
and its memory while it streams a large trace file.

The example coding session (examples/coding_agent_session.jsonl with its
policy) is repeated, each copy an hour and a minute after the last, to
--events events (default 1,000,000). Three cases run in interleaved rounds
(native, Python loop, bare loop, repeated), each on a fresh engine; each
prints its median events per second, and the native case the median of its
per-round ratios to each loop, beside its goal. A noisy machine moves all
three together, so the ratios are the figures to compare.

  native       engine.replay(trace): the bytes read straight into events
  python loop  json.loads and evaluate_at per line (set_config and
               set_context for setting lines), as the Python replay did
  bare loop    evaluate_at over events parsed beforehand (not timed)

Then the memory check: a trace file of --stream-mb megabytes (default 1024)
is written to a temporary directory and replayed by replay_file in a child
process; its peak resident memory is printed beside that of a child that
only loads the engine, and the trace's size.

    python bench/bench_replay.py [--rounds N] [--events N] [--stream-mb N]
"""

import argparse
import json
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any

from _corvanth_core import PolicyEngine

from corvanth_core.loading import read_policy

ROOT = pathlib.Path(__file__).resolve().parent.parent
POLICY = ROOT / "examples" / "coding_agent_guard.json"
SESSION = ROOT / "examples" / "coding_agent_session.jsonl"
SHIFT_MS = 3_660_000
GOALS = {"python loop": 6.0, "bare loop": 1.5}


def session_trace(events: int) -> bytes:
    """The example session repeated to `events` events, shifted in time."""
    items = [json.loads(line) for line in SESSION.read_text().splitlines() if line]
    lines: list[str] = []
    count, copy = 0, 0
    while count < events:
        for item in items:
            if "type" in item:
                if count == events:
                    break
                item = dict(item, timestamp_ms=item["timestamp_ms"] + copy * SHIFT_MS)
                count += 1
            elif copy:
                continue  # the settings once, at the start
            lines.append(json.dumps(item))
        copy += 1
    return ("\n".join(lines) + "\n").encode()


def new_engine() -> PolicyEngine:
    return read_policy(POLICY.read_bytes(), str(POLICY), check=False)


def native(trace: bytes) -> int:
    return new_engine().replay(trace)["events"]


def python_loop(lines: list[bytes]) -> int:
    engine = new_engine()
    started, events = False, 0
    for raw in lines:
        item = json.loads(raw)
        if "type" not in item:
            for key, value in item.get("config", {}).items():
                engine.set_config(key, value)
            for key, value in item.get("context", {}).items():
                engine.set_context(key, value)
            continue
        stamp = item["timestamp_ms"]
        if not started:
            engine.reset_at(stamp)
            started = True
        engine.evaluate_at(stamp, item["type"], item.get("fields"))
        events += 1
    return events


def bare_loop(items: list[dict[str, Any]]) -> int:
    engine = new_engine()
    started, events = False, 0
    evaluate_at = engine.evaluate_at
    for item in items:
        if "type" not in item:
            for key, value in item.get("config", {}).items():
                engine.set_config(key, value)
            for key, value in item.get("context", {}).items():
                engine.set_context(key, value)
            continue
        stamp = item["timestamp_ms"]
        if not started:
            engine.reset_at(stamp)
            started = True
        evaluate_at(stamp, item["type"], item.get("fields"))
        events += 1
    return events


def throughput(rounds: int, events: int) -> None:
    trace = session_trace(events)
    lines = trace.splitlines()
    items = [json.loads(line) for line in lines]
    cases = {
        "native": lambda: native(trace),
        "python loop": lambda: python_loop(lines),
        "bare loop": lambda: bare_loop(items),
    }
    seconds: dict[str, list[float]] = {name: [] for name in cases}
    for _ in range(rounds):
        for name, case in cases.items():
            start = time.perf_counter()
            done = case()
            seconds[name].append(time.perf_counter() - start)
            assert done == events, (name, done)
    print(f"{events:,} events ({len(trace) / 1e6:.0f} MB), {rounds} interleaved rounds")
    for name, times in seconds.items():
        print(
            f"  {name:<12} median {events / statistics.median(times):>12,.0f} events/s"
        )
    for name, goal in GOALS.items():
        ratios = [slow / fast for slow, fast in zip(seconds[name], seconds["native"])]
        ratio = statistics.median(ratios)
        verdict = "met" if ratio >= goal else "NOT met"
        print(f"  native vs {name:<12} x{ratio:.2f} (goal >= x{goal:g}: {verdict})")


# The child reports its own peak (VmHWM starts afresh at exec, while the
# ru_maxrss of a child keeps the parent's peak from before it).
CHILD = """
import sys
from corvanth_core.loading import read_policy
engine = read_policy(open(sys.argv[1], "rb").read(), sys.argv[1], check=False)
events = engine.replay_file(sys.argv[2])["events"] if len(sys.argv) > 2 else 0
peak = [l for l in open("/proc/self/status") if l.startswith("VmHWM:")][0]
print(events, int(peak.split()[1]))
"""


def peak_rss_mb(*args: str) -> tuple[float, str]:
    """Peak resident memory of a child running CHILD with `args`, and its
    output."""
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, *args], stdout=subprocess.PIPE, text=True
    )
    assert child.stdout is not None
    events, kib = child.stdout.read().split()
    assert child.wait() == 0
    return int(kib) / 1024, events


def streaming(megabytes: int) -> None:
    block = session_trace(10_000)
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "large.jsonl"
        with path.open("wb") as file:
            while file.tell() < megabytes << 20:
                file.write(block)
        size = path.stat().st_size
        base, _ = peak_rss_mb(str(POLICY))
        start = time.perf_counter()
        peak, events = peak_rss_mb(str(POLICY), str(path))
        took = time.perf_counter() - start
    print(
        f"streaming {size / 2**20:,.0f} MiB ({int(events):,} events) with replay_file "
        f"in {took:.1f} s: peak RSS {peak:.0f} MiB, {peak - base:+.0f} MiB over "
        f"a child that only loads the engine ({base:.0f} MiB)"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--stream-mb", type=int, default=1024)
    args = parser.parse_args()
    throughput(args.rounds, args.events)
    if args.stream_mb > 0:
        streaming(args.stream_mb)


if __name__ == "__main__":
    main()
