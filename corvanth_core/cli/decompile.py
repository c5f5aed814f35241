"""`corvanth-core decompile POLICY [-o OUT.yaml]`: print any policy (IR JSON,
a container or a source) as policy source in its canonical format.

    corvanth-core decompile guard.halvoc -o guard.yaml
"""

import argparse

from corvanth_core.cli._common import (
    OK,
    Commands,
    add_command,
    emit,
    emit_json,
    load_policy,
    write_file,
)
from corvanth_core.source import decompile


def register(commands: Commands) -> None:
    sub = add_command(
        commands,
        "decompile",
        run,
        "Print a policy (JSON, .halvoc or source) as policy source (YAML).",
        None,
    )
    sub.add_argument("policy", metavar="POLICY")
    sub.add_argument("-o", "--output", metavar="OUT.yaml")


def run(args: argparse.Namespace) -> int:
    engine, _ = load_policy(args.policy)
    text = decompile(engine)
    if args.output:
        write_file(args.output, text.encode("utf-8"))
    if args.json:
        emit_json({"file": args.policy, "output": args.output, "text": text})
    elif args.output:
        emit(
            f"{args.output}: {len(text.splitlines())} lines, policy {engine.policy_name}\n"
        )
    else:
        emit(text)
    return OK
