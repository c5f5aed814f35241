"""`corvanth-core replay POLICY TRACE.jsonl`: evaluate a recorded session
event by event, print each verdict and a summary; exit 1 when an event was
denied or a bad line was met.

    corvanth-core replay guard.json session.jsonl --explain 4
"""

import argparse
import json
import sys

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
from corvanth_core.source.ir_shapes import normalize_policy


def register(commands: Commands) -> None:
    replay = add_trace_command(
        commands,
        "replay",
        run,
        "Evaluate a recorded session event by event and summarize it.",
        "an event was denied, or a bad trace line was met (reported and skipped)",
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
    return replay_trace(engine, args.trace, set(args.explain or []), args.json)


def replay_trace(
    engine: PolicyEngine, trace_path: str, explain: set[int], as_json: bool
) -> int:
    """Replay the trace at `trace_path` through `engine`, printing every
    event (and the trace of the events numbered in `explain`)."""
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
        if as_json:
            record = {
                "event": number,
                "line": item.line,
                "type": item.type,
                "timestamp_ms": item.timestamp_ms,
            }
            record |= _replay.sorted_result(result)
            if trace is not None:
                record["trace"] = trace
            emit(json.dumps(record, ensure_ascii=False) + "\n")
        else:
            emit(_replay.event_line(number, item.type, result) + "\n")
            if trace is not None:
                emit("".join(line + "\n" for line in explain_lines(trace, shown)))
    meter.finish()
    if as_json:
        emit(json.dumps({"summary": tally.as_json()}, ensure_ascii=False) + "\n")
    else:
        emit(tally.render())
    missing = sorted(n for n in explain if n > tally.events)
    if missing:
        warn(
            f"{trace_path}: error: no event {missing[0]} to explain "
            f"(the trace has {tally.events} events)"
        )
        return FAILURE
    denied = tally.verdicts["deny"] > 0
    return FINDINGS if denied or tally.bad_lines else OK
