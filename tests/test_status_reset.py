"""The status summary, reset, and the context and configuration maps."""

import pytest
from helpers import assert_same, engine_for, eval_expr, outcome

from corvanth_core.ir import (
    action,
    constraint,
    field,
    machine,
    policy,
    ref,
    rule,
    state,
    transition,
    verdict,
)

HOUR = 3600000


def status_text(name, severity, rules, machines, constraints, events):
    total, active, satisfied, violated = machines
    return (
        f"Policy: {name} ({severity})\n"
        f"Rules: {rules}\n"
        f"State machines: {total} total ({active} active, {satisfied} satisfied, "
        f"{violated} violated)\n"
        f"Constraints: {constraints}\n"
        f"Events processed: {events}\n"
    )


def test_fresh_empty_policy_status():
    engine = engine_for(policy())
    text = engine.status()
    assert type(text) is str
    assert text == (
        "Policy: p (Low)\n"
        "Rules: 0\n"
        "State machines: 0 total (0 active, 0 satisfied, 0 violated)\n"
        "Constraints: 0\n"
        "Events processed: 0\n"
    )


@pytest.mark.parametrize("severity", ["Critical", "High", "Medium", "Low", "Info"])
def test_severity_name(severity):
    engine = engine_for(policy(severity=severity))
    assert engine.status().splitlines()[0] == f"Policy: p ({severity})"


@pytest.mark.parametrize(
    "name",
    ["guard", "", "with spaces (and parens)", "ünïcødé ✓", "a" * 100, "two\nlines"],
)
def test_policy_name_is_shown_unchanged(name):
    engine = engine_for(policy(name=name))
    assert engine.status().startswith(f"Policy: {name} (Low)\nRules: 0\n")


@pytest.mark.parametrize(
    "constraints, count",
    [
        ([], 0),
        ([constraint("a", 1, 10)], 1),
        ([constraint("a", 1, 10), constraint("a", 2, 20)], 1),
        ([constraint("a", 1, 10), constraint("b", 1, 10)], 2),
        (
            [constraint("a", 1, 10), constraint("b", 1, 10), constraint("a", 3, 10)],
            2,
        ),
    ],
)
def test_constraints_line_counts_distinct_targets(constraints, count):
    engine = engine_for(policy(constraints=constraints))
    assert engine.status().splitlines()[3] == f"Constraints: {count}"


@pytest.mark.parametrize(
    "kind, accepting, violating, counts",
    [
        # counts: active, satisfied, violated; the tests are independent.
        ("Active", [], [], (1, 0, 0)),
        ("Active", [0], [0], (1, 1, 1)),
        ("Satisfied", [], [], (0, 0, 0)),
        ("Satisfied", [0], [], (0, 1, 0)),
        ("Violated", [], [0], (0, 0, 1)),
        ("Violated", [0], [], (0, 1, 0)),
        ("Violated", [1], [1], (0, 0, 0)),
    ],
)
def test_machine_counts_are_independent(kind, accepting, violating, counts):
    m = machine(
        states=[state("s", kind), state("other")],
        accepting=accepting,
        violating=violating,
    )
    engine = engine_for(policy(state_machines=[m, machine(states=[state("x")])]))
    active, satisfied, violated = counts
    assert engine.status().splitlines()[2] == (
        f"State machines: 2 total ({active + 1} active, {satisfied} satisfied, "
        f"{violated} violated)"
    )


def two_step_policy():
    proof = machine(
        states=[state("start"), state("done", "Satisfied"), state("bad", "Violated")],
        transitions=[
            transition(0, 1, ("Predicate", field("finish"))),
            transition(0, 2, ("Predicate", field("leak"))),
        ],
        accepting=[1],
        violating=[2],
    )
    watcher = machine(
        name="w",
        states=[state("start"), state("bad", "Violated")],
        transitions=[transition(0, 1, ("Predicate", field("leak")))],
        violating=[1],
    )
    return policy(
        name="guard",
        severity="High",
        rules=[rule(1), rule(2, on_events=["x"])],
        state_machines=[proof, watcher],
        constraints=[constraint("t", 100, HOUR), constraint("u", 1, HOUR)],
    )


