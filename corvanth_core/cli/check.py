"""`corvanth-core check POLICY...`: load each policy and list its
diagnostics; exit 1 on an error (with --strict, on a warning too).

    corvanth-core check examples/coding_agent_guard.json
"""

import argparse
from typing import Any

from corvanth_core._inspect import plural
from corvanth_core.cli._common import (
    FAILURE,
    FINDINGS,
    OK,
    Commands,
    Failure,
    add_command,
    diagnostic_line,
    emit,
    emit_json,
    load_policy,
    warn,
)


def register(commands: Commands) -> None:
    check = add_command(
        commands,
        "check",
        run,
        "Load each policy and list its diagnostics.",
        "an error-severity diagnostic (with --strict: a warning too)",
    )
    check.add_argument("policies", nargs="+", metavar="POLICY")
    check.add_argument("--strict", action="store_true", help="exit 1 on warnings too")


def run(args: argparse.Namespace) -> int:
    status = OK
    reports: list[dict[str, Any]] = []
    for path in args.policies:
        try:
            engine, _ = load_policy(path)
        except Failure as failure:
            warn(str(failure))
            reports.append(
                {
                    "file": path,
                    "policy_name": None,
                    "error": failure.details,
                    "diagnostics": [],
                }
            )
            status = FAILURE
            continue
        diagnostics = engine.diagnostics()
        reports.append(
            {
                "file": path,
                "policy_name": engine.policy_name,
                "error": None,
                "diagnostics": diagnostics,
            }
        )
        counts = {s: 0 for s in ("error", "warning", "info")}
        for d in diagnostics:
            counts[d["severity"]] += 1
        if counts["error"] or (args.strict and counts["warning"]):
            status = max(status, FINDINGS)
        if args.json:
            continue
        for d in diagnostics:
            emit(diagnostic_line(path, d) + "\n")
        if diagnostics:
            found = ", ".join(plural(n, severity) for severity, n in counts.items())
            emit(f"{path}: {found}\n")
        else:
            emit(f"{path}: ok\n")
    if args.json:
        emit_json({"policies": reports})
    return status
