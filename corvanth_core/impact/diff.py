"""The impact of a policy change on recorded sessions: every event run
through the old and the new policy, and the decisions that differ.

    impact = Impact()
    impact.add(diff_session("s1.jsonl", old, new, data))
    impact.changed                  # events whose decision differs
    impact.verdicts[("allow", "deny")]
    impact.as_json()

An event's decision is its whole result (verdict, reason, rules fired,
actions, violations, limits exceeded), the evaluation time aside. What a
change does is counted three ways: the verdict transition of each event
(including the unchanged ones, so the matrix sums to the events); per
rule, limit and invariant the events it newly fires on and those it stops
firing on; per session its first divergence, after which later
differences may follow from earlier ones (a rate window that filled
differently, a machine in another state).

Records a replay cannot decide honestly (see `provenance`) still pass
through both engines, so that windows and machines count them as they
counted the original, but their decisions are not compared.
"""

from collections import Counter
from dataclasses import dataclass, field
from typing import Any

from _corvanth_core import PolicyEngine

from corvanth_core import _replay
from corvanth_core._trace import Event
from corvanth_core.impact.provenance import policy_digest, unreplayable_reason
from corvanth_core.impact.session import (
    SessionRun,
    native_session_runs,
    now_ms,
    session_results,
)
from corvanth_core.results import EvaluationResult

VERDICTS = _replay.VERDICTS
EXAMPLES = 3

# What an event can fire: ("rule", "3"), ("rate", "web_request"),
# ("invariant", "no_network_after_secret_read").
Signal = tuple[str, str]


def transition_name(old: str, new: str) -> str:
    """`allow-to-deny`: how a verdict change is named on the command line
    and in output."""
    return f"{old}-to-{new}"


TRANSITIONS = tuple(
    transition_name(old, new) for old in VERDICTS for new in VERDICTS if old != new
)


def signals(result: EvaluationResult) -> set[Signal]:
    """What the result fired: its rules, limits exceeded and invariants
    violated."""
    found = {("rule", str(rule)) for rule in result["triggered_rules"]}
    found |= {(c["kind"], c["target"]) for c in result["constraint_violations"]}
    found |= {("invariant", v["invariant"]) for v in result["violations"]}
    return found


def signal_text(signal: Signal) -> str:
    """`rule 3`, `RateLimit on web_request`, `invariant no_exfiltration`."""
    what, name = signal
    if what in ("rule", "invariant"):
        return f"{what} {name}"
    return f"{what} on {name}"


def signal_order(signal: Signal) -> tuple[int, int, str]:
    """Rules first (by number), then limits, then invariants."""
    what, name = signal
    if what == "rule":
        return (0, int(name), "")
    return (1 if what != "invariant" else 2, 0, f"{what} {name}")


@dataclass(frozen=True)
class Change:
    """One event whose decision differs: where it is, what it was, and
    both results (without their evaluation time)."""

    trace: str
    event: int
    line: int
    type: str
    fields: dict[str, Any]
    timestamp_ms: int | None
    old: dict[str, Any]
    new: dict[str, Any]

    @property
    def transition(self) -> str:
        return transition_name(self.old["verdict"], self.new["verdict"])

    def as_json(self) -> dict[str, Any]:
        return {
            "trace": self.trace,
            "event": self.event,
            "line": self.line,
            "type": self.type,
            "fields": self.fields,
            "timestamp_ms": self.timestamp_ms,
            "old": self.old,
            "new": self.new,
        }


@dataclass
class SessionDiff:
    """The differences of one session; `changed_events` are the numbers
    (from 1, in evaluation order) of its changed events."""

    trace: str
    events: int = 0
    changed_events: list[int] = field(default_factory=list)
    verdicts: Counter[tuple[str, str]] = field(default_factory=Counter)
    newly: Counter[Signal] = field(default_factory=Counter)
    stopped: Counter[Signal] = field(default_factory=Counter)
    examples: dict[str, list[Change]] = field(default_factory=dict)
    first_divergence: Change | None = None
    not_replayable: list[dict[str, Any]] = field(default_factory=list)
    bad_lines: list[dict[str, Any]] = field(default_factory=list)

    def example(self, kind: str, change: Change, keep: int) -> None:
        kept = self.examples.setdefault(kind, [])
        if len(kept) < keep:
            kept.append(change)


def compare_runs(
    trace: str, old: SessionRun, new: SessionRun, digest: str, keep: int = EXAMPLES
) -> SessionDiff:
    """The differences between two runs of one trace, `old` from the policy
    of `digest`. Events are matched by their line: a line one engine could
    not evaluate is a bad line of its run, and so of the session."""
    diff = SessionDiff(trace)
    new_by_line = dict(zip((e.line for e in new.events), new.results, strict=True))
    bad = {b["line"]: b for b in old.bad_lines + new.bad_lines}
    diff.bad_lines = [bad[line] for line in sorted(bad)]
    for event, old_result in zip(old.events, old.results, strict=True):
        new_result = new_by_line.get(event.line)
        if new_result is None:
            continue
        diff.events += 1
        reason = unreplayable_reason(event, digest)
        if reason is not None:
            diff.not_replayable.append({"line": event.line, "reason": reason})
            continue
        compare_event(diff, event, old_result, new_result, keep)
    return diff


