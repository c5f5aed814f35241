"""`corvanth-core check POLICY...`: load each policy and list its
diagnostics; exit 1 on an error (with --strict, on a warning too). The
diagnostics of a policy source are shown at the line that wrote what they
are about: `guard.yaml:12:9: warning: ... [code]`.

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
from corvanth_core.loading import is_source
from corvanth_core.source import SourceMap, compile_with_map


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


def source_map_of(path: str, data: bytes) -> SourceMap | None:
    """The source map of a policy source (None for JSON and containers)."""
    if not is_source(data, path):
        return None
    return compile_with_map(data, filename=path).source_map


def run(args: argparse.Namespace) -> int:
    status = OK
    reports: list[dict[str, Any]] = []
    for path in args.policies:
        try:
            engine, data = load_policy(path)
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
        source_map = source_map_of(path, data)
        for d in diagnostics:
            if source_map is None:
                emit(diagnostic_line(path, d) + "\n")
            else:
                placed = source_map.render(d["path"], d["severity"], d["message"])
                head, _, rest = placed.partition("\n")
                emit(f"{head} [{d['code']}]\n{rest}\n")
        if diagnostics:
            found = ", ".join(plural(n, severity) for severity, n in counts.items())
            emit(f"{path}: {found}\n")
        else:
            emit(f"{path}: ok\n")
    if args.json:
        emit_json({"policies": reports})
    return status
