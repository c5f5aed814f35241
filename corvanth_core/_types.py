"""The shapes of the dicts the engine returns, for type checkers.

At run time these are plain dicts built by the extension module; the
TypedDicts name their keys (in the order the engine inserts them) and the
types of their values.
"""

from typing import Any, Literal, TypedDict

Verdict = Literal["allow", "deny", "audit", "redact"]
TemporalKind = Literal["Always", "Eventually", "Never", "Until", "Next"]
ConstraintKind = Literal["RateLimit", "Quota"]
Severity = Literal["error", "warning", "info"]


class Action(TypedDict):
    """One action the host should carry out."""

    verb: str
    args: dict[str, Any]


class Violation(TypedDict):
    """An invariant violated, found by one of the policy's state machines."""

    proof: str
    invariant: str
    kind: TemporalKind
    message: str


class ConstraintViolation(TypedDict):
    """A rate limit or quota exceeded by the event."""

    kind: ConstraintKind
    target: str
    limit: int
    current: int
    window_ms: int


class EvaluationResult(TypedDict):
    """The result of `PolicyEngine.evaluate`."""

    verdict: Verdict
    reason: str | None
    triggered_rules: list[int]
    eval_time_us: int
    actions: list[Action]
    violations: list[Violation]
    constraint_violations: list[ConstraintViolation]


class ExplainResult(EvaluationResult):
    """The result of `PolicyEngine.explain`: what `evaluate` would give, and
    the trace of how the engine reached it (keys "rate_limit", "rules",
    "machines")."""

    trace: dict[str, Any]


class Diagnostic(TypedDict):
    """One finding of `PolicyEngine.diagnostics`."""

    severity: Severity
    code: str
    message: str
    path: str
