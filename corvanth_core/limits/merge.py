"""Putting the host-side rate phase back in front of the engine's result.

The engine that evaluated the event held none of the event type's limits,
so its result is what the rules and machines decided from an `Allow`
start. When a host-side limit was exceeded (or could not be checked), the
rate phase would have started the verdict at `Deny` with its reason; from
there only `Deny` verdicts are taken, each with a message replacing the
reason, and the machines leave a `Deny` and its reason as they are. The
messages of the rules' verdicts come from the engine's own trace of the
same event (`explain`), so the merged result is the one the engine would
have given had it held the limits itself:

    result = merged(result, trace["rules"], violations, reason)
"""

from collections.abc import Sequence

from corvanth_core.results import ConstraintViolation, EvaluationResult, RuleTrace


def rules_reason(rules: Sequence[RuleTrace], rate_reason: str) -> str:
    """The reason after the rules phase, started at `Deny` with
    `rate_reason`: the message of the last matched `Deny` verdict that has
    one, else the rate phase's."""
    reason = rate_reason
    for rule in rules:
        if not rule["matched"]:
            continue
        for offered in rule["verdicts"]:
            if offered["verdict"] == "deny" and offered["message"] is not None:
                reason = offered["message"]
    return reason


def merged(
    result: EvaluationResult,
    rules: Sequence[RuleTrace],
    violations: list[ConstraintViolation],
    rate_reason: str,
) -> EvaluationResult:
    """`result` as it would be had the rate phase found `violations` (not
    empty) and set `rate_reason`: denied, with the rules' reason, and the
    violations first among the constraint violations. The keys keep the
    engine's order."""
    result["verdict"] = "deny"
    result["reason"] = rules_reason(rules, rate_reason)
    result["constraint_violations"] = violations + result["constraint_violations"]
    return result
