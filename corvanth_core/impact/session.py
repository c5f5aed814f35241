"""The decisions of one recorded session: every event of a trace run
through an engine, each result kept, in order.

    run = session_results(engine, open("session.jsonl", "rb").read())
    for event, result in zip(run.events, run.results):
        print(event.line, result["verdict"])

`session_results` and `native_session_runs` are the places where the
impact analysis and the report evaluate events; everything else reads
what they return. The native one runs the engine's own replay, several
times faster, and stands in for the Python loop wherever it gives the
same runs: not for explain traces, which only the loop takes, nor for a
trace with untimed events, which each run would give its own clock.
"""

import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from _corvanth_core import PolicyEngine

from corvanth_core._trace import BadLine, Event, Setting, read_trace
from corvanth_core.results import EvaluationResult, Trace

ENGINE_ERRORS = (TypeError, ValueError, OverflowError, RecursionError)


@dataclass(frozen=True)
class SessionRun:
    """What a session gave: the events evaluated, in order, with their
    results (and, when asked for, their explain traces); the bad lines
    skipped, as {"line": n, "error": text}."""

    events: list[Event]
    results: list[EvaluationResult]
    traces: list[Trace] | None
    bad_lines: list[dict[str, Any]]


def now_ms() -> int:
    """The wall clock in milliseconds since the Unix epoch."""
    return time.time_ns() // 1_000_000


def session_results(
    engine: PolicyEngine,
    data: bytes,
    *,
    explain: bool = False,
    untimed_ms: int | None = None,
) -> SessionRun:
    """Run the trace `data` (JSON Lines) through `engine`, a fresh one.

    Setting lines set engine values; an event is evaluated at its
    `timestamp_ms` (the machines start at the first one) or, without one,
    at `untimed_ms` (default: the clock when the replay starts), so that
    two engines given the same `untimed_ms` see the same times. A line
    that cannot be read or evaluated is skipped and listed. With
    `explain`, each event's explain trace is taken just before it is
    evaluated."""
    clock = now_ms() if untimed_ms is None else untimed_ms
    events: list[Event] = []
    results: list[EvaluationResult] = []
    traces: list[Trace] = []
    bad: list[dict[str, Any]] = []
    started = False
    for item in read_trace(data.splitlines(keepends=True)):
        if isinstance(item, BadLine):
            bad.append({"line": item.line, "error": item.error})
            continue
        if isinstance(item, Setting):
            error = apply_setting(engine, item)
            if error is not None:
                bad.append({"line": item.line, "error": error})
            continue
        stamp = clock if item.timestamp_ms is None else item.timestamp_ms
        if item.timestamp_ms is not None and not started:
            engine.reset_at(stamp)
        started = True
        try:
            if explain:
                traces.append(engine.explain(item.type, item.fields, stamp)["trace"])
            result = engine.evaluate_at(stamp, item.type, item.fields)
        except ENGINE_ERRORS as error:
            if explain and len(traces) > len(results):
                traces.pop()
            bad.append(
                {"line": item.line, "error": f"fields cannot be evaluated: {error}"}
            )
            continue
        events.append(item)
        results.append(result)
    return SessionRun(events, results, traces if explain else None, bad)


def recorded_events(data: bytes) -> dict[int, Event]:
    """The event lines of the trace `data` as the package's reader reads
    them, by line number."""
    return {
        item.line: item
        for item in read_trace(data.splitlines(keepends=True))
        if isinstance(item, Event)
    }


def native_session_runs(
    engines: Sequence[PolicyEngine], data: bytes
) -> list[SessionRun] | None:
    """The runs of the trace `data` through each of `engines` (fresh ones)
    by their native replay, equal to what `session_results` gives; None
    when the native path cannot stand in for it (the trace holds untimed
    events, or a line the native reader evaluated that the package's
    reader does not read as an event). The events are read once for all
    the engines."""
    recorded = recorded_events(data)
    if any(event.timestamp_ms is None for event in recorded.values()):
        return None
    runs: list[SessionRun] = []
    for engine in engines:
        summary = engine.replay(data, results=True, lines=True)
        events = [recorded.get(where["line"]) for where in summary["lines"]]
        kept = [event for event in events if event is not None]
        if len(kept) != len(events):
            return None
        bad = [dict(line) for line in summary["bad_lines"]]
        runs.append(SessionRun(kept, summary["results"], None, bad))
    return runs


def apply_setting(engine: PolicyEngine, setting: Setting) -> str | None:
    """Set a setting line's values; the error that stopped it, or None."""
    try:
        setting.apply(engine)
    except ENGINE_ERRORS as error:
        return f"value cannot be set: {error}"
    return None
