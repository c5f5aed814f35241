"""Temporal proofs: stepping, deadlines, violations and their verdicts."""

import time

import pytest
from helpers import engine_for, outcome

from corvanth_core.ir import (
    binary,
    field,
    lit_bool,
    lit_str,
    machine,
    method,
    policy,
    ref,
    rule,
    state,
    transition,
    verdict,
)

HOUR = 3600000


def by_event(invariant="inv", proof="m", event_type="t", kind="Never"):
    return {
        "proof": proof,
        "invariant": invariant,
        "kind": kind,
        "message": f"Invariant `{invariant}` in proof `{proof}` violated by event `{event_type}`",
    }


def at_rest(invariant="inv", proof="m", kind="Never"):
    return {
        "proof": proof,
        "invariant": invariant,
        "kind": kind,
        "message": f"Invariant `{invariant}` in proof `{proof}` is violated",
    }


def two_states(guard, second="Violated", **kwargs):
    """start --guard--> end, with `end` violating."""
    return machine(
        states=[state("start"), state("end", second)],
        transitions=[transition(0, 1, guard)],
        violating=[1],
        **kwargs,
    )


def machines_line(engine):
    return engine.status().splitlines()[2]


def run(machines, events, rules=()):
    """Evaluates (event_type, fields) pairs; returns the outcomes."""
    engine = engine_for(policy(rules=rules, state_machines=machines))
    return [outcome(engine.evaluate(t, f)) for t, f in events]


def test_new_violation_result_in_full():
    [quiet, hit] = run(
        [two_states(("Predicate", field("bad")))], [("t", None), ("t", {"bad": 1})]
    )
    assert quiet == {
        "verdict": "allow",
        "reason": None,
        "triggered_rules": [],
        "actions": [],
        "violations": [],
        "constraint_violations": [],
    }
    assert hit == {
        "verdict": "deny",
        "reason": "Invariant violation: inv (m)",
        "triggered_rules": [],
        "actions": [],
        "violations": [by_event()],
        "constraint_violations": [],
    }


@pytest.mark.parametrize("kind", ["Always", "Eventually", "Never", "Until", "Next"])
def test_temporal_kind_is_copied_into_violations(kind):
    m = two_states("Always", name="proof_a", invariant="no_leak", kind=kind)
    [result] = run([m], [("data_access", None)])
    assert result["violations"] == [
        by_event("no_leak", "proof_a", "data_access", kind=kind)
    ]
    assert result["reason"] == "Invariant violation: no_leak (proof_a)"


@pytest.mark.parametrize(
    "guard, fields, moved",
    [
        ("Always", None, True),
        (("Predicate", lit_bool(True)), None, True),
        (("Predicate", lit_bool(False)), None, False),
        (("Predicate", field("x")), None, False),
        (("Predicate", field("x")), {"x": 0}, False),
        (("Predicate", field("x")), {"x": "yes"}, True),
        (("NegatedPredicate", field("x")), None, True),
        (("NegatedPredicate", field("x")), {"x": ""}, True),
        (("NegatedPredicate", field("x")), {"x": 1}, False),
        (("NegatedPredicate", lit_bool(True)), None, False),
        (("Predicate", field("x")), {"x": [0]}, True),
        (("Predicate", field("x")), {"x": {}}, False),
        (("NegatedPredicate", field("x")), {"x": {}}, True),
        (("NegatedPredicate", field("x")), {"x": {"k": 0}}, False),
        (("Predicate", field("x", "y")), {"x": {"y": 1}}, True),
        (("NegatedPredicate", field("x", "y")), {"x": {"y": 1}}, False),
        # The whole event always holds its type and timestamp.
        (("Predicate", field()), None, True),
        # Guards are evaluated with no local bound.
        (("Predicate", ref(0)), None, False),
        (("NegatedPredicate", ref(0)), None, True),
        # Without a deadline a Timeout transition is never taken.
        ("Timeout", None, False),
    ],
)
def test_guards(guard, fields, moved):
    [result] = run([two_states(guard)], [("t", fields)])
    assert result["violations"] == ([by_event()] if moved else [])
    assert result["verdict"] == ("deny" if moved else "allow")


EVENT_TYPE = method(field(), "type")


def type_is(name):
    return binary("Eq", EVENT_TYPE, lit_str(name))


