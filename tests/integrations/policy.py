"""The policy the adapters' tests run: a tool call of `delete` is denied
with a reason, `wipe` is allowed with a Block action, `lookup` is
redacted, every other call is allowed."""

import json

from corvanth_core.ir import action, binary, field, lit_str, policy, rule, verdict

DENIAL = "deleting under /srv is not allowed"


def adapters_policy() -> str:
    def tool_is(name: str) -> dict:
        return binary("Eq", field("tool"), lit_str(name))

    return json.dumps(
        policy(
            name="adapters",
            rules=[
                rule(
                    1,
                    ["tool_call"],
                    tool_is("delete"),
                    [verdict("Deny", lit_str(DENIAL))],
                ),
                rule(
                    2,
                    ["tool_call"],
                    tool_is("wipe"),
                    [],
                    [action("Block", tool=field("tool"))],
                ),
                rule(
                    3,
                    ["tool_call"],
                    tool_is("lookup"),
                    [verdict("Redact", lit_str("personal data"))],
                ),
            ],
        )
    )
