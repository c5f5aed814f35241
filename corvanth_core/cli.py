"""The command `corvanth-core`: check, format, pack, inspect, replay and
benchmark policies.

    corvanth-core check examples/coding_agent_guard.json
    corvanth-core replay examples/coding_agent_guard.json examples/coding_agent_session.jsonl

Exit codes: 0 ok; 1 findings (error diagnostics, an unformatted file,
denied events, bad trace lines); 2 a usage error or a file that cannot be
read or loaded. Messages go to standard error, results to standard output;
`--json` makes every command's output machine-readable.
"""

import argparse
import json
import os
import statistics
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, BinaryIO, NoReturn

from _corvanth_core import PolicyEngine, __version__

from corvanth_core import _inspect, _replay
from corvanth_core._files import write_atomically
from corvanth_core._inspect import plural
from corvanth_core._trace import BadLine, Event, Item, Setting, read_trace
from corvanth_core.container import is_container, pack, unpack
from corvanth_core.loading import loads

PROGRAM = "corvanth-core"
OK, FINDINGS, FAILURE = 0, 1, 2

EXIT_CODES = """\
exit codes:
  0  success
  1  findings: {findings}
  2  a usage error, or a file that cannot be read, loaded or written"""


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


def load_failure(path: str, error: Exception) -> Failure:
    """The Failure of a policy the engine refuses, placed at its line,
    column and JSON path when the engine knows them."""
    line = getattr(error, "line", None)
    column = getattr(error, "column", None)
    json_path = getattr(error, "path", None)
    location = path if line is None else f"{path}:{line}:{column}"
    where = f" (at {json_path})" if json_path else ""
    return Failure(
        f"{location}: error: {error}{where}",
        {
            "file": path,
            "message": str(error),
            "line": line,
            "column": column,
            "path": json_path,
        },
    )


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
    """An engine for the policy in `data`, read from `path`."""
    try:
        return loads(data)
    except UnicodeDecodeError as error:
        reason = f"not UTF-8 JSON text ({error.reason} at byte {error.start})"
        raise plain_failure(path, reason) from None
    except (ValueError, RuntimeError) as error:
        raise load_failure(path, error) from None


def emit(text: str) -> None:
    """Write `text` to standard output."""
    sys.stdout.write(text)


def emit_json(value: object) -> None:
    """Write `value` as an indented JSON document."""
    emit(json.dumps(value, ensure_ascii=False, indent=2) + "\n")


def warn(text: str) -> None:
    """Write a message line to standard error."""
    sys.stderr.write(text + "\n")


# --- check -------------------------------------------------------------------


def run_check(args: argparse.Namespace) -> int:
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
            emit(
                f"{path}: {d['severity']} [{d['code']}] {d['path'] or '(policy)'}: "
                f"{d['message']}\n"
            )
        if diagnostics:
            found = ", ".join(plural(n, severity) for severity, n in counts.items())
            emit(f"{path}: {found}\n")
        else:
            emit(f"{path}: ok\n")
    if args.json:
        emit_json({"policies": reports})
    return status


# --- fmt, pack, unpack -------------------------------------------------------


def canonical_text(engine: PolicyEngine, indent: int | None) -> str:
    """The policy's canonical JSON, compact or re-indented."""
    text = engine.to_json()
    if indent is None:
        return text
    return json.dumps(json.loads(text), ensure_ascii=False, indent=indent)


def run_fmt(args: argparse.Namespace) -> int:
    if args.write and args.policy == "-":
        raise plain_failure("-", "-w needs a file, not standard input")
    engine, data = load_policy(args.policy)
    text = canonical_text(engine, args.indent)
    container = is_container(data)
    formatted = pack(text) if container else (text + "\n").encode("utf-8")
    changed = formatted != data
    report = {
        "file": args.policy,
        "form": "halvoc" if container else "json",
        "formatted": not changed,
    }
    if args.write:
        if changed:
            write_file(args.policy, formatted)
        if args.json:
            emit_json(report | {"written": changed})
        else:
            emit(f"{args.policy}: {'reformatted' if changed else 'unchanged'}\n")
        return OK
    if args.check:
        if args.json:
            emit_json(report)
        else:
            emit(f"{args.policy}: {'not formatted' if changed else 'formatted'}\n")
        return FINDINGS if changed else OK
    if args.json:
        emit_json(report | {"text": text})
    else:
        emit(text + "\n")
    return OK


def run_pack(args: argparse.Namespace) -> int:
    engine, data = load_policy(args.policy)
    text = unpack(data) if is_container(data) else data.decode("utf-8")
    container = pack(text)
    write_file(args.output, container)
    if args.json:
        emit_json(
            {
                "file": args.policy,
                "output": args.output,
                "bytes": len(container),
                "policy_name": engine.policy_name,
            }
        )
    else:
        emit(f"{args.output}: {len(container)} bytes, policy {engine.policy_name}\n")
    return OK


