"""What `replay` prints: one line per event, explanations, the summary, and
the progress line of a long replay on a terminal.

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
from corvanth_core.results import Action, EvaluationResult, Trace

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


def trace_lines(trace: Trace) -> list[str]:
    """An explanation's trace as indented text lines."""
    lines = []
    limit = trace["rate_limit"]
    if limit is None:
        lines.append("rate limit: none for this event type")
    else:
        exceeded = "exceeded" if limit["exceeded"] else "not exceeded"
        lines.append(
            f"rate limit: {limit['kind']} {limit['target']} {limit['count']} of "
            f"{limit['limit']} in {limit['window_ms']} ms, {exceeded}"
        )
    for rule in trace["rules"]:
        if not rule["applies"]:
            lines.append(f"rule {rule['id']}: filtered out by event type")
            continue
        condition = value_text(rule["condition"]) if rule["has_condition"] else "none"
        matched = "matched" if rule["matched"] else "not matched"
        lines.append(f"rule {rule['id']}: condition {condition}, {matched}")
        for v in rule["verdicts"]:
            taken = "taken" if v["taken"] else "dropped"
            lines.append(
                f"  verdict {v['verdict']} {value_text(v['message'])} over "
                f"{v['before']}: {taken}"
            )
        for action in rule["actions"]:
            lines.append(f"  action {action_text(action)}")
    for m in trace["machines"]:
        active = "active" if m["active"] else "not active"
        deadline = ", deadline reached" if m["deadline_reached"] else ""
        lines.append(f"machine {m['proof']}: state {m['state']}, {active}{deadline}")
        for g in m["guards"]:
            allows = "allows" if g["allows"] else "does not allow"
            lines.append(
                f"  transition {g['transition']} (to {g['to']}): guard "
                f"{value_text(g['value'])}, {allows}"
            )
        taken = "none" if m["taken"] is None else str(m["taken"])
        lines.append(f"  transition taken: {taken}; state after: {m['state_after']}")
    return ["        " + line for line in lines]


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
