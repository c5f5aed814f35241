"""What `replay` prints: one line per event, the summary, and the progress
line of a long replay on a terminal (explanations: `_trace.explain_lines`).

    tally = Tally()
    tally.add(result)
    print(event_line(1, "tool_call", result))
    print(tally.render(), end="")
"""

import json
import time
from collections import Counter
from typing import Any, TextIO

from corvanth_core._inspect import plural
from corvanth_core.results import Action, EvaluationResult

VERDICTS = ("allow", "deny", "audit", "redact")


def value_text(value: Any) -> str:
    """A value as JSON text, map keys sorted (the engine's map order varies
    between processes)."""
    return json.dumps(value, ensure_ascii=False, sort_keys=True)


def action_text(action: Action) -> str:
    """`Verb(key=value, ...)`, keys sorted."""
    args = ", ".join(
        f"{key}={value_text(value)}" for key, value in sorted(action["args"].items())
    )
    return f"{action['verb']}({args})"


def sorted_result(result: EvaluationResult) -> dict[str, Any]:
    """The result without its timing, action arguments in key order, so that
    replaying one trace twice prints the same."""
    plain: dict[str, Any] = dict(result)
    del plain["eval_time_us"]
    plain["actions"] = [
        {"verb": a["verb"], "args": dict(sorted(a["args"].items()))}
        for a in result["actions"]
    ]
    return plain


def event_line(number: int, event_type: str, result: EvaluationResult) -> str:
    """The text line of one evaluated event."""
    parts = [
        f"{number:>4}  {event_type:<14} {result['verdict']:<7}{result['reason'] or ''}".rstrip()
    ]
    if result["triggered_rules"]:
        parts.append("rules " + ", ".join(map(str, result["triggered_rules"])))
    if result["actions"]:
        parts.append("actions " + ", ".join(action_text(a) for a in result["actions"]))
    for v in result["violations"]:
        parts.append(f"violation {v['invariant']} ({v['proof']})")
    for c in result["constraint_violations"]:
        parts.append(
            f"{c['kind']} {c['target']} {c['current']}/{c['limit']} "
            f"in {c['window_ms']} ms"
        )
    return "  ".join(parts).rstrip()


class Tally:
    """Counts of a replay: verdicts, rules fired, violations, bad lines."""

    def __init__(self) -> None:
        self.events = 0
        self.verdicts: Counter[str] = Counter()
        self.rules: Counter[int] = Counter()
        self.violations: Counter[tuple[str, str]] = Counter()
        self.limits: Counter[tuple[str, str]] = Counter()
        self.bad_lines: list[dict[str, Any]] = []

    def add(self, result: EvaluationResult) -> None:
        """Count one evaluated event."""
        self.events += 1
        self.verdicts[result["verdict"]] += 1
        self.rules.update(set(result["triggered_rules"]))
        self.violations.update(
            {(v["proof"], v["invariant"]) for v in result["violations"]}
        )
        self.limits.update(
            {(c["kind"], c["target"]) for c in result["constraint_violations"]}
        )

    def as_json(self) -> dict[str, Any]:
        """The summary as plain data."""
        return {
            "events": self.events,
            "verdicts": {verdict: self.verdicts[verdict] for verdict in VERDICTS},
            "rules": [{"id": i, "events": n} for i, n in sorted(self.rules.items())],
            "violations": [
                {"proof": proof, "invariant": invariant, "events": n}
                for (proof, invariant), n in self.violations.items()
            ],
            "constraint_violations": [
                {"kind": kind, "target": target, "events": n}
                for (kind, target), n in self.limits.items()
            ],
            "bad_lines": self.bad_lines,
        }

    def render(self) -> str:
        """The summary as text."""
        verdicts = ", ".join(f"{self.verdicts[v]} {v}" for v in VERDICTS)
        bad = len(self.bad_lines)
        skipped = f", {bad} bad line{'' if bad == 1 else 's'} skipped" if bad else ""
        lines = [f"summary: {plural(self.events, 'event')} ({verdicts}){skipped}"]
        for rule_id, n in sorted(self.rules.items()):
            lines.append(f"  rule {rule_id} fired in {plural(n, 'event')}")
        for (proof, invariant), n in self.violations.items():
            lines.append(
                f"  invariant {invariant} ({proof}) violated in {plural(n, 'event')}"
            )
        for (kind, target), n in self.limits.items():
            lines.append(f"  {kind} on {target} exceeded in {plural(n, 'event')}")
        return "\n".join(lines) + "\n"


class Progress:
    """A progress line on a terminal, for replays that take longer than a
    second; silent when `stream` is not a terminal."""

    DELAY = 1.0
    INTERVAL = 0.25

    def __init__(self, stream: TextIO, total_bytes: int) -> None:
        self.stream = stream
        self.enabled = stream.isatty()
        self.total = total_bytes
        self.start = time.monotonic()
        self.next = self.start + self.DELAY
        self.width = 0

    def update(self, done_bytes: int, events: int) -> None:
        """Show the position, at most every INTERVAL seconds."""
        if not self.enabled:
            return
        now = time.monotonic()
        if now < self.next:
            return
        self.next = now + self.INTERVAL
        share = f"{100 * done_bytes // self.total}%, " if self.total else ""
        text = f"replay: {share}{events} events"
        self.stream.write("\r" + text.ljust(self.width))
        self.stream.flush()
        self.width = len(text)

    def finish(self) -> None:
        """Clear the progress line, if one was shown."""
        if self.width:
            self.stream.write("\r" + " " * self.width + "\r")
            self.stream.flush()
            self.width = 0


# The entries of a logged decision that a replay must give again (the
# evaluation time is the machine's, not the policy's).
CHECKED_KEYS = (
    "verdict",
    "reason",
    "triggered_rules",
    "actions",
    "violations",
    "constraint_violations",
)


def decision_differences(
    logged: dict[str, Any], replayed: EvaluationResult
) -> list[dict[str, Any]]:
    """The entries of CHECKED_KEYS on which a logged decision and its
    replay differ, as {"key", "logged", "replayed"}; compared as JSON data
    with map keys sorted (NaN equals NaN, map order does not count)."""
    plain = sorted_result(replayed)
    found = []
    for key in CHECKED_KEYS:
        was = logged.get(key)
        if key == "actions" and isinstance(was, list):
            was = [
                {**a, "args": dict(sorted(a["args"].items()))}
                if isinstance(a, dict) and isinstance(a.get("args"), dict)
                else a
                for a in was
            ]
        if value_text(was) != value_text(plain[key]):
            found.append({"key": key, "logged": was, "replayed": plain[key]})
    return found


def difference_line(
    line: int, decision_id: str | None, difference: dict[str, Any]
) -> str:
    """One difference of a checked replay, as text."""
    which = f"line {line}" + (f" (decision {decision_id})" if decision_id else "")
    return (
        f"{which}: {difference['key']} logged {value_text(difference['logged'])}, "
        f"replayed {value_text(difference['replayed'])}"
    )
