"""`corvanth-core bench POLICY TRACE.jsonl`: time the native replay of a
recorded session, round after round, and report the spread of the rounds:
events per second and time per event, median and quartiles.

    corvanth-core bench guard.json session.jsonl --rounds 20

One figure of one run moves with the machine's load; the quartiles of the
rounds show how far.
"""

import argparse
import statistics
import time
from dataclasses import dataclass

from corvanth_core._trace import BadLine
from corvanth_core.cli._common import (
    FINDINGS,
    OK,
    Commands,
    add_trace_command,
    emit,
    emit_json,
    load_policy,
    plain_failure,
    positive_int,
    read_file,
    warn,
)


def register(commands: Commands) -> None:
    bench = add_trace_command(
        commands,
        "bench",
        run,
        "Time the native replay of a recorded session: events per second and "
        "time per event over rounds (median and quartiles).",
        "a bad trace line was met (reported and skipped)",
    )
    bench.add_argument(
        "--rounds",
        type=positive_int,
        default=10,
        metavar="N",
        help="replay the trace N times (default 10)",
    )


@dataclass(frozen=True)
class Spread:
    """The median and quartiles of the rounds' figures."""

    q1: float
    median: float
    q3: float

    @classmethod
    def of(cls, values: list[float]) -> "Spread":
        if len(values) == 1:
            return cls(values[0], values[0], values[0])
        q1, median, q3 = statistics.quantiles(values, n=4, method="inclusive")
        return cls(q1, median, q3)

    def as_json(self) -> dict[str, float]:
        return {
            "q1": round(self.q1, 1),
            "median": round(self.median, 1),
            "q3": round(self.q3, 1),
        }


def run(args: argparse.Namespace) -> int:
    engine, _ = load_policy(args.policy)
    data = read_file(args.trace)
    rates: list[float] = []
    nanoseconds: list[float] = []
    events = 0
    bad_lines: list[dict[str, object]] = []
    for round_number in range(args.rounds):
        engine.reset()
        start = time.perf_counter_ns()
        summary = engine.replay(data)
        elapsed = max(1, time.perf_counter_ns() - start)
        events = summary["events"]
        if round_number == 0:
            bad_lines = [dict(b) for b in summary["bad_lines"]]
            for bad in summary["bad_lines"]:
                warn(f"{args.trace}: {BadLine(bad['line'], bad['error'])}")
            if not events:
                raise plain_failure(args.trace, "no events to measure")
        rates.append(events * 1e9 / elapsed)
        nanoseconds.append(elapsed / events)
    rate, per_event = Spread.of(rates), Spread.of(nanoseconds)
    if args.json:
        emit_json(
            {
                "policy_name": engine.policy_name,
                "events": events,
                "rounds": args.rounds,
                "evaluations": events * args.rounds,
                "events_per_second": rate.as_json(),
                "ns_per_event": per_event.as_json(),
            }
        )
    else:
        emit(
            f"{engine.policy_name}: {events} events x {args.rounds} rounds\n"
            f"  throughput: median {rate.median:,.0f} events/s "
            f"(quartiles {rate.q1:,.0f} to {rate.q3:,.0f})\n"
            f"  time per event: median {per_event.median / 1000:.2f} us "
            f"(quartiles {per_event.q1 / 1000:.2f} to {per_event.q3 / 1000:.2f})\n"
        )
    return FINDINGS if bad_lines else OK
