"""The shapes of the dicts the engine returns, for type checkers.

At run time these are plain dicts built by the extension module; the
TypedDicts name their keys (in the order the engine inserts them) and the
types of their values.

    result: EvaluationResult = engine.evaluate("tool_call", {"tool": "shell"})
    trace: Trace = engine.explain("tool_call", {"tool": "shell"})["trace"]
    for rule in trace["rules"]:
        print(rule["id"], rule["matched"])
"""

from typing import Any, Literal, NotRequired, TypedDict

from corvanth_core.ir import ConstraintKind, TemporalKind

# A verdict in a result or a trace: the policy's verdict name in lower case.
Verdict = Literal["allow", "deny", "audit", "redact"]
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
    # Only from shared limits whose store could not be reached: then True,
    # and `current` is 0.
    unavailable: NotRequired[bool]


class EvaluationResult(TypedDict):
    """The result of `PolicyEngine.evaluate`."""

    verdict: Verdict
    reason: str | None
    triggered_rules: list[int]
    eval_time_us: int
    actions: list[Action]
    violations: list[Violation]
    constraint_violations: list[ConstraintViolation]


class RateLimitTrace(TypedDict):
    """The constraint consulted for the event's type, and its window."""

    target: str
    kind: ConstraintKind
    count: int
    limit: int
    window_ms: int
    exceeded: bool


class VerdictTrace(TypedDict):
    """One verdict a matched rule offered: the verdict before it, and
    whether it was taken."""

    verdict: Verdict
    message: str | None
    before: Verdict
    taken: bool


class RuleTrace(TypedDict):
    """One rule, in policy order: whether it applies to the event's type,
    its condition's value, and what it offered when it matched."""

    index: int
    id: int
    applies: bool
    has_condition: bool
    condition: Any
    matched: bool
    verdicts: list[VerdictTrace]
    actions: list[Action]


class GuardTrace(TypedDict):
    """One transition guard tried, with its value."""

    transition: int
    to: int
    value: Any
    allows: bool


class MachineTrace(TypedDict):
    """One state machine's step: its state before and after, the guards
    tried and the transition taken (None: none)."""

    proof: str
    state: int
    active: bool
    deadline_reached: bool
    guards: list[GuardTrace]
    taken: int | None
    state_after: int


class Trace(TypedDict):
    """How the engine reached an explained result."""

    rate_limit: RateLimitTrace | None
    rules: list[RuleTrace]
    machines: list[MachineTrace]


class ExplainResult(EvaluationResult):
    """The result of `PolicyEngine.explain`: what `evaluate` would give, and
    the trace of how the engine reached it."""

    trace: Trace


class Diagnostic(TypedDict):
    """One finding of `PolicyEngine.diagnostics`."""

    severity: Severity
    code: str
    message: str
    path: str


class ReplayBadLine(TypedDict):
    """A trace line `PolicyEngine.replay` skipped (numbered from 1), and why."""

    line: int
    error: str


class ReplayedEvent(TypedDict):
    """Where an event `PolicyEngine.replay` evaluated came from."""

    line: int
    type: str
    timestamp_ms: int | None


class ReplaySummary(TypedDict):
    """What `PolicyEngine.replay` decided over a trace: events evaluated,
    events per verdict, per rule id the events it fired on, per invariant
    name and per constraint target the events that reported it, the bad
    lines; with `results=True` one result per evaluated event, with
    `lines=True` where each came from."""

    events: int
    verdicts: dict[Verdict, int]
    rules: dict[int, int]
    invariants: dict[str, int]
    limits: dict[str, int]
    bad_lines: list[ReplayBadLine]
    results: NotRequired[list[EvaluationResult]]
    lines: NotRequired[list[ReplayedEvent]]
