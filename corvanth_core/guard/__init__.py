"""The guard: Corvanth in the path of an agent's actions.

`Guard` evaluates each action before it happens and carries out the
policy's actions, `Decision` is what it decided, `PolicyDenied` what
`enforce` and guarded tools raise, `DecisionLog` the replayable record of
every decision.

    from corvanth_core import Guard, DecisionLog

    guard = Guard("policy.json", decision_log=DecisionLog("decisions.jsonl"))

    @guard.tool()
    def fetch(url: str) -> str: ...
"""

from corvanth_core.guard.decision import (
    Decision,
    HandlerError,
    PolicyDenied,
    ShadowVerdict,
)
from corvanth_core.guard.decision_log import DecisionLog, PolicyIdentity
from corvanth_core.guard.guard import Guard
from corvanth_core.guard.handlers import Handler, log_action
from corvanth_core.guard.redaction import REDACTED, redact_strings
from corvanth_core.guard.shadow import ShadowStats

__all__ = [
    "REDACTED",
    "Decision",
    "DecisionLog",
    "Guard",
    "Handler",
    "HandlerError",
    "PolicyDenied",
    "PolicyIdentity",
    "ShadowStats",
    "ShadowVerdict",
    "log_action",
    "redact_strings",
]
