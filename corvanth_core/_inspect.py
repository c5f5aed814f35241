"""A summary of a loaded policy, read from its canonical JSON.

`summarize` gives the summary as plain data (the `inspect --json` output);
`render` writes it as text for people. Conditions and guards are shown as
the policy's source writes them (`corvanth_core.source`), never as IR:

    summary = summarize(json.loads(engine.to_json()))
    print(render(summary), end="")
"""

from typing import Any

from corvanth_core.source.expr_printer import guard_text, print_expr
from corvanth_core.source.ir_shapes import normalize_policy

EVERY_EVENT = "*"


def verdict_name(verdict: Any) -> str:
    """The name of a verdict written bare (`"Deny"`) or as an object."""
    return verdict if isinstance(verdict, str) else next(iter(verdict))


def guard_name(guard: Any) -> str:
    """The kind of a transition guard: Predicate, NegatedPredicate, ..."""
    return guard if isinstance(guard, str) else next(iter(guard))


def condition_text(condition: Any) -> str | None:
    """A rule's condition (canonical IR, or None) as source text."""
    return None if condition is None else print_expr(condition)


def summarize(policy: dict[str, Any]) -> dict[str, Any]:
    """The summary of a policy in canonical JSON form."""
    policy = normalize_policy(policy)
    rules = [
        {
            "id": rule["id"],
            "on_events": rule["on_events"],
            "severity": rule["severity"],
            "has_condition": rule["condition"] is not None,
            "condition": condition_text(rule["condition"]),
            "verdicts": [verdict_name(v["verdict"]) for v in rule["verdicts"]],
            "actions": [action["verb"] for action in rule["actions"]],
        }
        for rule in policy["rules"]
    ]
    by_event: dict[str, list[int]] = {}
    for rule in rules:
        for event_type in rule["on_events"] or [EVERY_EVENT]:
            by_event.setdefault(event_type, []).append(rule["id"])
    if EVERY_EVENT in by_event:
        by_event[EVERY_EVENT] = by_event.pop(EVERY_EVENT)
    last = {c["target"]: index for index, c in enumerate(policy["constraints"])}
    constraints = [
        {
            "index": index,
            "kind": c["kind"],
            "target": c["target"],
            "limit": c["limit"],
            "window_ms": c["window_millis"],
            "enforced": last[c["target"]] == index,
        }
        for index, c in enumerate(policy["constraints"])
    ]
    machines = [summarize_machine(machine) for machine in policy["state_machines"]]
    return {
        "name": policy["name"],
        "severity": policy["severity"],
        "scopes": policy["scopes"],
        "rules_by_event": by_event,
        "rules": rules,
        "constraints": constraints,
        "machines": machines,
    }


def summarize_machine(machine: dict[str, Any]) -> dict[str, Any]:
    """The summary of one state machine."""
    states = [
        {
            "number": number,
            "label": state["label"],
            "kind": state["kind"],
            "initial": number == machine["initial_state"],
            "accepting": number in machine["accepting_states"],
            "violating": number in machine["violating_states"],
        }
        for number, state in enumerate(machine["states"])
    ]
    return {
        "id": machine["id"],
        "name": machine["name"],
        "invariant": machine["invariant_name"],
        "kind": machine["kind"],
        "deadline_ms": machine["deadline_millis"],
        "states": states,
        "transitions": [
            {
                "from": t["from"],
                "to": t["to"],
                "guard": guard_name(t["guard"]),
                "source": guard_text(t["guard"]),
            }
            for t in machine["transitions"]
        ],
    }


def state_text(states: list[dict[str, Any]], number: int) -> str:
    """A state number with its label, or a mark that it names no state."""
    if number < len(states):
        return f"{number} {states[number]['label']}"
    return f"{number} (no such state)"


def plural(count: int, noun: str) -> str:
    """`count` and `noun`, with an s unless the count is one."""
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def render(summary: dict[str, Any]) -> str:
    """The summary as text, one item per line."""
    scopes = ", ".join(summary["scopes"]) or "none"
    lines = [
        f"policy {summary['name']} (severity {summary['severity']}, scopes {scopes})",
        f"{plural(len(summary['rules']), 'rule')} by event type:",
    ]
    rules = {rule["id"]: rule for rule in summary["rules"]}
    for event_type, ids in summary["rules_by_event"].items():
        label = "(every event type)" if event_type == EVERY_EVENT else event_type
        for position, rule_id in enumerate(ids):
            rule = rules[rule_id]
            head = label if position == 0 else ""
            verdicts = ", ".join(rule["verdicts"]) or "none"
            actions = ", ".join(rule["actions"]) or "none"
            condition = "" if rule["has_condition"] else ", no condition"
            severity = rule["severity"] or "no severity"
            lines.append(
                f"  {head:<18} rule {rule_id} ({severity}{condition}): "
                f"verdicts {verdicts}; actions {actions}"
            )
            if rule["condition"] is not None:
                lines.append(f"{'':<23}when {rule['condition']}")
    lines.append(f"{plural(len(summary['constraints']), 'constraint')}:")
    for c in summary["constraints"]:
        shadowed = "" if c["enforced"] else "  shadowed by a later one, not enforced"
        lines.append(
            f"  {c['target']:<18} {c['kind']} {c['limit']} per {c['window_ms']} ms"
            f"{shadowed}"
        )
    lines.append(f"{plural(len(summary['machines']), 'machine')}:")
    for m in summary["machines"]:
        deadline = "none" if m["deadline_ms"] is None else f"{m['deadline_ms']} ms"
        lines.append(
            f"  {m['id']} {m['name']}: {m['kind']} {m['invariant']}, "
            f"deadline {deadline}"
        )
        for state in m["states"]:
            marks = [state["kind"]] + [
                mark for mark in ("initial", "accepting", "violating") if state[mark]
            ]
            lines.append(
                f"    state {state['number']} {state['label']} ({', '.join(marks)})"
            )
        for t in m["transitions"]:
            lines.append(
                f"    {state_text(m['states'], t['from'])} -> "
                f"{state_text(m['states'], t['to'])}: {t['source']}"
            )
    return "\n".join(lines) + "\n"