def run_unpack(args: argparse.Namespace) -> int:
    data = read_file(args.container)
    if not is_container(data):
        raise plain_failure(
            args.container,
            "not a .halvoc container (it does not start with the magic AE 91 5C 01)",
        )
    engine = load_data(args.container, data)
    text = unpack(data)
    if args.output is not None:
        write_file(args.output, text.encode("utf-8"))
    if args.json:
        report: dict[str, Any] = {
            "file": args.container,
            "policy_name": engine.policy_name,
        }
        if args.output is None:
            report["text"] = text
        else:
            report["output"] = args.output
        emit_json(report)
    elif args.output is None:
        emit(text if text.endswith("\n") else text + "\n")
    else:
        emit(
            f"{args.output}: {len(text.encode('utf-8'))} bytes, policy {engine.policy_name}\n"
        )
    return OK


# --- inspect -----------------------------------------------------------------


def run_inspect(args: argparse.Namespace) -> int:
    engine, _ = load_policy(args.policy)
    summary = _inspect.summarize(json.loads(engine.to_json()))
    if args.json:
        emit_json(summary)
    else:
        emit(_inspect.render(summary))
    return OK


# --- replay and bench --------------------------------------------------------


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


def apply_setting(engine: PolicyEngine, setting: Setting) -> None:
    """Set the configuration and context values of a setting line."""
    for key, value in setting.config.items():
        engine.set_config(key, value)
    for key, value in setting.context.items():
        engine.set_context(key, value)


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
            apply_setting(self.engine, setting)
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


