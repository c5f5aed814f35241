"""One decision of a `Guard`: the engine's result, read through typed
attributes, plus what the guard learned around it (its id, the shadow
policy's opinion, the handlers that failed, an escalation refused).

    decision = guard.check("tool_call", {"tool": "shell", "command": "ls"})
    if decision.allowed:
        ...
    record = decision.as_dict()  # the engine's result, as it returned it

A decision is immutable: its attributes are read from a private copy of the
result, and every list it hands out is a fresh tuple or a fresh copy.
"""

import copy
from dataclasses import dataclass
from typing import Any

from corvanth_core.results import (
    Action,
    ConstraintViolation,
    EvaluationResult,
    Verdict,
    Violation,
)

# The verdicts under which the guarded action goes ahead.
ALLOWING_VERDICTS = frozenset(("allow", "audit", "redact"))


@dataclass(frozen=True, slots=True)
class HandlerError:
    """An action handler that raised: which action (its verb and its place
    in the result's `actions`) and the error, as type name and text."""

    verb: str
    index: int
    error_type: str
    message: str

    def __str__(self) -> str:
        return f"{self.verb} handler (action {self.index}) raised {self.error_type}: {self.message}"


@dataclass(frozen=True, slots=True)
class ShadowVerdict:
    """What the shadow policy decided on the same event at the same time.

    `differences` names the entries of the two results that differ
    (`eval_time_us` aside), in the result's key order; `error` holds the
    text of an exception the shadow engine raised, in which case there is
    no result and `verdict` is None."""

    policy_name: str
    verdict: Verdict | None
    differences: tuple[str, ...]
    error: str | None
    _result: EvaluationResult | None

    @property
    def disagrees(self) -> bool:
        """Whether the shadow policy would have decided another verdict (or
        could not decide)."""
        return self.error is not None or "verdict" in self.differences

    def as_dict(self) -> EvaluationResult | None:
        """The shadow engine's result (a copy), None when it raised."""
        return copy.deepcopy(self._result)


@dataclass(frozen=True, init=False)
class Decision:
    """A typed, immutable view of one decision.

    `verdict` and the other result entries are the engine's; `allowed` is
    true for allow, audit and redact. `escalation_refused` is set when an
    Escalate handler returned False or failed, `blocked` when the result
    holds a Block action: either makes `enforce` raise whatever the verdict.
    """

    # Slots written out rather than `slots=True`, which would make a second
    # class whose frozen __setattr__ fails with TypeError on Python 3.11:
    # the guard's native decider copies these slots from a template.
    __slots__ = (
        "_id_prefix",
        "_result",
        "_serial",
        "escalation_refused",
        "handler_errors",
        "shadow",
    )

    _id_prefix: str
    _serial: int
    _result: EvaluationResult
    shadow: ShadowVerdict | None
    handler_errors: tuple[HandlerError, ...]
    escalation_refused: bool

    def __init__(
        self,
        _id_prefix: str,
        _serial: int,
        _result: EvaluationResult,
        shadow: ShadowVerdict | None = None,
        handler_errors: tuple[HandlerError, ...] = (),
        escalation_refused: bool = False,
    ) -> None:
        for name, value in (
            ("_id_prefix", _id_prefix),
            ("_serial", _serial),
            ("_result", _result),
            ("shadow", shadow),
            ("handler_errors", handler_errors),
            ("escalation_refused", escalation_refused),
        ):
            object.__setattr__(self, name, value)

    def __getstate__(self) -> tuple[object, ...]:
        return tuple(getattr(self, name) for name in self.__slots__)

    def __setstate__(self, state: tuple[object, ...]) -> None:
        for name, value in zip(self.__slots__, state, strict=True):
            object.__setattr__(self, name, value)

    @property
    def decision_id(self) -> str:
        """Unique among the decisions of every guard: the guard's random
        prefix and the decision's number."""
        return self._id_prefix + str(self._serial)

    @property
    def verdict(self) -> Verdict:
        return self._result["verdict"]

    @property
    def reason(self) -> str | None:
        return self._result["reason"]

    @property
    def allowed(self) -> bool:
        return self._result["verdict"] in ALLOWING_VERDICTS

    @property
    def triggered_rules(self) -> tuple[int, ...]:
        return tuple(self._result["triggered_rules"])

    @property
    def actions(self) -> tuple[Action, ...]:
        return tuple(copy.deepcopy(self._result["actions"]))

    @property
    def violations(self) -> tuple[Violation, ...]:
        return tuple(copy.deepcopy(self._result["violations"]))

    @property
    def constraint_violations(self) -> tuple[ConstraintViolation, ...]:
        return tuple(copy.deepcopy(self._result["constraint_violations"]))

    @property
    def eval_time_us(self) -> int:
        return self._result["eval_time_us"]

    @property
    def blocked(self) -> bool:
        """Whether the result holds a Block action."""
        return any(action["verb"] == "Block" for action in self._result["actions"])

    @property
    def permitted(self) -> bool:
        """Whether `enforce` lets the action go ahead: an allowing verdict,
        no Block action and no escalation refused."""
        return self.allowed and not self.escalation_refused and not self.blocked

    def as_dict(self) -> EvaluationResult:
        """The engine's result unchanged (a fresh deep copy of it)."""
        return copy.deepcopy(self._result)

    def __repr__(self) -> str:
        return (
            f"Decision(verdict={self.verdict!r}, reason={self.reason!r}, "
            f"decision_id={self.decision_id!r})"
        )


# The result of no event: what a template decision holds (see
# `PolicyEngine.decider`) until a copy of it gets an engine's result.
EMPTY_RESULT: EvaluationResult = {
    "verdict": "allow",
    "reason": None,
    "triggered_rules": [],
    "eval_time_us": 0,
    "actions": [],
    "violations": [],
    "constraint_violations": [],
}


def denial_message(decision: Decision) -> str:
    """The message of a `PolicyDenied` for `decision`: the policy's reason
    when it gave one, else what stopped the action."""
    if decision.reason is not None:
        return decision.reason
    if not decision.allowed:
        return f"denied by the policy (verdict {decision.verdict}, no reason given)"
    if decision.blocked:
        return "blocked by a Block action of the policy"
    return "the escalation was refused"


class PolicyDenied(Exception):
    """Raised by `Guard.enforce` and guarded tools when the policy denies
    the action, a Block action stops it or an escalation is refused.

    `decision` is the whole decision; the message is its reason."""

    def __init__(self, decision: Decision) -> None:
        super().__init__(denial_message(decision))
        self.decision = decision

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.decision,))