# A machine whose guards all name an event type is passed over for events of
# other types; these show it moves exactly when its guard holds.
@pytest.mark.parametrize(
    "guard, event_type, fields, moved",
    [
        (("Predicate", type_is("t")), "t", None, True),
        (("Predicate", type_is("u")), "t", None, False),
        (("Predicate", binary("Eq", lit_str("t"), EVENT_TYPE)), "t", None, True),
        (("Predicate", binary("And", type_is("u"), lit_bool(True))), "u", None, True),
        (("Predicate", binary("And", type_is("u"), lit_bool(True))), "t", None, False),
        (("Predicate", binary("And", field("x"), type_is("t"))), "t", {"x": 1}, True),
        (("Predicate", binary("And", field("x"), type_is("t"))), "t", None, False),
        (("Predicate", binary("Or", type_is("u"), field("x"))), "t", {"x": 1}, True),
        # A field named "type" is not the event's type.
        (("Predicate", type_is("u")), "t", {"type": "u"}, False),
        (("NegatedPredicate", type_is("u")), "t", None, True),
        (("Predicate", binary("Neq", EVENT_TYPE, lit_str("u"))), "t", None, True),
    ],
)
def test_guards_on_the_event_type(guard, event_type, fields, moved):
    [result] = run([two_states(guard)], [(event_type, fields)])
    assert result["violations"] == ([by_event(event_type=event_type)] if moved else [])


def test_a_machine_of_typed_guards_follows_its_state_through_event_types():
    steps = machine(
        states=[state("clean"), state("read"), state("sent", "Violated")],
        transitions=[
            transition(0, 1, ("Predicate", type_is("a"))),
            transition(1, 2, ("Predicate", type_is("b"))),
        ],
        violating=[2],
    )
    events = [("b", None), ("a", None), ("a", None), ("b", None), ("c", None)]
    results = run([steps], events)
    assert [r["violations"] for r in results] == [
        [],
        [],
        [],
        [by_event(event_type="b")],
        [at_rest()],
    ]


def test_violated_initial_state_reports_on_every_event_without_verdict():
    m = machine(
        states=[state("bad", "Violated"), state("other")],
        transitions=[transition(0, 1, "Always")],
        violating=[0],
    )
    rules = [rule(1, on_events=["audited"], verdicts=[verdict("Audit", lit_str("a"))])]
    results = run([m], [("t", None), ("audited", None), ("t", None)], rules=rules)
    assert [r["violations"] for r in results] == [[at_rest()]] * 3
    assert [(r["verdict"], r["reason"]) for r in results] == [
        ("allow", None),
        ("audit", "a"),
        ("allow", None),
    ]


def test_machine_at_rest_after_violation_keeps_reporting():
    results = run(
        [two_states(("Predicate", field("bad")))],
        [("t", None), ("t", {"bad": True}), ("t", None), ("u", {"bad": True})],
    )
    assert [r["violations"] for r in results] == [
        [],
        [by_event()],
        [at_rest()],
        [at_rest()],
    ]
    assert [r["verdict"] for r in results] == ["allow", "deny", "allow", "allow"]
    assert [r["reason"] for r in results] == [
        None,
        "Invariant violation: inv (m)",
        None,
        None,
    ]


def test_violating_active_state_reports_on_each_transition():
    m = machine(
        states=[state("start"), state("hot")],
        transitions=[
            transition(0, 1, ("Predicate", field("go"))),
            transition(1, 1, ("Predicate", field("go"))),
        ],
        violating=[1],
    )
    results = run(
        [m], [("t", {"go": 1}), ("t", None), ("t", {"go": 1}), ("t", {"go": 1})]
    )
    assert [r["violations"] for r in results] == [
        [by_event()],
        [],
        [by_event()],
        [by_event()],
    ]
    assert [r["verdict"] for r in results] == ["deny", "allow", "deny", "deny"]


def test_satisfied_state_in_violating_list_reports_at_rest():
    m = machine(
        states=[state("start"), state("odd", "Satisfied")],
        transitions=[transition(0, 1, "Always")],
        accepting=[1],
        violating=[1],
    )
    results = run([m], [("t", None), ("t", None)])
    assert [r["violations"] for r in results] == [[by_event()], [at_rest()]]
    assert [r["verdict"] for r in results] == ["deny", "allow"]


def test_non_violating_violated_kind_stays_silent():
    m = machine(
        states=[state("start"), state("end", "Violated")],
        transitions=[transition(0, 1, "Always")],
        violating=[],
    )
    results = run([m], [("t", None), ("t", None)])
    assert [r["violations"] for r in results] == [[], []]
    assert [r["verdict"] for r in results] == ["allow", "allow"]


def test_first_allowed_transition_wins():
    m = machine(
        states=[state("start"), state("a", "Satisfied"), state("b", "Violated")],
        transitions=[
            transition(0, 2, ("Predicate", field("missing"))),
            transition(0, 1, "Always"),
            transition(0, 2, "Always"),
        ],
        accepting=[1],
        violating=[2],
    )
    engine = engine_for(policy(state_machines=[m]))
    assert outcome(engine.evaluate("t"))["violations"] == []
    assert machines_line(engine) == (
        "State machines: 1 total (0 active, 1 satisfied, 0 violated)"
    )


