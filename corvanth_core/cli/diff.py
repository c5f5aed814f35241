"""`corvanth-core diff OLD NEW TRACE...`: replay recorded sessions through
two policies and report the decisions that differ.

    corvanth-core diff guard.yaml guard-next.yaml sessions/ --fail-on deny-to-allow

Each TRACE is a session (a JSON Lines file) or a directory whose `*.jsonl`
files are sessions; every session starts with fresh engines. Exit 0 when
no decision changes, 1 when one does (with `--fail-on`: when one of the
named verdict transitions happens) or a bad line was skipped, 2 on errors.
"""

import argparse
import pathlib

from corvanth_core.cli._common import (
    FINDINGS,
    OK,
    Commands,
    add_command,
    emit,
    emit_json,
    load_policy,
    plain_failure,
    positive_int,
    warn,
    write_file,
)
from corvanth_core.impact.diff import TRANSITIONS, Impact
from corvanth_core.impact.diff_text import render
from corvanth_core.impact.jobs import DiffJob, run_jobs
from corvanth_core.impact.provenance import policy_digest
from corvanth_core.impact.report_html import policy_view, report_html


def register(commands: Commands) -> None:
    sub = add_command(
        commands,
        "diff",
        run,
        "Replay recorded sessions through two policies and report the "
        "decisions that differ.",
        "a decision changed (with --fail-on: a named verdict transition "
        "happened), or a bad trace line was met",
    )
    sub.add_argument("old", metavar="OLD", help="the policy in force")
    sub.add_argument("new", metavar="NEW", help="the changed policy")
    sub.add_argument(
        "traces",
        metavar="TRACE",
        nargs="+",
        help="a session (JSON Lines) or a directory of *.jsonl sessions",
    )
    sub.add_argument(
        "--fail-on",
        action="append",
        choices=TRANSITIONS,
        metavar="TRANSITION",
        help="exit 1 only when this verdict transition happens, e.g. "
        "deny-to-allow (repeatable)",
    )
    sub.add_argument(
        "-j",
        "--jobs",
        type=positive_int,
        default=1,
        metavar="N",
        help="replay sessions over N processes (default 1)",
    )
    sub.add_argument(
        "--examples",
        type=positive_int,
        default=3,
        metavar="N",
        help="examples listed per kind of change (default 3)",
    )
    sub.add_argument(
        "--html", metavar="REPORT.html", help="also write the report as a web page"
    )


def session_paths(traces: list[str]) -> list[str]:
    """The session files of the TRACE arguments, a directory's in name order."""
    paths = []
    for trace in traces:
        path = pathlib.Path(trace)
        if not path.is_dir():
            paths.append(trace)
            continue
        found = sorted(str(p) for p in path.glob("*.jsonl") if p.is_file())
        if not found:
            raise plain_failure(trace, "the directory holds no *.jsonl sessions")
        paths.extend(found)
    return paths


def run(args: argparse.Namespace) -> int:
    old, _ = load_policy(args.old)
    new, _ = load_policy(args.new)
    html = args.html is not None
    jobs = [
        DiffJob(path, old, new, args.examples, html)
        for path in session_paths(args.traces)
    ]
    impact = Impact(args.examples)
    views = []
    for job, outcome in zip(jobs, run_jobs(jobs, args.jobs), strict=True):
        if outcome.error is not None:
            raise plain_failure(job.trace, outcome.error)
        assert outcome.diff is not None
        for bad in outcome.diff.bad_lines:
            warn(f"{job.trace}: line {bad['line']}: {bad['error']}")
        impact.add(outcome.diff)
        if outcome.view is not None:
            views.append(outcome.view)
    if html:
        policies = [
            policy_view(old, f"old: {args.old}"),
            policy_view(new, f"new: {args.new}"),
        ]
        page = report_html(f"Diff of {args.old} and {args.new}", policies, views)
        write_file(args.html, page.encode("utf-8"))
    if args.json:
        emit_json(
            {
                "old": {
                    "file": args.old,
                    "name": old.policy_name,
                    "digest": policy_digest(old),
                },
                "new": {
                    "file": args.new,
                    "name": new.policy_name,
                    "digest": policy_digest(new),
                },
                **impact.as_json(),
            }
        )
    else:
        emit(render(impact, args.old, args.new))
    return exit_code(impact, args.fail_on)


def exit_code(impact: Impact, fail_on: list[str] | None) -> int:
    """FINDINGS when the impact is one to fail on, or lines were bad."""
    if any(s.bad_lines for s in impact.sessions):
        return FINDINGS
    if fail_on:
        return FINDINGS if impact.transitions() & set(fail_on) else OK
    return FINDINGS if impact.changed else OK
