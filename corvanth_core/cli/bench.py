"""`corvanth-core bench POLICY TRACE.jsonl`: time the evaluation of a
recorded session: per-event latency (median, p99) and events per second.

    corvanth-core bench guard.json session.jsonl --rounds 20
"""

import argparse
import statistics
import time

from corvanth_core import _replay
from corvanth_core._trace import BadLine, Event, Setting
from corvanth_core.cli._common import (
    ENGINE_ERRORS,
    FINDINGS,
    OK,
    Commands,
    Replay,
    add_trace_command,
    emit,
    emit_json,
    load_policy,
    now_ms,
    plain_failure,
    positive_int,
    replayed_items,
)


def register(commands: Commands) -> None:
    bench = add_trace_command(
        commands,
        "bench",
        run,
        "Time the evaluation of a recorded session: per-event latency "
        "(median, p99) and events per second.",
        "a bad trace line was met (reported and skipped)",
    )
    bench.add_argument(
        "--rounds",
        type=positive_int,
        default=10,
        metavar="N",
        help="replay the trace N times (default 10)",
    )


def percentile(ordered: list[int], share: float) -> int:
    """The nearest-rank percentile of sorted values."""
    rank = max(1, -(-len(ordered) * share // 1))
    return ordered[int(rank) - 1]


def run(args: argparse.Namespace) -> int:
    engine, _ = load_policy(args.policy)
    tally = _replay.Tally()
    replay = Replay(engine, args.trace, tally)
    items: list[Event | Setting] = []
    for item in replayed_items(args.trace, None):
        if isinstance(item, BadLine):
            replay.bad(item.line, item.error)
        else:
            items.append(item)
    events = [item for item in items if isinstance(item, Event)]
    if not events:
        raise plain_failure(args.trace, "no events to measure")
    first = events[0].timestamp_ms
    latencies: list[int] = []
    clock = time.perf_counter_ns
    for _ in range(args.rounds):
        engine.reset_at(now_ms() if first is None else first)
        for item in items:
            if isinstance(item, Setting):
                replay.setting(item)
                continue
            stamp = now_ms() if item.timestamp_ms is None else item.timestamp_ms
            try:
                start = clock()
                engine.evaluate_at(stamp, item.type, item.fields)
                latencies.append(clock() - start)
            except ENGINE_ERRORS as error:
                replay.bad(item.line, f"fields cannot be evaluated: {error}")
    if not latencies:
        raise plain_failure(args.trace, "no event could be evaluated")
    latencies.sort()
    median = int(statistics.median(latencies))
    p99 = percentile(latencies, 0.99)
    rate = len(latencies) * 1e9 / max(1, sum(latencies))
    report = {
        "policy_name": engine.policy_name,
        "events": len(events),
        "rounds": args.rounds,
        "evaluations": len(latencies),
        "median_ns": median,
        "p99_ns": p99,
        "events_per_second": round(rate),
    }
    if args.json:
        emit_json(report)
    else:
        emit(
            f"{engine.policy_name}: {len(events)} events x {args.rounds} rounds\n"
            f"  latency per event: median {median / 1000:.2f} us, "
            f"p99 {p99 / 1000:.2f} us\n"
            f"  throughput: {round(rate):,} events/s\n"
        )
    return FINDINGS if tally.bad_lines else OK
