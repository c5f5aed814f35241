"""What the commands of `corvanth-core` share: exit codes, failures and how
they are reported, reading and writing files, loading policies, output,
argument types, the registration of a command, and the replay of a trace
(used by `replay`, `bench` and `demo`).

A command module registers itself with `add_command` and raises `Failure`
for an error that ends it with exit code 2:

    def register(commands: Commands) -> None:
        sub = add_command(commands, "inspect", run, "Summarize a policy.", None)
        sub.add_argument("policy", metavar="POLICY")
"""

import argparse
import json
import os
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, BinaryIO, NoReturn, TypeAlias

from _corvanth_core import PolicyEngine

from corvanth_core import _replay
from corvanth_core._files import write_atomically
from corvanth_core._inspect import plural
from corvanth_core._trace import BadLine, Event, Item, Setting, read_trace
from corvanth_core.errors import PolicyLoadError
from corvanth_core.loading import read_policy
from corvanth_core.results import Diagnostic
from corvanth_core.source import PolicySourceError

PROGRAM = "corvanth-core"
OK, FINDINGS, FAILURE = 0, 1, 2

EXIT_CODES = """\
exit codes:
  0  success
  1  findings: {findings}
  2  a usage error, or a file that cannot be read, loaded or written"""

Run = Callable[[argparse.Namespace], int]
# What a command module registers itself with: the program's sub-parsers.
Commands: TypeAlias = "argparse._SubParsersAction[argparse.ArgumentParser]"


class Failure(Exception):
    """An error that ends the command with exit code 2. `details` is its
    machine-readable form (the `error` object of `--json` output)."""

    def __init__(self, message: str, details: dict[str, Any]) -> None:
        super().__init__(message)
        self.details = details


def plain_failure(path: str, reason: str) -> Failure:
    """The Failure of the file at `path` for `reason`, at no place in it."""
    return Failure(
        f"{path}: error: {reason}",
        {"file": path, "message": reason, "line": None, "column": None, "path": None},
    )


def file_failure(path: str, error: OSError) -> Failure:
    """The Failure of a file that cannot be opened, read or written."""
    return plain_failure(path, error.strerror or str(error))


def load_failure(path: str, error: PolicyLoadError) -> Failure:
    """The Failure of a policy the engine refuses, placed at its line,
    column and JSON path when the engine knows them; a policy source's
    errors as the compiler renders them."""
    if isinstance(error, PolicySourceError):
        return Failure(
            "\n".join(
                issue.render().replace(": ", ": error: ", 1) for issue in error.errors
            ),
            {
                "file": path,
                "message": error.message,
                "line": error.line,
                "column": error.column,
                "path": error.path,
                "errors": [
                    {
                        "message": i.message,
                        "line": i.line,
                        "column": i.column,
                        "end_line": i.end_line,
                        "end_column": i.end_column,
                        "path": i.path,
                        "help": i.help,
                    }
                    for i in error.errors
                ],
            },
        )
    location = path if error.line is None else f"{path}:{error.line}:{error.column}"
    where = f" (at {error.path})" if error.path else ""
    return Failure(
        f"{location}: error: {error.message}{where}",
        {
            "file": path,
            "message": error.message,
            "line": error.line,
            "column": error.column,
            "path": error.path,
        },
    )


# --- files and policies ------------------------------------------------------


def read_file(path: str) -> bytes:
    """The bytes of the file at `path` ("-": standard input)."""
    try:
        if path == "-":
            return sys.stdin.buffer.read()
        with open(path, "rb") as file:
            return file.read()
    except OSError as error:
        raise file_failure(path, error) from None


def write_file(path: str, data: bytes) -> None:
    """Replace the file at `path` with `data`, atomically."""
    try:
        write_atomically(path, data)
    except OSError as error:
        raise file_failure(path, error) from None


def load_policy(path: str) -> tuple[PolicyEngine, bytes]:
    """An engine for the policy file at `path` (a container or JSON text,
    told apart by content), and the file's bytes."""
    data = read_file(path)
    return load_data(path, data), data


def load_data(path: str, data: bytes) -> PolicyEngine:
    """An engine for the policy in `data`, read from `path`. Diagnostics do
    not refuse it: the commands report them their own way."""
    try:
        return read_policy(data, path, check=False)
    except PolicyLoadError as error:
        raise load_failure(path, error) from None


# Diagnostics whose finding the canonical form would lose: the key is
# dropped, with the value a person wrote under it.
DROPPED_KEY_CODES = frozenset({"unknown-key", "misspelt-key"})


def blocking_diagnostics(engine: PolicyEngine) -> list[Diagnostic]:
    """The diagnostics that keep `fmt -w` and `pack` from writing without
    --force: every error, and every key the canonical form drops."""
    return [
        d
        for d in engine.diagnostics()
        if d["severity"] == "error" or d["code"] in DROPPED_KEY_CODES
    ]


def diagnostic_line(path: str, d: Diagnostic) -> str:
    """One diagnostic as `check` prints it."""
    return (
        f"{path}: {d['severity']} [{d['code']}] {d['path'] or '(policy)'}: "
        f"{d['message']}"
    )