def run_replay(args: argparse.Namespace) -> int:
    engine, _ = load_policy(args.policy)
    explain = set(args.explain or [])
    tally = _replay.Tally()
    replay = Replay(engine, args.trace, tally)
    meter = _replay.Progress(sys.stderr, trace_size(args.trace))
    for item in replayed_items(
        args.trace, lambda done: meter.update(done, tally.events)
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
        if args.json:
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
                emit("".join(line + "\n" for line in _replay.trace_lines(trace)))
    meter.finish()
    if args.json:
        emit(json.dumps({"summary": tally.as_json()}, ensure_ascii=False) + "\n")
    else:
        emit(tally.render())
    missing = sorted(n for n in explain if n > tally.events)
    if missing:
        warn(
            f"{args.trace}: error: no event {missing[0]} to explain "
            f"(the trace has {tally.events} events)"
        )
        return FAILURE
    denied = tally.verdicts["deny"] > 0
    return FINDINGS if denied or tally.bad_lines else OK


def percentile(ordered: list[int], share: float) -> int:
    """The nearest-rank percentile of sorted values."""
    rank = max(1, -(-len(ordered) * share // 1))
    return ordered[int(rank) - 1]


def run_bench(args: argparse.Namespace) -> int:
    engine, _ = load_policy(args.policy)
    tally = _replay.Tally()
    replay = Replay(engine, args.trace, tally)
    items: list[Event | Setting] = []
    for item in replayed_items(args.trace, None):
        if isinstance(item, BadLine):
            replay.bad(item.line, item.error)
        else:
            items.append(item)
    events = [item for item in items if isinstance(item, Event)]
    if not events:
        raise plain_failure(args.trace, "no events to measure")
    first = events[0].timestamp_ms
    latencies: list[int] = []
    clock = time.perf_counter_ns
    for _ in range(args.rounds):
        engine.reset_at(now_ms() if first is None else first)
        for item in items:
            if isinstance(item, Setting):
                replay.setting(item)
                continue
            stamp = now_ms() if item.timestamp_ms is None else item.timestamp_ms
            try:
                start = clock()
                engine.evaluate_at(stamp, item.type, item.fields)
                latencies.append(clock() - start)
            except ENGINE_ERRORS as error:
                replay.bad(item.line, f"fields cannot be evaluated: {error}")
    if not latencies:
        raise plain_failure(args.trace, "no event could be evaluated")
    latencies.sort()
    median = int(statistics.median(latencies))
    p99 = percentile(latencies, 0.99)
    rate = len(latencies) * 1e9 / max(1, sum(latencies))
    report = {
        "policy_name": engine.policy_name,
        "events": len(events),
        "rounds": args.rounds,
        "evaluations": len(latencies),
        "median_ns": median,
        "p99_ns": p99,
        "events_per_second": round(rate),
    }
    if args.json:
        emit_json(report)
    else:
        emit(
            f"{engine.policy_name}: {len(events)} events x {args.rounds} rounds\n"
            f"  latency per event: median {median / 1000:.2f} us, "
            f"p99 {p99 / 1000:.2f} us\n"
            f"  throughput: {round(rate):,} events/s\n"
        )
    return FINDINGS if tally.bad_lines else OK


# --- the parser --------------------------------------------------------------


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


def build_parser() -> argparse.ArgumentParser:
    """The command line's parser, one sub-parser per command."""
    common = Parser(add_help=False)
    common.add_argument(
        "--json",
        action="store_true",
        default=argparse.SUPPRESS,
        help="machine-readable output (JSON) on standard output",
    )
    parser = Parser(
        prog=PROGRAM,
        description="Check, format, pack, inspect, replay and benchmark Corvanth "
        "policies (JSON text or .halvoc containers, told apart by content).",
        epilog=EXIT_CODES.format(
            findings="error diagnostics (check), an unformatted file (fmt --check),\n"
            "     denied events or bad trace lines (replay), bad trace lines (bench)"
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "--version", action="version", version=f"{PROGRAM} {__version__}"
    )
    parser.add_argument(
        "--json",
        action="store_true",
        default=False,
        help="machine-readable output (JSON) on standard output",
    )
    commands = parser.add_subparsers(
        dest="command", required=True, metavar="COMMAND", parser_class=Parser
    )

    def command(
        name: str,
        run: Callable[[argparse.Namespace], int],
        summary: str,
        findings: str | None,
    ) -> argparse.ArgumentParser:
        sub = commands.add_parser(
            name,
            parents=[common],
            help=summary,
            description=summary,
            epilog=EXIT_CODES.format(findings=findings or "never").replace(
                "  1  findings: never\n", ""
            ),
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        sub.set_defaults(run=run)
        return sub

    check = command(
        "check",
        run_check,
        "Load each policy and list its diagnostics.",
        "an error-severity diagnostic (with --strict: a warning too)",
    )
    check.add_argument("policies", nargs="+", metavar="POLICY")
    check.add_argument("--strict", action="store_true", help="exit 1 on warnings too")

    fmt = command(
        "fmt",
        run_fmt,
        "Print a policy as canonical JSON, or rewrite the file in place (a "
        ".halvoc container stays a container, with a canonical payload).",
        "the file is not formatted (--check)",
    )
    fmt.add_argument("policy", metavar="POLICY")
    mode = fmt.add_mutually_exclusive_group()
    mode.add_argument(
        "-w",
        "--write",
        action="store_true",
        help="rewrite the file in place, atomically",
    )
    mode.add_argument(
        "--check", action="store_true", help="only tell whether the file is formatted"
    )
    fmt.add_argument(
        "--indent",
        type=indent_width,
        metavar="N",
        help="indent by N spaces (default: compact, one line)",
    )

    packer = command(
        "pack",
        run_pack,
        "Write a policy's JSON text, unchanged, into a .halvoc container.",
        None,
    )
    packer.add_argument("policy", metavar="POLICY")
    packer.add_argument("-o", "--output", required=True, metavar="OUT.halvoc")

    unpacker = command(
        "unpack",
        run_unpack,
        "Print (or write with -o) the JSON text held by a .halvoc container.",
        None,
    )
    unpacker.add_argument("container", metavar="IN.halvoc")
    unpacker.add_argument("-o", "--output", metavar="OUT.json")

    inspect = command(
        "inspect",
        run_inspect,
        "Summarize a policy: rules by event type, constraints per target "
        "(shadowed ones marked), machines with their states and transitions.",
        None,
    )
    inspect.add_argument("policy", metavar="POLICY")

    def trace_command(
        name: str, run: Callable[[argparse.Namespace], int], summary: str, findings: str
    ) -> argparse.ArgumentParser:
        sub = command(name, run, summary, findings)
        sub.add_argument("policy", metavar="POLICY")
        sub.add_argument(
            "trace",
            metavar="TRACE.jsonl",
            help="a JSON Lines file (- for standard input): one object per line, "
            '{"type": ..., "fields": {...}, "timestamp_ms": ...}, or '
            '{"config": {...}, "context": {...}} to set engine values',
        )
        return sub

    replay = trace_command(
        "replay",
        run_replay,
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
    bench = trace_command(
        "bench",
        run_bench,
        "Time the evaluation of a recorded session: per-event latency "
        "(median, p99) and events per second.",
        "a bad trace line was met (reported and skipped)",
    )
    bench.add_argument(
        "--rounds",
        type=positive_int,
        default=10,
        metavar="N",
        help="replay the trace N times (default 10)",
    )
    return parser


def main(argv: list[str] | None = None) -> int:
    """Run the command line `argv` (default: the process's); the exit code."""
    args = build_parser().parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run
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


if __name__ == "__main__":
    sys.exit(main())