def test_only_transitions_from_the_current_state_are_considered():
    m = machine(
        states=[state("start"), state("mid"), state("bad", "Violated")],
        transitions=[
            transition(1, 2, "Always"),
            transition(0, 1, ("Predicate", field("step"))),
        ],
        violating=[2],
    )
    results = run([m], [("t", None), ("t", {"step": 1}), ("t", None)])
    assert [r["violations"] for r in results] == [[], [], [by_event()]]


def test_every_machine_sees_every_event_type():
    m = two_states(("Predicate", field("bad")))
    results = run([m], [("anything", {"bad": 1})])
    assert results[0]["violations"] == [by_event(event_type="anything")]


def test_two_machines_violating_on_one_event():
    first = two_states("Always", name="first", invariant="inv_a")
    second = two_states("Always", name="second", invariant="inv_b", kind="Always")
    [result] = run([first, second], [("t", None)])
    assert result["violations"] == [
        by_event("inv_a", "first"),
        by_event("inv_b", "second", kind="Always"),
    ]
    assert result["verdict"] == "deny"
    assert result["reason"] == "Invariant violation: inv_a (first)"


def test_rule_deny_reason_survives_a_violation():
    rules = [rule(1, verdicts=[verdict("Deny", lit_str("rule says no"))])]
    [result] = run([two_states("Always")], [("t", None)], rules=rules)
    assert result["verdict"] == "deny"
    assert result["reason"] == "rule says no"
    assert result["violations"] == [by_event()]


def test_rule_audit_then_violation_becomes_deny():
    rules = [rule(1, verdicts=[verdict("Audit", lit_str("look"))])]
    [result] = run([two_states("Always")], [("t", None)], rules=rules)
    assert result["verdict"] == "deny"
    assert result["reason"] == "Invariant violation: inv (m)"
    assert result["triggered_rules"] == [1]


def test_rule_deny_without_message_keeps_no_reason():
    rules = [rule(1, verdicts=[verdict("Deny")])]
    [result] = run([two_states("Always")], [("t", None)], rules=rules)
    assert (result["verdict"], result["reason"]) == ("deny", None)
    assert result["violations"] == [by_event()]


def test_zero_deadline_takes_timeout_before_any_guard():
    m = machine(
        states=[state("start"), state("ok", "Satisfied"), state("late", "Violated")],
        transitions=[
            transition(0, 1, "Always"),
            transition(0, 2, "Timeout"),
        ],
        accepting=[1],
        violating=[2],
        deadline_millis=0,
    )
    [result] = run([m], [("t", None)])
    assert result["violations"] == [by_event()]


def test_first_timeout_transition_is_taken():
    m = machine(
        states=[state("start"), state("a", "Satisfied"), state("b", "Violated")],
        transitions=[
            transition(1, 2, "Timeout"),
            transition(0, 1, "Timeout"),
            transition(0, 2, "Timeout"),
        ],
        accepting=[1],
        violating=[2],
        deadline_millis=0,
    )
    engine = engine_for(policy(state_machines=[m]))
    assert outcome(engine.evaluate("t"))["violations"] == []
    assert machines_line(engine) == (
        "State machines: 1 total (0 active, 1 satisfied, 0 violated)"
    )


def test_elapsed_deadline_without_timeout_runs_the_ordinary_search():
    m = two_states(("Predicate", field("bad")), deadline_millis=0)
    results = run([m], [("t", None), ("t", {"bad": 1})])
    assert [r["violations"] for r in results] == [[], [by_event()]]


def test_deadline_not_yet_elapsed_uses_the_guards():
    m = machine(
        states=[state("start"), state("ok", "Satisfied"), state("late", "Violated")],
        transitions=[
            transition(0, 2, "Timeout"),
            transition(0, 1, ("Predicate", field("done"))),
        ],
        accepting=[1],
        violating=[2],
        deadline_millis=HOUR,
    )
    results = run([m], [("t", None), ("t", {"done": 1}), ("t", None)])
    assert [r["violations"] for r in results] == [[], [], []]


def test_short_deadline_fires_on_the_next_event():
    m = machine(
        states=[state("start"), state("ok", "Satisfied"), state("late", "Violated")],
        transitions=[
            transition(0, 2, "Timeout"),
            transition(0, 1, ("Predicate", field("done"))),
        ],
        accepting=[1],
        violating=[2],
        deadline_millis=50,
    )
    engine = engine_for(policy(state_machines=[m]))
    time.sleep(0.3)
    result = outcome(engine.evaluate("t", {"done": 1}))
    assert result["violations"] == [by_event()]
    assert result["reason"] == "Invariant violation: inv (m)"


