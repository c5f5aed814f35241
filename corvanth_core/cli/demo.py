"""`corvanth-core demo`: replay the recorded coding-agent session shipped
with the package through the example guard policy shipped beside it, as
`replay` would; it needs no file of its own, so it runs from an installed
wheel.

    corvanth-core demo
    corvanth-core demo --json | tail -1
"""

import argparse
from importlib.resources import as_file, files

from corvanth_core.cli._common import (
    OK,
    Commands,
    add_command,
    load_policy,
)
from corvanth_core.cli.replay import replay_natively

POLICY = "coding_agent_guard.json"
SESSION = "coding_agent_session.jsonl"


def register(commands: Commands) -> None:
    add_command(
        commands,
        "demo",
        run,
        "Replay the sample session shipped with the package through the "
        "example guard policy (what replay prints for them).",
        None,
    )


def run(args: argparse.Namespace) -> int:
    shipped = files("corvanth_core") / "examples"
    with as_file(shipped / POLICY) as policy, as_file(shipped / SESSION) as session:
        engine, _ = load_policy(str(policy))
        replay_natively(engine, str(session), args.json)
    # The denials are what the demo shows: they are no findings.
    return OK
