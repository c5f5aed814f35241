"""`corvanth-core inspect POLICY`: a summary of a policy: its rules by event
type, its constraints per target (shadowed ones marked), its machines with
their states and transitions.

    corvanth-core inspect --json guard.json
"""

import argparse
import json

from corvanth_core import _inspect
from corvanth_core.cli._common import (
    OK,
    Commands,
    add_command,
    emit,
    emit_json,
    load_policy,
)


def register(commands: Commands) -> None:
    inspect = add_command(
        commands,
        "inspect",
        run,
        "Summarize a policy: rules by event type, constraints per target "
        "(shadowed ones marked), machines with their states and transitions.",
        None,
    )
    inspect.add_argument("policy", metavar="POLICY")


def run(args: argparse.Namespace) -> int:
    engine, _ = load_policy(args.policy)
    summary = _inspect.summarize(json.loads(engine.to_json()))
    if args.json:
        emit_json(summary)
    else:
        emit(_inspect.render(summary))
    return OK
