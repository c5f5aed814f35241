"""The policy the guard's tests run, with one rule per kind of outcome."""

import itertools
import json
from collections.abc import Callable

from corvanth_core.ir import (
    action,
    binary,
    constraint,
    field,
    lit_str,
    policy,
    rule,
    verdict,
)

START_MS = 1_800_000_000_000


def tool_is(name: str) -> dict:
    return binary("Eq", field("tool"), lit_str(name))


def tools_policy(
    name: str = "tools", deny_message: str = "deleting is not allowed"
) -> dict:
    """delete: deny with Log and Notify; pay: audit with Escalate; lookup:
    redact; wipe: allow with Block; ping: at most 2 a second."""
    return policy(
        name=name,
        rules=[
            rule(
                1,
                ["tool_call"],
                tool_is("delete"),
                [verdict("Deny", lit_str(deny_message))],
                [
                    action("Log", target=field("arguments", "path")),
                    action("Notify", channel=lit_str("ops")),
                ],
            ),
            rule(
                2,
                ["tool_call"],
                tool_is("pay"),
                [verdict("Audit", lit_str("payments are audited"))],
                [action("Escalate", amount=field("arguments", "amount"))],
            ),
            rule(
                3,
                ["tool_call"],
                tool_is("lookup"),
                [verdict("Redact", lit_str("personal data"))],
            ),
            rule(
                4,
                ["tool_call"],
                tool_is("wipe"),
                [],
                [action("Block", tool=field("tool"))],
            ),
        ],
        constraints=[constraint("ping", 2, 1000)],
    )


def tools_json(**options: str) -> str:
    return json.dumps(tools_policy(**options))


def stepping_clock(step_ms: int = 100) -> Callable[[], int]:
    """A clock that moves `step_ms` at every reading, from START_MS."""
    return itertools.count(START_MS, step_ms).__next__