def test_deadline_counts_from_start_not_from_state_entry():
    m = machine(
        states=[state("start"), state("waiting"), state("late", "Violated")],
        transitions=[
            transition(0, 1, "Always"),
            transition(1, 2, "Timeout"),
        ],
        violating=[2],
        deadline_millis=50,
    )
    engine = engine_for(policy(state_machines=[m]))
    time.sleep(0.3)
    # The deadline has passed, but the start state has no Timeout transition.
    assert outcome(engine.evaluate("t"))["violations"] == []
    # The waiting state was entered just now, yet its timeout fires at once.
    assert outcome(engine.evaluate("t"))["violations"] == [by_event()]


def test_reset_restarts_the_deadline():
    m = machine(
        states=[state("start"), state("late", "Violated")],
        transitions=[transition(0, 1, "Timeout")],
        violating=[1],
        deadline_millis=1000,
    )
    reset_engine = engine_for(policy(state_machines=[m]))
    kept_engine = engine_for(policy(state_machines=[m]))
    time.sleep(1.2)
    reset_engine.reset()
    assert outcome(reset_engine.evaluate("t"))["violations"] == []
    assert outcome(kept_engine.evaluate("t"))["violations"] == [by_event()]


def test_reset_returns_machines_to_their_initial_state():
    engine = engine_for(policy(state_machines=[two_states("Always")]))
    assert outcome(engine.evaluate("t"))["violations"] == [by_event()]
    assert outcome(engine.evaluate("t"))["violations"] == [at_rest()]
    engine.reset()
    assert outcome(engine.evaluate("t"))["violations"] == [by_event()]


@pytest.mark.parametrize(
    "m, line",
    [
        # A satisfied initial state is at rest: it never steps or reports.
        (
            machine(
                states=[state("done", "Satisfied"), state("bad", "Violated")],
                transitions=[transition(0, 1, "Always")],
                accepting=[0],
                violating=[1],
            ),
            "State machines: 1 total (0 active, 1 satisfied, 0 violated)",
        ),
        # No states at all: state 0 lies outside the list and is never read.
        (
            machine(states=[], transitions=[transition(0, 0, "Always")], violating=[0]),
            "State machines: 1 total (0 active, 0 satisfied, 1 violated)",
        ),
        # A transition out of range that is not violating leaves it silent.
        (
            machine(states=[state("start")], transitions=[transition(0, 3, "Always")]),
            "State machines: 1 total (0 active, 0 satisfied, 0 violated)",
        ),
    ],
)
def test_machine_stays_silent(m, line):
    engine = engine_for(policy(state_machines=[m]))
    for _ in range(3):
        assert outcome(engine.evaluate("t"))["violations"] == []
    assert machines_line(engine) == line


@pytest.mark.parametrize(
    "initial, violating, accepting, line",
    [
        (5, [], [], "State machines: 1 total (0 active, 0 satisfied, 0 violated)"),
        (5, [5], [], "State machines: 1 total (0 active, 0 satisfied, 1 violated)"),
        (5, [], [5], "State machines: 1 total (0 active, 1 satisfied, 0 violated)"),
        (
            4294967295,
            [4294967295],
            [4294967295],
            "State machines: 1 total (0 active, 1 satisfied, 1 violated)",
        ),
    ],
)
def test_initial_state_out_of_range_is_skipped(initial, violating, accepting, line):
    m = machine(
        states=[state("only")],
        transitions=[transition(initial, 0, "Always"), transition(0, 0, "Always")],
        initial=initial,
        violating=violating,
        accepting=accepting,
    )
    engine = engine_for(policy(state_machines=[m]))
    for _ in range(2):
        result = outcome(engine.evaluate("t"))
        assert result["violations"] == []
        assert result["verdict"] == "allow"
    assert machines_line(engine) == line


def test_transition_out_of_range_is_taken_then_skipped():
    m = machine(
        states=[state("start")],
        transitions=[transition(0, 7, "Always")],
        violating=[7],
    )
    engine = engine_for(policy(state_machines=[m]))
    first = outcome(engine.evaluate("t"))
    assert first["violations"] == [by_event()]
    assert first["verdict"] == "deny"
    for _ in range(2):
        assert outcome(engine.evaluate("t"))["violations"] == []
    assert machines_line(engine) == (
        "State machines: 1 total (0 active, 0 satisfied, 1 violated)"
    )
    engine.reset()
    assert machines_line(engine) == (
        "State machines: 1 total (1 active, 0 satisfied, 0 violated)"
    )


def test_guards_read_context_and_config():
    guard = binary("And", ref("Context", "armed"), ref("Policy", "strict"))
    m = two_states(("Predicate", guard))
    engine = engine_for(policy(state_machines=[m]))
    engine.set_context("armed", True)
    assert outcome(engine.evaluate("t"))["violations"] == []
    engine.set_config("strict", True)
    assert outcome(engine.evaluate("t"))["violations"] == [by_event()]
