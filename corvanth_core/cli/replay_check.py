"""`corvanth-core replay --check POLICY LOG.jsonl`: replay a decision log
and compare every decision with the one logged; exit 0 when all match
(`eval_time_us` aside), 1 listing the differences when not, or when an
event has no logged decision or a line is bad (reported and skipped).

    corvanth-core replay --check guard.json decisions.jsonl
    # check: 1,204 decisions, all match

Lines decided by another policy than the one replayed (by the digest of
its canonical form) are named once on standard error: their differences
are then expected.
"""

import json

from _corvanth_core import PolicyEngine

from corvanth_core import _replay
from corvanth_core._inspect import plural
from corvanth_core._trace import BadLine, Event, Setting
from corvanth_core.cli._common import (
    ENGINE_ERRORS,
    FINDINGS,
    OK,
    Replay,
    emit,
    replayed_items,
    warn,
)
from corvanth_core.guard.decision_log import PolicyIdentity
from corvanth_core.results import EvaluationResult


class Check:
    """The differences found so far, and the decisions checked."""

    def __init__(
        self, trace_path: str, identity: PolicyIdentity, as_json: bool
    ) -> None:
        self.trace_path = trace_path
        self.identity = identity
        self.as_json = as_json
        self.decisions = 0
        self.differing = 0
        self.unlogged = 0
        self.other_policy_noted = False

    def note_policy(self, event: Event) -> None:
        digest = (event.policy or {}).get("digest")
        if digest is None or digest == self.identity.digest or self.other_policy_noted:
            return
        self.other_policy_noted = True
        name = (event.policy or {}).get("name")
        warn(
            f"{self.trace_path}: line {event.line}: warning: decided by policy "
            f"{json.dumps(name)} ({digest}), not by the policy replayed "
            f"{json.dumps(self.identity.name)} ({self.identity.digest})"
        )

    def compare(self, event: Event, result: EvaluationResult) -> None:
        self.decisions += 1
        if event.decision is None:
            self.unlogged += 1
            warn(f"{self.trace_path}: line {event.line}: no logged decision to check")
            return
        self.note_policy(event)
        found = _replay.decision_differences(event.decision, result)
        if not found:
            return
        self.differing += 1
        for difference in found:
            if self.as_json:
                record = {
                    "line": event.line,
                    "decision_id": event.decision_id,
                    **difference,
                }
                emit(json.dumps(record, ensure_ascii=False) + "\n")
            else:
                emit(
                    _replay.difference_line(event.line, event.decision_id, difference)
                    + "\n"
                )

    def summary(self, bad_lines: int) -> str:
        if self.differing:
            verdict = f"{self.differing} of {plural(self.decisions, 'decision')} differ"
        else:
            verdict = f"{plural(self.decisions, 'decision')}, all match"
        extra = []
        if self.unlogged:
            extra.append(f"{self.unlogged} without a logged decision")
        if bad_lines:
            extra.append(f"{plural(bad_lines, 'bad line')} skipped")
        return "check: " + verdict + "".join(f", {item}" for item in extra)


def check_trace(engine: PolicyEngine, trace_path: str, as_json: bool) -> int:
    """Replay the decision log at `trace_path` through `engine`, printing
    every difference from the logged decisions and a summary."""
    tally = _replay.Tally()
    replay = Replay(engine, trace_path, tally)
    check = Check(trace_path, PolicyIdentity.of(engine), as_json)
    for item in replayed_items(trace_path, None):
        if isinstance(item, BadLine):
            replay.bad(item.line, item.error)
            continue
        if isinstance(item, Setting):
            replay.setting(item)
            continue
        stamp = replay.timestamp(item)
        try:
            result = engine.evaluate_at(stamp, item.type, item.fields)
        except ENGINE_ERRORS as error:
            replay.bad(item.line, f"fields cannot be evaluated: {error}")
            continue
        check.compare(item, result)
    bad = len(tally.bad_lines)
    if as_json:
        summary = {
            "decisions": check.decisions,
            "differing": check.differing,
            "unlogged": check.unlogged,
            "bad_lines": tally.bad_lines,
        }
        emit(json.dumps({"check": summary}, ensure_ascii=False) + "\n")
    else:
        emit(check.summary(bad) + "\n")
    return FINDINGS if check.differing or check.unlogged or bad else OK
