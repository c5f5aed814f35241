"""The command `corvanth-core`: check, format, pack, inspect, replay, diff
and benchmark policies, one module per command.

    corvanth-core check examples/coding_agent_guard.json
    corvanth-core replay examples/coding_agent_guard.json examples/coding_agent_session.jsonl

Exit codes: 0 ok; 1 findings (error diagnostics, an unformatted file, a
rewrite refused for what diagnostics report, denied events, bad trace
lines); 2 a usage error or a file that cannot be read or loaded. Messages go
to standard error, results to standard output; `--json` makes every
command's output machine-readable.

Each command module has `register(commands)`, adding its sub-parser with
its arguments and the function that runs it.
"""

import argparse
import os
import sys

from _corvanth_core import __version__

from corvanth_core.cli import (
    bench,
    check,
    compile,
    decompile,
    demo,
    diff,
    fmt,
    inspect,
    mcp_proxy,
    pack,
    replay,
    test,
    unpack,
)
from corvanth_core.cli._common import (
    EXIT_CODES,
    FAILURE,
    JSON_HELP,
    PROGRAM,
    Failure,
    Parser,
    Run,
    emit_json,
    warn,
)

# In the order of the help text.
COMMANDS = (
    check,
    fmt,
    compile,
    decompile,
    pack,
    unpack,
    inspect,
    replay,
    diff,
    test,
    bench,
    demo,
    mcp_proxy,
)


def build_parser() -> argparse.ArgumentParser:
    """The command line's parser, one sub-parser per command."""
    parser = Parser(
        prog=PROGRAM,
        description="Check, format, compile, pack, inspect, replay and benchmark "
        "Corvanth policies (policy source in .yaml, JSON text or .halvoc "
        "containers).",
        epilog=EXIT_CODES.format(
            findings="error diagnostics (check), an unformatted file (fmt --check),\n"
            "     a write refused for what diagnostics report (fmt -w, pack),\n"
            "     denied events or bad trace lines (replay), changed decisions (diff),\n"
            "     bad trace lines (bench)"
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--version", action="version", version=f"{PROGRAM} {__version__}"
    )
    parser.add_argument("--json", action="store_true", default=False, help=JSON_HELP)
    commands = parser.add_subparsers(
        dest="command", required=True, metavar="COMMAND", parser_class=Parser
    )
    for command in COMMANDS:
        command.register(commands)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Run the command line `argv` (default: the process's); the exit code."""
    args = build_parser().parse_args(argv)
    run: Run = args.run
    try:
        return run(args)
    except Failure as failure:
        if args.json:
            emit_json({"error": failure.details})
        warn(str(failure))
        return FAILURE
    except BrokenPipeError:
        # The reader went away (`... | head`): stop quietly, as Unix tools
        # do, with nothing more written to the closed pipe at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return FAILURE
    except KeyboardInterrupt:
        return 130


__all__ = ["build_parser", "main"]
