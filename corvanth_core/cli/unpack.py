"""`corvanth-core unpack IN.halvoc [-o OUT.json]`: print, or write, the JSON
text a container holds, as it was packed.

    corvanth-core unpack guard.halvoc -o guard.json
"""

import argparse
from typing import Any

from corvanth_core.cli._common import (
    OK,
    Commands,
    add_command,
    emit,
    emit_json,
    load_data,
    plain_failure,
    read_file,
    write_file,
)
from corvanth_core.container import is_container
from corvanth_core.loading import unpack


def register(commands: Commands) -> None:
    unpacker = add_command(
        commands,
        "unpack",
        run,
        "Print (or write with -o) the JSON text held by a .halvoc container.",
        None,
    )
    unpacker.add_argument("container", metavar="IN.halvoc")
    unpacker.add_argument("-o", "--output", metavar="OUT.json")


def run(args: argparse.Namespace) -> int:
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