def compare_event(
    diff: SessionDiff,
    event: Event,
    old_result: EvaluationResult,
    new_result: EvaluationResult,
    keep: int,
) -> None:
    """Count one event of `diff` and keep it as an example if it changed."""
    number = diff.events
    diff.verdicts[(old_result["verdict"], new_result["verdict"])] += 1
    old_plain = _replay.sorted_result(old_result)
    new_plain = _replay.sorted_result(new_result)
    if _replay.value_text(old_plain) == _replay.value_text(new_plain):
        return
    change = Change(
        diff.trace,
        number,
        event.line,
        event.type,
        event.fields,
        event.timestamp_ms,
        old_plain,
        new_plain,
    )
    diff.changed_events.append(number)
    if diff.first_divergence is None:
        diff.first_divergence = change
    if old_result["verdict"] != new_result["verdict"]:
        diff.example(change.transition, change, keep)
    fired, firing = signals(old_result), signals(new_result)
    for signal in firing - fired:
        diff.newly[signal] += 1
        diff.example(f"{signal_text(signal)} newly fires", change, keep)
    for signal in fired - firing:
        diff.stopped[signal] += 1
        diff.example(f"{signal_text(signal)} stops firing", change, keep)
    if old_result["verdict"] == new_result["verdict"] and fired == firing:
        diff.example("other", change, keep)


def replay_both(
    old: PolicyEngine, new: PolicyEngine, data: bytes, *, explain: bool = False
) -> tuple[SessionRun, SessionRun]:
    """`data` replayed through fresh copies of both engines, natively
    where that gives the same runs; otherwise through the Python loop,
    untimed events at the same moment for both."""
    if not explain:
        runs = native_session_runs([old.__copy__(), new.__copy__()], data)
        if runs is not None:
            return runs[0], runs[1]
    untimed = now_ms()
    return (
        session_results(old.__copy__(), data, explain=explain, untimed_ms=untimed),
        session_results(new.__copy__(), data, explain=explain, untimed_ms=untimed),
    )


def diff_session(
    trace: str,
    old: PolicyEngine,
    new: PolicyEngine,
    data: bytes,
    keep: int = EXAMPLES,
) -> SessionDiff:
    """Replay `data` (the trace read from `trace`) through both engines and
    compare their decisions."""
    old_run, new_run = replay_both(old, new, data)
    return compare_runs(trace, old_run, new_run, policy_digest(old), keep)


@dataclass
class Impact:
    """The differences of every session, added in order."""

    keep: int = EXAMPLES
    sessions: list[SessionDiff] = field(default_factory=list)

    def add(self, session: SessionDiff) -> None:
        self.sessions.append(session)

    @property
    def events(self) -> int:
        return sum(s.events for s in self.sessions)

    @property
    def changed(self) -> int:
        return sum(len(s.changed_events) for s in self.sessions)

    @property
    def verdicts(self) -> Counter[tuple[str, str]]:
        return sum((s.verdicts for s in self.sessions), Counter())

    def effects(self) -> list[tuple[Signal, int, int]]:
        """(signal, events newly fired on, events stopped on), in order."""
        newly = sum((s.newly for s in self.sessions), Counter())
        stopped = sum((s.stopped for s in self.sessions), Counter())
        keys = sorted(set(newly) | set(stopped), key=signal_order)
        return [(key, newly[key], stopped[key]) for key in keys]

    def examples(self) -> dict[str, list[Change]]:
        """The first examples of each kind of change, over all sessions."""
        merged: dict[str, list[Change]] = {}
        for session in self.sessions:
            for kind, changes in session.examples.items():
                kept = merged.setdefault(kind, [])
                kept.extend(changes[: self.keep - len(kept)])
        return merged

    def transitions(self) -> set[str]:
        """The verdict transitions that happened."""
        return {
            transition_name(old, new)
            for (old, new), n in self.verdicts.items()
            if old != new and n
        }

    def as_json(self) -> dict[str, Any]:
        verdicts = self.verdicts
        return {
            "events": self.events,
            "changed": self.changed,
            "not_replayable": sum(len(s.not_replayable) for s in self.sessions),
            "bad_lines": sum(len(s.bad_lines) for s in self.sessions),
            "verdicts": {
                old: {new: verdicts[(old, new)] for new in VERDICTS} for old in VERDICTS
            },
            "effects": [
                {"kind": what, "name": name, "newly": n, "stopped": s}
                for (what, name), n, s in self.effects()
            ],
            "examples": {
                kind: [c.as_json() for c in changes]
                for kind, changes in self.examples().items()
            },
            "sessions": [session_json(s) for s in self.sessions],
        }


def session_json(session: SessionDiff) -> dict[str, Any]:
    """One session's part of the JSON output."""
    first = session.first_divergence
    return {
        "trace": session.trace,
        "events": session.events,
        "changed": len(session.changed_events),
        "changed_events": session.changed_events,
        "first_divergence": None if first is None else first.as_json(),
        "not_replayable": session.not_replayable,
        "bad_lines": session.bad_lines,
    }
