"""What the Guard costs over calling the engine by hand.

Every pair is measured in interleaved rounds (the baseline, then the
guarded form, then the next pair, repeated); each pair prints the median
latency per call of both sides and the median of the per-round ratios,
beside its goal. A noisy machine moves both sides of a pair together, so
the ratios are the figures to compare. Times are the CPU time of the
measuring thread, which another process's share of the machine leaves out.

    python bench/bench_guard.py [--rounds N]

Pairs, all on the example guard policy (examples/coding_agent_guard.json)
with its settings, engines reset before each batch so that the tool-call
quota is never reached:
  check      `engine.evaluate(type, fields)` against `guard.check(...)`, over
             the events of the example session (one in nine has actions,
             which the default handlers carry out)
  allowed    the same for one allowed event with no actions (the hot path)
  decorator  a bare call of a small tool plus `guard.check` of its event,
             against the tool decorated with `@guard.tool()`
  and, without goals, what a decision log (to a temporary file) and a
  shadow policy add to `guard.check`.
"""

import argparse
import gc
import itertools
import json
import pathlib
import statistics
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

from corvanth_core import DecisionLog, Guard, PolicyEngine, load

ROOT = pathlib.Path(__file__).resolve().parent.parent
POLICY = ROOT / "examples" / "coding_agent_guard.json"
SESSION = ROOT / "examples" / "coding_agent_session.jsonl"
BATCH = 400  # tool calls per batch, below the example's quota of 500 an hour
BATCHES = 4
# The thread's CPU time: on a shared machine the time others run counts to
# neither side, where a wall clock would charge it to whichever side it
# interrupted.
CLOCK = time.thread_time_ns

Event = tuple[str, dict[str, Any]]


def session_events() -> tuple[dict[str, Any], list[Event]]:
    """The settings and the events of the example session."""
    settings: dict[str, Any] = {}
    events = []
    for line in SESSION.read_text().splitlines():
        record = json.loads(line)
        if "type" in record:
            events.append((record["type"], record.get("fields", {})))
        else:
            settings.update(record)
    return settings, events


def configured(engine: PolicyEngine, settings: dict[str, Any]) -> PolicyEngine:
    for key, value in settings.get("config", {}).items():
        engine.set_config(key, value)
    for key, value in settings.get("context", {}).items():
        engine.set_context(key, value)
    return engine


class Side:
    """One side of a pair: `run(events)` timed over BATCHES batches of the
    events, with `reset` run untimed before each."""

    def __init__(self, run: Callable[[list[Event]], None], reset: Callable[[], None]):
        self.run = run
        self.reset = reset
        self.ns: list[float] = []

    def round(self, events: list[Event]) -> float:
        elapsed = 0
        for _ in range(BATCHES):
            self.reset()
            start = CLOCK()
            self.run(events)
            elapsed += CLOCK() - start
        per_call = elapsed / (len(events) * BATCHES)
        self.ns.append(per_call)
        return per_call


class Pair:
    def __init__(
        self, label: str, goal: str, events: list[Event], base: Side, guarded: Side
    ):
        self.label = label
        self.goal = goal
        self.events = events
        self.base = base
        self.guarded = guarded
        self.ratios: list[float] = []

    def round(self) -> None:
        base = self.base.round(self.events)
        self.ratios.append(self.guarded.round(self.events) / base)


def evaluating(engine: PolicyEngine) -> Side:
    def run(events: list[Event]) -> None:
        evaluate = engine.evaluate
        for event_type, fields in events:
            evaluate(event_type, fields)

    return Side(run, engine.reset)


def checking(guard: Guard, shadow: PolicyEngine | None = None) -> Side:
    def run(events: list[Event]) -> None:
        check = guard.check
        for event_type, fields in events:
            check(event_type, fields)

    def reset() -> None:
        guard.engine.reset()
        if shadow is not None:
            shadow.reset()

    return Side(run, reset)


def tool_pair(settings: dict[str, Any]) -> Pair:
    """The decorator against a bare call and a check of the same event."""

    def read_file(path: str, limit: int = 100) -> int:
        return len(path) + limit

    bare_guard = Guard(configured(load(POLICY), settings))
    guard = Guard(configured(load(POLICY), settings))
    guarded = guard.tool()(read_file)
    paths = [(f"/work/app/file{n}.py", {}) for n in range(BATCH)]

    def bare(events: list[Event]) -> None:
        check = bare_guard.check
        for path, _ in events:
            check(
                "tool_call",
                {"tool": "read_file", "arguments": {"path": path, "limit": 100}},
            )
            read_file(path)

    def decorated(events: list[Event]) -> None:
        for path, _ in events:
            guarded(path)

    return Pair(
        "decorator / (bare call + check)",
        "<= 1.2x",
        paths,
        Side(bare, bare_guard.engine.reset),
        Side(decorated, guard.engine.reset),
    )


def build_pairs(log_dir: pathlib.Path) -> list[Pair]:
    settings, events = session_events()
    tool_calls = 0
    mixed: list[Event] = []
    for event in itertools.cycle(events):
        tool_calls += event[0] == "tool_call"
        if tool_calls > BATCH:
            break
        mixed.append(event)
    allowed = [("file_access", {"path": "/work/app/README.md", "mode": "read"})] * BATCH

    def guard(**options: Any) -> Guard:
        made = Guard(configured(load(POLICY), settings), **options)
        made.check("file_access", {"path": "/", "mode": "read"})  # started
        return made

    log = DecisionLog(log_dir / "decisions.jsonl")
    candidate = configured(load(POLICY), settings)
    return [
        Pair(
            "check / evaluate, the example session",
            "<= 1.3x",
            mixed,
            evaluating(configured(load(POLICY), settings)),
            checking(guard()),
        ),
        Pair(
            "check / evaluate, an allowed event",
            "<= 1.3x",
            allowed,
            evaluating(configured(load(POLICY), settings)),
            checking(guard()),
        ),
        tool_pair(settings),
        Pair(
            "check with a decision log / evaluate",
            "(cost of the log)",
            mixed,
            evaluating(configured(load(POLICY), settings)),
            checking(guard(decision_log=log)),
        ),
        Pair(
            "check with a shadow policy / evaluate",
            "(cost of the shadow)",
            mixed,
            evaluating(configured(load(POLICY), settings)),
            checking(guard(shadow=candidate), candidate),
        ),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=21)
    rounds = parser.parse_args().rounds
    with tempfile.TemporaryDirectory(prefix="corvanth-bench-") as log_dir:
        pairs = build_pairs(pathlib.Path(log_dir))
        gc.collect()
        gc.disable()  # as timeit does: a collection lands in one side only
        try:
            for _ in range(rounds):
                for pair in pairs:
                    pair.round()
        finally:
            gc.enable()
    print(
        f"Python {sys.version.split()[0]}; {rounds} interleaved rounds;"
        " median ns per call of each side and median of the per-round ratios"
    )
    print(f"{'pair':<40} {'base ns':>8} {'guard ns':>9} {'ratio':>7}   goal")
    for pair in pairs:
        print(
            f"{pair.label:<40} {statistics.median(pair.base.ns):8.0f}"
            f" {statistics.median(pair.guarded.ns):9.0f}"
            f" {statistics.median(pair.ratios):6.2f}x   {pair.goal}"
        )


if __name__ == "__main__":
    main()