def test_status_after_events_and_after_reset():
    engine = engine_for(two_step_policy())
    assert engine.status() == status_text("guard", "High", 2, (2, 2, 0, 0), 2, 0)
    engine.evaluate("t", {"finish": True})
    assert engine.status() == status_text("guard", "High", 2, (2, 1, 1, 0), 2, 1)
    engine.evaluate("t", {"leak": True})
    assert engine.status() == status_text("guard", "High", 2, (2, 0, 1, 1), 2, 2)
    engine.evaluate("u")
    assert engine.status() == status_text("guard", "High", 2, (2, 0, 1, 1), 2, 3)
    engine.reset()
    assert engine.status() == status_text("guard", "High", 2, (2, 2, 0, 0), 2, 0)
    assert engine.event_count == 0


def test_status_reads_only():
    engine = engine_for(two_step_policy())
    engine.evaluate("t")
    first = engine.status()
    assert engine.status() == first
    assert engine.event_count == 1


def test_reset_clears_counts_windows_and_machines():
    engine = engine_for(two_step_policy())
    engine.evaluate("t", {"leak": True})
    engine.evaluate("u")
    assert outcome(engine.evaluate("u"))["constraint_violations"] == [
        {
            "kind": "RateLimit",
            "target": "u",
            "limit": 1,
            "current": 2,
            "window_ms": HOUR,
        }
    ]
    assert engine.event_count == 3
    assert engine.reset() is None
    assert engine.event_count == 0
    result = outcome(engine.evaluate("u"))
    assert result["constraint_violations"] == []
    assert result["violations"] == []
    assert result["verdict"] == "allow"
    assert engine.event_count == 1


def test_reset_keeps_context_and_config():
    engine = engine_for(
        policy(
            rules=[
                rule(
                    1,
                    actions=[
                        action("Log", c=ref("Context", "user"), p=ref("Policy", "mode"))
                    ],
                )
            ]
        )
    )
    assert engine.set_context("user", "alice") is None
    assert engine.set_config("mode", "strict") is None
    engine.reset()
    assert outcome(engine.evaluate("t"))["actions"] == [
        {"verb": "Log", "args": {"c": "alice", "p": "strict"}}
    ]


@pytest.mark.parametrize(
    "expr, context, config, expected",
    [
        (ref("Context", "k"), {"k": 1}, None, 1),
        (ref("Policy", "k"), None, {"k": "v"}, "v"),
        # The two maps are separate.
        (ref("Context", "k"), None, {"k": 1}, None),
        (ref("Policy", "k"), {"k": 1}, None, None),
        # Keys are compared exactly.
        (ref("Context", "K"), {"k": 1}, None, None),
        (ref("Context", "k", "inner"), {"k": {"inner": [1, 2]}}, None, [1, 2]),
        (ref("Policy", "limits", "max"), None, {"limits": {"max": 2.5}}, 2.5),
    ],
)
def test_context_and_config_roots(expr, context, config, expected):
    assert_same(eval_expr(expr, context=context, config=config), expected)


@pytest.mark.parametrize("setter", ["set_context", "set_config"])
def test_setting_a_key_again_keeps_the_second_value(setter):
    root = "Context" if setter == "set_context" else "Policy"
    engine = engine_for(
        policy(rules=[rule(1, actions=[action("Log", v=ref(root, "k"))])])
    )
    getattr(engine, setter)("k", 1)
    assert_same(engine.evaluate("t")["actions"][0]["args"]["v"], 1)
    getattr(engine, setter)("k", "second")
    assert_same(engine.evaluate("t")["actions"][0]["args"]["v"], "second")


def test_context_drives_conditions_and_messages():
    engine = engine_for(
        policy(
            rules=[
                rule(
                    1,
                    condition=ref("Context", "locked"),
                    verdicts=[verdict("Deny", ref("Policy", "why"))],
                )
            ]
        )
    )
    engine.set_config("why", "maintenance")
    assert outcome(engine.evaluate("t"))["verdict"] == "allow"
    engine.set_context("locked", True)
    result = outcome(engine.evaluate("t"))
    assert (result["verdict"], result["reason"]) == ("deny", "maintenance")
    engine.set_context("locked", False)
    assert outcome(engine.evaluate("t"))["verdict"] == "allow"
