"""`corvanth-core replay POLICY TRACE.jsonl`: evaluate a recorded session
event by event, print each verdict and a summary; exit 0 when the trace
replayed (whatever the verdicts), 1 when a bad line was met or an event got
a verdict named by `--fail-on`.

    corvanth-core replay guard.json session.jsonl --fail-on deny

The engine replays the trace natively (`PolicyEngine.replay`); only
`--explain`, which needs the engine's trace of single events, and `--check`
go through the Python loop.
"""

import argparse
import json
import sys
from typing import Any

from _corvanth_core import PolicyEngine

from corvanth_core import _replay
from corvanth_core._trace import BadLine, Setting, explain_lines
from corvanth_core.cli._common import (
    ENGINE_ERRORS,
    FAILURE,
    FINDINGS,
    OK,
    Commands,
    Replay,
    add_trace_command,
    emit,
    file_failure,
    load_policy,
    plain_failure,
    positive_int,
    read_file,
    replayed_items,
    trace_size,
    warn,
    write_file,
)
from corvanth_core.cli.replay_check import check_trace
from corvanth_core.impact.report_html import replay_report
from corvanth_core.results import EvaluationResult, Trace
from corvanth_core.source.ir_shapes import normalize_policy


def register(commands: Commands) -> None:
    replay = add_trace_command(
        commands,
        "replay",
        run,
        "Evaluate a recorded session event by event and summarize it.",
        "a bad trace line was met (reported and skipped), or an event got a "
        "verdict named by --fail-on",
    )
    replay.add_argument(
        "--fail-on",
        choices=_replay.VERDICTS,
        action="append",
        metavar="VERDICT",
        help="exit 1 when an event gets this verdict (allow, deny, audit or "
        "redact; repeatable)",
    )
    replay.add_argument(
        "--explain",
        type=positive_int,
        action="append",
        metavar="N",
        help="also print the trace of event N (counted from 1; repeatable)",
    )
    replay.add_argument(
        "--check",
        action="store_true",
        help="the trace is a decision log: compare every decision with the "
        "logged one and list the differences (exit 1 when there are any)",
    )
    replay.add_argument(
        "--html",
        metavar="REPORT.html",
        help="also write the session as a web page: a time axis with every "
        "event, rate windows and machine states, each event explained",
    )


def run(args: argparse.Namespace) -> int:
    engine, _ = load_policy(args.policy)
    if args.html is not None:
        if args.trace == "-":
            raise plain_failure(args.trace, "--html needs a trace file, not -")
        page = replay_report(engine, args.policy, args.trace, read_file(args.trace))
        write_file(args.html, page.encode("utf-8"))
    if args.check:
        if args.explain:
            raise plain_failure(args.trace, "--check and --explain cannot be combined")
        return check_trace(engine, args.trace, args.json)
    fail_on = set(args.fail_on or [])
    if args.explain:
        tally = replay_trace(engine, args.trace, set(args.explain), args.json)
    else:
        tally = replay_natively(engine, args.trace, args.json)
    if tally is None:
        return FAILURE
    failed = any(tally.verdicts[verdict] for verdict in fail_on)
    return FINDINGS if failed or tally.bad_lines else OK


def emit_event(
    number: int,
    event: dict[str, Any],
    result: EvaluationResult,
    trace: Trace | None,
    as_json: bool,
    shown: dict[str, Any] | None = None,
) -> None:
    """Print one evaluated event (`event`: its line, type and time); a
    trace's conditions and guards are written from `shown`, the policy in
    normalized form."""
    if as_json:
        record = {"event": number} | event
        record |= _replay.sorted_result(result)
        if trace is not None:
            record["trace"] = trace
        emit(json.dumps(record, ensure_ascii=False) + "\n")
    else:
        emit(_replay.event_line(number, event["type"], result) + "\n")
        if trace is not None:
            lines = explain_lines(trace, shown or {})
            emit("".join(line + "\n" for line in lines))


def emit_summary(tally: _replay.Tally, as_json: bool) -> None:
    if as_json:
        emit(json.dumps({"summary": tally.as_json()}, ensure_ascii=False) + "\n")
    else:
        emit(tally.render())


def replay_natively(
    engine: PolicyEngine, trace_path: str, as_json: bool
) -> _replay.Tally:
    """Replay the trace at `trace_path` through the engine's native replay,
    printing every event, then the bad lines on standard error."""
    if trace_path == "-":
        summary = engine.replay(read_file(trace_path), results=True, lines=True)
    else:
        try:
            summary = engine.replay_file(trace_path, results=True, lines=True)
        except OSError as error:
            raise file_failure(trace_path, error) from None
    tally = _replay.Tally()
    for number, (event, result) in enumerate(
        zip(summary["lines"], summary["results"], strict=True), start=1
    ):
        tally.add(result)
        emit_event(number, dict(event), result, None, as_json)
    for bad in summary["bad_lines"]:
        warn(f"{trace_path}: {BadLine(bad['line'], bad['error'])}")
        tally.bad_lines.append(dict(bad))
    emit_summary(tally, as_json)
    return tally


def replay_trace(
    engine: PolicyEngine, trace_path: str, explain: set[int], as_json: bool
) -> _replay.Tally | None:
    """Replay the trace at `trace_path` through `engine` event by event,
    printing every event and the trace of the events numbered in `explain`;
    None when one of them is past the end."""
    tally = _replay.Tally()
    shown = normalize_policy(json.loads(engine.to_json())) if explain else {}
    replay = Replay(engine, trace_path, tally)
    meter = _replay.Progress(sys.stderr, trace_size(trace_path))
    for item in replayed_items(
        trace_path, lambda done: meter.update(done, tally.events)
    ):
        if isinstance(item, BadLine):
            meter.finish()
            replay.bad(item.line, item.error)
            continue
        if isinstance(item, Setting):
            replay.setting(item)
            continue
        number = tally.events + 1
        stamp = replay.timestamp(item)
        try:
            trace = (
                engine.explain(item.type, item.fields, stamp)["trace"]
                if number in explain
                else None
            )
            result = engine.evaluate_at(stamp, item.type, item.fields)
        except ENGINE_ERRORS as error:
            meter.finish()
            replay.bad(item.line, f"fields cannot be evaluated: {error}")
            continue
        tally.add(result)
        event = {
            "line": item.line,
            "type": item.type,
            "timestamp_ms": item.timestamp_ms,
        }
        emit_event(number, event, result, trace, as_json, shown)
    meter.finish()
    emit_summary(tally, as_json)
    missing = sorted(n for n in explain if n > tally.events)
    if missing:
        warn(
            f"{trace_path}: error: no event {missing[0]} to explain "
            f"(the trace has {tally.events} events)"
        )
        return None
    return tally
