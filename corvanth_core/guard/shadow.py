"""A shadow policy: a candidate evaluated on every event beside the
enforced policy, at the same time stamp, whose verdicts are only recorded.

    guard = Guard("policy.json", shadow="candidate.json")
    decision = guard.check("tool_call", {"tool": "shell", "command": "ls"})
    decision.shadow.disagrees          # would the candidate decide otherwise?
    guard.shadow_stats().disagreements

The candidate cannot change a decision: an error it raises is recorded on
the decision's `shadow` and counted, never passed on.
"""

import json
import threading
from collections import Counter
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from _corvanth_core import PolicyEngine

from corvanth_core.guard.decision import ShadowVerdict
from corvanth_core.guard.decision_log import PolicyIdentity, shadow_record
from corvanth_core.results import EvaluationResult, Verdict

# The entries of a result that two policies can disagree on, in the order
# the engine builds them (the evaluation time is not a decision).
COMPARED_KEYS = (
    "verdict",
    "reason",
    "triggered_rules",
    "actions",
    "violations",
    "constraint_violations",
)


def same_value(left: object, right: object) -> bool:
    """Whether two result entries are equal as data (NaN equals NaN)."""
    if left == right:
        return True
    return json.dumps(left, sort_keys=True) == json.dumps(right, sort_keys=True)


def differences(
    enforced: EvaluationResult, candidate: EvaluationResult
) -> tuple[str, ...]:
    """The keys of COMPARED_KEYS whose entries differ between the results."""
    return tuple(
        key
        for key in COMPARED_KEYS
        if not same_value(enforced[key], candidate[key])  # type: ignore[literal-required]
    )


@dataclass(frozen=True, slots=True)
class ShadowStats:
    """Counters of a shadow policy since the guard was made: events seen,
    verdict disagreements (errors included), errors, and the number of
    events for each pair (enforced verdict, shadow verdict); an error
    counts under the shadow verdict "error"."""

    policy_name: str
    events: int
    disagreements: int
    errors: int
    verdict_pairs: Mapping[tuple[Verdict, str], int]


class Shadow:
    """The candidate engine and its counters."""

    def __init__(self, engine: PolicyEngine) -> None:
        self.engine = engine
        self.identity = PolicyIdentity.of(engine)
        self._lock = threading.Lock()
        self._events = 0
        self._disagreements = 0
        self._errors = 0
        self._pairs: Counter[tuple[Verdict, str]] = Counter()

    def evaluate(
        self,
        timestamp_ms: int,
        event_type: str,
        fields: dict[str, Any] | None,
        enforced: EvaluationResult,
    ) -> ShadowVerdict:
        """The candidate's verdict on the event the enforced policy decided
        as `enforced`, counted."""
        try:
            result = self.engine.evaluate_at(timestamp_ms, event_type, fields)
        except Exception as error:  # noqa: BLE001 (a shadow never decides)
            verdict = ShadowVerdict(
                self.identity.name, None, (), f"{type(error).__name__}: {error}", None
            )
        else:
            verdict = ShadowVerdict(
                self.identity.name,
                result["verdict"],
                differences(enforced, result),
                None,
                result,
            )
        self._count(enforced["verdict"], verdict)
        return verdict

    def _count(self, enforced: Verdict, verdict: ShadowVerdict) -> None:
        with self._lock:
            self._events += 1
            self._disagreements += verdict.disagrees
            self._errors += verdict.error is not None
            self._pairs[(enforced, verdict.verdict or "error")] += 1

    def record(self, verdict: ShadowVerdict) -> dict[str, Any]:
        """The `shadow` entry of the decision line for `verdict`."""
        # The result itself, not a copy: the line is written at once.
        return shadow_record(
            self.identity, verdict._result, verdict.differences, verdict.error
        )

    def stats(self) -> ShadowStats:
        with self._lock:
            return ShadowStats(
                self.identity.name,
                self._events,
                self._disagreements,
                self._errors,
                dict(self._pairs),
            )
