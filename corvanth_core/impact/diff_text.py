"""The impact of a policy change as a person reads it: totals, the
verdict matrix, what fires newly or no longer, examples, and each
session's first divergence.

    print(render(impact, "old.yaml", "new.yaml"), end="")
"""

import json

from corvanth_core._inspect import plural
from corvanth_core.impact.diff import VERDICTS, Change, Impact, signal_text


def matrix_lines(impact: Impact) -> list[str]:
    """The verdict transitions as a table, old verdicts down, new across."""
    verdicts = impact.verdicts
    width = max(6, *(len(str(n)) for n in verdicts.values()))
    head = "  old \\ new " + "".join(f"{v:>{width + 2}}" for v in VERDICTS)
    rows = [
        f"  {old:<10}"
        + "".join(f"{verdicts[(old, new)]:>{width + 2}}" for new in VERDICTS)
        for old in VERDICTS
    ]
    return [head, *rows]


def change_line(change: Change) -> str:
    """One changed event: where, what, and both decisions."""
    where = f"{change.trace}:{change.line} (event {change.event})"
    fields = json.dumps(change.fields, ensure_ascii=False, sort_keys=True)
    return (
        f"{where} {change.type} {fields}: {decision_text(change.old)} -> "
        f"{decision_text(change.new)}"
    )


def decision_text(result: dict[str, object]) -> str:
    """A verdict, its reason and the rules that fired."""
    rules = result["triggered_rules"]
    fired = (
        f" rules {', '.join(map(str, rules))}"
        if isinstance(rules, list) and rules
        else ""
    )
    reason = f" {json.dumps(result['reason'])}" if result["reason"] else ""
    return f"{result['verdict']}{reason}{fired}"


def render(impact: Impact, old_path: str, new_path: str) -> str:
    """The whole report as text."""
    sessions = impact.sessions
    skipped = [
        plural(sum(len(s.not_replayable) for s in sessions), "event")
        + " not replayable",
        plural(sum(len(s.bad_lines) for s in sessions), "bad line"),
    ]
    totals = (
        f"{plural(len(sessions), 'session')}, {plural(impact.events, 'event')}: "
        f"{impact.changed} changed, {', '.join(skipped)}"
    )
    lines = [
        f"diff: {old_path} -> {new_path}",
        totals,
        "verdicts:",
        *matrix_lines(impact),
    ]
    effects = impact.effects()
    if effects:
        lines.append("fires:")
    for signal, newly, stopped in effects:
        lines.append(
            f"  {signal_text(signal)}: newly on {plural(newly, 'event')}, "
            f"no longer on {plural(stopped, 'event')}"
        )
    examples = impact.examples()
    if examples:
        lines.append("examples:")
    for kind, changes in examples.items():
        lines.append(f"  {kind}:")
        lines.extend(f"    {change_line(c)}" for c in changes)
    diverging = [s for s in sessions if s.first_divergence is not None]
    if diverging:
        lines.append("first divergence:")
    for session in diverging:
        assert session.first_divergence is not None
        lines.append(f"  {change_line(session.first_divergence)}")
    for session in sessions:
        for record in session.not_replayable:
            lines.append(
                f"  {session.trace}:{record['line']}: not replayable: {record['reason']}"
            )
    return "\n".join(lines) + "\n"
