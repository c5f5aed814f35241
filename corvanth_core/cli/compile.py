"""`corvanth-core compile POLICY.yaml [-o OUT]`: compile a policy source to
the IR the engine loads: canonical JSON (indented by 2 spaces) on standard
output or in OUT.json, or a container in OUT.halvoc.

    corvanth-core compile guard.yaml -o guard.json
    corvanth-core compile guard.yaml -o guard.halvoc
"""

import argparse

from corvanth_core.canonical import canonical_bytes
from corvanth_core.cli._common import (
    OK,
    Commands,
    add_command,
    emit,
    emit_json,
    load_failure,
    read_file,
    write_file,
)
from corvanth_core.errors import PolicyLoadError
from corvanth_core.loading import read_policy
from corvanth_core.source import compile


def register(commands: Commands) -> None:
    sub = add_command(
        commands,
        "compile",
        run,
        "Compile a policy source (YAML) to canonical IR JSON, or to a .halvoc "
        "container when OUT ends in .halvoc.",
        None,
    )
    sub.add_argument("policy", metavar="POLICY.yaml")
    sub.add_argument("-o", "--output", metavar="OUT.json|OUT.halvoc")


def run(args: argparse.Namespace) -> int:
    data = read_file(args.policy)
    try:
        # The compiled JSON is read as JSON, whatever the source's file name.
        compiled = compile(data, filename=args.policy)
        engine = read_policy(compiled, None, check=False)
    except PolicyLoadError as error:
        raise load_failure(args.policy, error) from None
    container = bool(args.output) and str(args.output).endswith(".halvoc")
    output = canonical_bytes(
        engine, container=container, indent=None if container else 2
    )
    if args.output:
        write_file(args.output, output)
    if args.json:
        emit_json(
            {
                "file": args.policy,
                "output": args.output,
                "bytes": len(output),
                "policy_name": engine.policy_name,
            }
        )
    elif args.output:
        emit(f"{args.output}: {len(output)} bytes, policy {engine.policy_name}\n")
    else:
        emit(output.decode("utf-8"))
    return OK
