"""`corvanth-core fmt POLICY`: print a policy in its canonical form, check
that a file is in it (--check), or rewrite the file in place (-w).

A policy source's canonical form is what `decompile` prints (comments are
not kept, so -w refuses a source with comments unless --force). A JSON
file's canonical form is indented by 2 spaces (`--indent N` for
another width, `--compact` for one line); a container keeps its compact
canonical payload. `-w` refuses, unless --force, a policy with error
diagnostics or with keys the canonical form would drop, so that nothing a
person wrote is lost silently.

    corvanth-core fmt -w guard.json
    corvanth-core fmt --check guard.json
"""

import argparse

from _corvanth_core import PolicyEngine

from corvanth_core.canonical import canonical_bytes, canonical_text, default_indent
from corvanth_core.cli._common import (
    FINDINGS,
    OK,
    Commands,
    add_command,
    blocking_diagnostics,
    emit,
    emit_json,
    indent_width,
    load_policy,
    plain_failure,
    refuse_to_write,
    write_file,
)
from corvanth_core.container import is_container
from corvanth_core.loading import is_source
from corvanth_core.source import decompile


def register(commands: Commands) -> None:
    fmt = add_command(
        commands,
        "fmt",
        run,
        "Print a policy as canonical JSON, or rewrite the file in place (a "
        ".halvoc container stays a container, with a canonical payload).",
        "the file is not formatted (--check), or -w refused (see --force)",
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
    width = fmt.add_mutually_exclusive_group()
    width.add_argument(
        "--indent",
        type=indent_width,
        metavar="N",
        help="indent by N spaces (default: 2 for JSON, compact in a container)",
    )
    width.add_argument(
        "--compact", action="store_true", help="write the JSON on one line"
    )
    fmt.add_argument(
        "--force",
        action="store_true",
        help="with -w: rewrite even a policy with error diagnostics or keys "
        "the canonical form drops",
    )


def _has_comments(data: bytes) -> bool:
    """Whether a source seems to hold a comment (a `#` at a line's start or
    after a space); a `#` inside a quoted string counts too, to be safe."""
    text = data.decode("utf-8", "replace")
    return any(
        line.lstrip().startswith("#") or " #" in line for line in text.splitlines()
    )


def width_of(args: argparse.Namespace, container: bool) -> int | None:
    """The indentation asked for (None: compact)."""
    if args.compact:
        return None
    return default_indent(container) if args.indent is None else int(args.indent)


def run(args: argparse.Namespace) -> int:
    if args.write and args.policy == "-":
        raise plain_failure("-", "-w needs a file, not standard input")
    engine, data = load_policy(args.policy)
    container = is_container(data)
    source = is_source(data, args.policy)
    indent = width_of(args, container)
    if source:
        formatted = decompile(engine).encode("utf-8")
    else:
        formatted = canonical_bytes(engine, container=container, indent=indent)
    changed = formatted != data
    form = "halvoc" if container else "yaml" if source else "json"
    report = {"file": args.policy, "form": form, "formatted": not changed}
    if source and args.write and changed and not args.force and _has_comments(data):
        raise plain_failure(
            args.policy,
            "fmt -w would drop the comments of this source; --force rewrites it anyway",
        )
    if args.write:
        return write(args, engine, formatted, changed, report)
    if args.check:
        if args.json:
            emit_json(report)
        else:
            emit(f"{args.policy}: {'not formatted' if changed else 'formatted'}\n")
        return FINDINGS if changed else OK
    text = (
        formatted.decode("utf-8").rstrip("\n")
        if source
        else canonical_text(engine, indent)
    )
    if args.json:
        emit_json(report | {"text": text})
    else:
        emit(text + "\n")
    return OK


def write(
    args: argparse.Namespace,
    engine: PolicyEngine,
    formatted: bytes,
    changed: bool,
    report: dict[str, object],
) -> int:
    """Rewrite the file, unless a diagnostic forbids it (without --force)."""
    blocking = [] if args.force else blocking_diagnostics(engine)
    if blocking:
        refuse_to_write(args.policy, "fmt -w", blocking)
        if args.json:
            emit_json(report | {"written": False, "refused": blocking})
        return FINDINGS
    if changed:
        write_file(args.policy, formatted)
    if args.json:
        emit_json(report | {"written": changed})
    else:
        emit(f"{args.policy}: {'reformatted' if changed else 'unchanged'}\n")
    return OK
