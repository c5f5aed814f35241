"""`corvanth-core pack POLICY -o OUT.halvoc`: write a policy's JSON text,
unchanged, into a container. Refuses, unless --force, a policy with error
diagnostics or with keys its readers skip.

    corvanth-core pack guard.json -o guard.halvoc
"""

import argparse

from corvanth_core.cli._common import (
    FINDINGS,
    OK,
    Commands,
    add_command,
    blocking_diagnostics,
    emit,
    emit_json,
    load_policy,
    refuse_to_write,
    write_file,
)
from corvanth_core.container import is_container
from corvanth_core.loading import pack, unpack


def register(commands: Commands) -> None:
    packer = add_command(
        commands,
        "pack",
        run,
        "Write a policy's JSON text, unchanged, into a .halvoc container.",
        "refused to pack a policy with error diagnostics or skipped keys",
    )
    packer.add_argument("policy", metavar="POLICY")
    packer.add_argument("-o", "--output", required=True, metavar="OUT.halvoc")
    packer.add_argument(
        "--force",
        action="store_true",
        help="pack even a policy with error diagnostics or keys its readers skip",
    )


def run(args: argparse.Namespace) -> int:
    engine, data = load_policy(args.policy)
    blocking = [] if args.force else blocking_diagnostics(engine)
    if blocking:
        refuse_to_write(args.policy, "pack", blocking)
        if args.json:
            emit_json({"file": args.policy, "output": None, "refused": blocking})
        return FINDINGS
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