def refuse_to_write(path: str, command: str, blocking: list[Diagnostic]) -> None:
    """Report on standard error that `command` writes nothing for the policy
    at `path` because of the `blocking` diagnostics."""
    for d in blocking:
        warn(diagnostic_line(path, d))
    warn(
        f"{path}: error: {command} writes nothing: the policy has "
        f"{plural(len(blocking), 'diagnostic')} above (errors, or keys the "
        "canonical form drops); --force writes it anyway"
    )


# --- output ------------------------------------------------------------------


def emit(text: str) -> None:
    """Write `text` to standard output."""
    sys.stdout.write(text)


def emit_json(value: object) -> None:
    """Write `value` as an indented JSON document."""
    emit(json.dumps(value, ensure_ascii=False, indent=2) + "\n")


def warn(text: str) -> None:
    """Write a message line to standard error."""
    sys.stderr.write(text + "\n")


# --- arguments ---------------------------------------------------------------


def positive_int(text: str) -> int:
    """An argparse type: an integer of at least 1."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def indent_width(text: str) -> int:
    """An argparse type: an indentation width from 0 to 16."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value <= 16:
        raise argparse.ArgumentTypeError(f"must be from 0 to 16, not {value}")
    return value


class Parser(argparse.ArgumentParser):
    """argparse with the program's exit code for usage errors."""

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(FAILURE, f"{self.prog}: error: {message}\n")


JSON_HELP = "machine-readable output (JSON) on standard output"


def json_option() -> argparse.ArgumentParser:
    """The parent parser of every command: its `--json`."""
    common = Parser(add_help=False)
    common.add_argument(
        "--json", action="store_true", default=argparse.SUPPRESS, help=JSON_HELP
    )
    return common


_JSON_OPTION = json_option()


def add_command(
    commands: Commands,
    name: str,
    run: Run,
    summary: str,
    findings: str | None,
) -> argparse.ArgumentParser:
    """The sub-parser of command `name`, run by `run`; `findings` says what
    makes it exit 1 (None: nothing)."""
    sub = commands.add_parser(
        name,
        parents=[_JSON_OPTION],
        help=summary,
        description=summary,
        epilog=EXIT_CODES.format(findings=findings or "never").replace(
            "  1  findings: never\n", ""
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub.set_defaults(run=run)
    return sub


def add_trace_command(
    commands: Commands,
    name: str,
    run: Run,
    summary: str,
    findings: str,
) -> argparse.ArgumentParser:
    """A command reading a policy and a trace (replay, bench)."""
    sub = add_command(commands, name, run, summary, findings)
    sub.add_argument("policy", metavar="POLICY")
    sub.add_argument(
        "trace",
        metavar="TRACE.jsonl",
        help="a JSON Lines file (- for standard input): one object per line, "
        '{"type": ..., "fields": {...}, "timestamp_ms": ...}, or '
        '{"config": {...}, "context": {...}} to set engine values',
    )
    return sub


# --- traces ------------------------------------------------------------------


@contextmanager
def open_trace(path: str) -> Iterator[BinaryIO]:
    """The trace file at `path` ("-": standard input), open for reading."""
    if path == "-":
        yield sys.stdin.buffer
        return
    try:
        # Opened apart from the `with`, so that only errors of opening are
        # reported as the trace's.
        file = open(path, "rb")  # noqa: SIM115
    except OSError as error:
        raise file_failure(path, error) from None
    with file:
        yield file


def now_ms() -> int:
    """The wall clock in milliseconds since the Unix epoch, as the engine
    stamps events."""
    return time.time_ns() // 1_000_000


ENGINE_ERRORS = (TypeError, ValueError, OverflowError, RecursionError)


class Replay:
    """Runs the items of a trace through an engine, one at a time."""

    def __init__(self, engine: PolicyEngine, trace: str, tally: _replay.Tally) -> None:
        self.engine = engine
        self.trace = trace
        self.tally = tally
        self.started = False
        self.reported: set[int] = set()

    def bad(self, line: int, error: str) -> None:
        """Report and count a bad line (once: bench meets its lines again
        in every round)."""
        if line in self.reported:
            return
        self.reported.add(line)
        warn(f"{self.trace}: {BadLine(line, error)}")
        self.tally.bad_lines.append({"line": line, "error": error})

    def setting(self, setting: Setting) -> None:
        try:
            setting.apply(self.engine)
        except ENGINE_ERRORS as error:
            self.bad(setting.line, f"value cannot be set: {error}")

    def timestamp(self, event: Event) -> int:
        """The event's time; the engine's machines start at the first
        event's recorded time."""
        if event.timestamp_ms is None:
            stamp = now_ms()
        else:
            stamp = event.timestamp_ms
            if not self.started:
                self.engine.reset_at(stamp)
        self.started = True
        return stamp


def replayed_items(path: str, progress: Callable[[int], None] | None) -> Iterator[Item]:
    """The items of the trace at `path`; `progress` gets the bytes read so far."""
    with open_trace(path) as file:

        def lines() -> Iterator[bytes]:
            done = 0
            for raw in file:
                done += len(raw)
                if progress is not None:
                    progress(done)
                yield raw

        yield from read_trace(lines())


def trace_size(path: str) -> int:
    """The size of the trace file, 0 for standard input or when unknown."""
    try:
        return 0 if path == "-" else os.stat(path).st_size
    except OSError:
        return 0
