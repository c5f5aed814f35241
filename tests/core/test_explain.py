"""explain(): the result evaluate() would give, plus a trace, with nothing in
the engine changed."""

import json

import pytest
from _corvanth_core import PolicyEngine
from helpers import engine_for, outcome
from hypothesis import HealthCheck, assume, given, settings
from policy_strategies import JSON_DEPTH_LIMIT, events, json_depth, policies
from snapshot_cases import LATER, SESSION, STATEFUL
from test_snapshot import stateful_engine

from corvanth_core.ir import (
    RESULT_KEYS,
    action,
    binary,
    constraint,
    field,
    lit_int,
    lit_str,
    machine,
    policy,
    rule,
    state,
    transition,
    verdict,
)

pytestmark = pytest.mark.filterwarnings("ignore:Generating overly large repr")

TRACE_KEYS = ["rate_limit", "rules", "machines"]


def without_trace(result):
    result = dict(result)
    del result["trace"]
    return outcome(result)


def test_same_result_as_evaluate_and_nothing_changes():
    engine = engine_for(STATEFUL)
    engine.reset_at(500)
    twin = engine_for(STATEFUL)
    twin.reset_at(500)
    for stamp, event_type, fields in SESSION + LATER:
        before = (engine.snapshot(), engine.status(), engine.event_count)
        explained = engine.explain(event_type, fields, stamp)
        assert tuple(explained) == (*RESULT_KEYS, "trace")
        assert list(explained["trace"]) == TRACE_KEYS
        assert (engine.snapshot(), engine.status(), engine.event_count) == before
        assert without_trace(explained) == outcome(
            twin.evaluate_at(stamp, event_type, fields)
        )
        engine.evaluate_at(stamp, event_type, fields)
        assert engine.snapshot() == twin.snapshot()


def check_trace_tells_the_result(explained):
    trace = explained["trace"]
    matched = [r["id"] for r in trace["rules"] if r["matched"]]
    assert matched == explained["triggered_rules"]
    exceeded = trace["rate_limit"] is not None and trace["rate_limit"]["exceeded"]
    assert exceeded == bool(explained["constraint_violations"])
    for held in trace["machines"]:
        allowing = [g for g in held["guards"] if g["allows"]]
        assert len(allowing) <= 1
        if held["taken"] is None:
            assert (held["state_after"], allowing) == (held["state"], [])
        elif allowing:
            assert allowing[0]["transition"] == held["taken"]
            assert held["state_after"] == allowing[0]["to"]


@settings(
    max_examples=60,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
@given(doc=policies, evs=events)
def test_generated_policies_explain_like_they_evaluate(doc, evs):
    assume(json_depth(doc) < JSON_DEPTH_LIMIT)
    text = json.dumps(doc)
    engine, twin = PolicyEngine.from_json(text), PolicyEngine.from_json(text)
    for engine_ in (engine, twin):
        engine_.reset_at(0)
    states_after = None
    for i, (event_type, fields, context, config) in enumerate(evs):
        for target in (engine, twin):
            for key, value in context.items():
                target.set_context(key, value)
            for key, value in config.items():
                target.set_config(key, value)
        before = engine.snapshot()
        explained = engine.explain(event_type, fields, 500 * i)
        assert engine.snapshot() == before
        # repr: NaN values make equal results compare unequal.
        assert repr(without_trace(explained)) == repr(
            outcome(twin.evaluate_at(500 * i, event_type, fields))
        )
        assert len(explained["trace"]["rules"]) == len(doc["rules"])
        machines = explained["trace"]["machines"]
        assert len(machines) == len(doc["state_machines"])
        check_trace_tells_the_result(explained)
        # Each machine's state after the event is where the next one finds it.
        if states_after is not None:
            assert [m["state"] for m in machines] == states_after
        states_after = [m["state_after"] for m in machines]
        engine.evaluate_at(500 * i, event_type, fields)


def rule_traces(rules, event_type="t", fields=None, constraints=()):
    engine = engine_for(policy(rules=rules, constraints=constraints))
    return engine.explain(event_type, fields, 0)["trace"]


def test_rule_trace_in_full():
    trace = rule_traces(
        [
            rule(1, ["other"], verdicts=[verdict("Deny")]),
            rule(2, condition=field("x")),
            rule(
                3,
                condition=binary("Gt", field("x"), lit_int(1)),
                verdicts=[
                    verdict("Audit", lit_str("look")),
                    verdict("Redact", lit_int(5)),
                    verdict("Deny"),
                    verdict("Allow", lit_str("fine")),
                ],
                actions=[action("Tag", v=field("x"))],
            ),
        ],
        fields={"x": 0},
    )
    assert trace["rate_limit"] is None
    assert trace["machines"] == []
    assert trace["rules"] == [
        {
            "index": 0,
            "id": 1,
            "applies": False,
            "has_condition": False,
            "condition": None,
            "matched": False,
            "verdicts": [],
            "actions": [],
        },
        {
            "index": 1,
            "id": 2,
            "applies": True,
            "has_condition": True,
            "condition": 0,
            "matched": False,
            "verdicts": [],
            "actions": [],
        },
        {
            "index": 2,
            "id": 3,
            "applies": True,
            "has_condition": True,
            "condition": False,
            "matched": False,
            "verdicts": [],
            "actions": [],
        },
    ]


def test_verdict_candidates_taken_and_dropped():
    trace = rule_traces(
        [
            rule(
                3,
                condition=field("x"),
                verdicts=[
                    verdict("Audit", lit_str("look")),
                    verdict("Redact", lit_int(5)),
                    verdict("Deny"),
                    verdict("Allow", lit_str("fine")),
                ],
                actions=[action("Tag", v=field("x")), action("Log")],
            )
        ],
        fields={"x": "yes"},
    )
    (only,) = trace["rules"]
    assert only["condition"] == "yes" and only["matched"] is True
    assert only["verdicts"] == [
        {"verdict": "audit", "message": "look", "before": "allow", "taken": True},
        # A message that is not a String gives the empty text.
        {"verdict": "redact", "message": "", "before": "audit", "taken": False},
        {"verdict": "deny", "message": None, "before": "audit", "taken": True},
        {"verdict": "allow", "message": "fine", "before": "deny", "taken": False},
    ]
    assert only["actions"] == [
        {"verb": "Tag", "args": {"v": "yes"}},
        {"verb": "Log", "args": {}},
    ]


def test_an_exceeded_limit_starts_the_rules_at_deny():
    engine = engine_for(
        policy(
            rules=[rule(1, verdicts=[verdict("Audit")])],
            constraints=[constraint("t", 1, 100, kind="Quota")],
        )
    )
    engine.evaluate_at(0, "t")
    trace = engine.explain("t", None, 100)["trace"]
    assert trace["rate_limit"] == {
        "target": "t",
        "kind": "Quota",
        "count": 2,
        "limit": 1,
        "window_ms": 100,
        "exceeded": True,
    }
    assert trace["rules"][0]["verdicts"] == [
        {"verdict": "audit", "message": None, "before": "deny", "taken": False}
    ]
    # One millisecond later the first entry has left the window.
    assert engine.explain("t", None, 101)["trace"]["rate_limit"]["count"] == 1
    assert engine.explain("u", None, 101)["trace"]["rate_limit"] is None


MACHINE = machine(
    name="m",
    states=[state("a"), state("b"), state("c", "Violated")],
    transitions=[
        transition(0, 1, ("Predicate", field("go"))),
        transition(0, 2, ("NegatedPredicate", field("safe"))),
        transition(0, 0, "Always"),
        transition(1, 2, "Timeout"),
        transition(1, 0, ("Predicate", field("back"))),
    ],
    violating=[2],
    deadline_millis=1000,
)


def machine_trace(fields, stamp=0, state_number=None):
    engine = engine_for(policy(state_machines=[MACHINE]))
    engine.reset_at(0)
    if state_number is not None:
        engine.evaluate_at(0, "t", {"go": True})
    (trace,) = engine.explain("t", fields, stamp)["trace"]["machines"]
    return trace


def guard(transition_index, to, value, allows):
    return {"transition": transition_index, "to": to, "value": value, "allows": allows}


@pytest.mark.parametrize(
    "fields, guards, taken, after",
    [
        ({"go": 1}, [guard(0, 1, 1, True)], 0, 1),
        (
            {"go": 0, "safe": "no"},
            [guard(0, 1, 0, False), guard(1, 2, "no", False)],
            2,
            0,
        ),
        ({"safe": None}, [guard(0, 1, None, False), guard(1, 2, None, True)], 1, 2),
    ],
)
def test_guard_values_tried_and_the_transition_taken(fields, guards, taken, after):
    assert machine_trace(fields) == {
        "proof": "m",
        "state": 0,
        "active": True,
        "deadline_reached": False,
        "guards": guards,
        "taken": taken,
        "state_after": after,
    }


def test_a_reached_deadline_takes_the_timeout_without_guards():
    trace = machine_trace({"back": True}, stamp=1000, state_number=1)
    assert trace["state"] == 1
    assert trace["deadline_reached"] is True
    assert trace["guards"] == []
    assert (trace["taken"], trace["state_after"]) == (3, 2)
    early = machine_trace({"back": True}, stamp=999, state_number=1)
    assert early["deadline_reached"] is False
    assert early["guards"] == [guard(4, 0, True, True)]
    assert (early["taken"], early["state_after"]) == (4, 0)


def test_a_machine_at_rest_tries_nothing():
    engine = engine_for(policy(state_machines=[MACHINE]))
    engine.evaluate_at(0, "t", {"safe": False})
    (trace,) = engine.explain("t", {"go": True}, 5)["trace"]["machines"]
    assert trace == {
        "proof": "m",
        "state": 2,
        "active": False,
        "deadline_reached": False,
        "guards": [],
        "taken": None,
        "state_after": 2,
    }


def test_without_a_timestamp_the_wall_clock_is_used():
    engine = engine_for(policy(constraints=[constraint("t", 5, 60000)]))
    engine.evaluate_at(0, "t")
    # Now is far past the window of the entry at 0.
    assert engine.explain("t")["trace"]["rate_limit"]["count"] == 1
    assert engine.explain("t", timestamp_ms=None)["trace"]["rate_limit"]["count"] == 1
    assert engine.explain("t", timestamp_ms=10)["trace"]["rate_limit"]["count"] == 2
    assert engine.event_count == 1


def test_trace_objects_are_fresh():
    engine = stateful_engine()
    first = engine.explain("t", {"t": 1}, 2000)
    first["trace"]["rules"][1]["actions"][0]["args"]["c"]["user"]["name"] = "x"
    first["actions"][0]["args"]["p"]["limit"] = 0
    second = engine.explain("t", {"t": 1}, 2000)
    assert second["actions"][0]["args"]["p"] == {"limit": 10}
    assert (
        second["trace"]["rules"][1]["actions"][0]["args"]["c"]["user"]["name"] == "ana"
    )


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda e: e.explain(),
            TypeError,
            "PolicyEngine.explain() missing required argument 'event_type' (pos 1)",
        ),
        (
            lambda e: e.explain(1),
            TypeError,
            "PolicyEngine.explain() argument 'event_type' must be str, not int",
        ),
        (
            lambda e: e.explain("t", []),
            TypeError,
            "PolicyEngine.explain() argument 'fields' must be dict or None, not list",
        ),
        (
            lambda e: e.explain("t", None, True),
            TypeError,
            (
                "PolicyEngine.explain() argument 'timestamp_ms' must be int or None, "
                "not bool"
            ),
        ),
        (
            lambda e: e.explain("t", None, 1.5),
            TypeError,
            (
                "PolicyEngine.explain() argument 'timestamp_ms' must be int or None, "
                "not float"
            ),
        ),
        (
            lambda e: e.explain("t", None, -1),
            OverflowError,
            (
                "PolicyEngine.explain() argument 'timestamp_ms' must be between 0 and "
                "18446744073709551615"
            ),
        ),
        (
            lambda e: e.explain("t", {1: 2}),
            TypeError,
            "keys must be str, not int",
        ),
        (
            lambda e: e.explain("t", None, 0, 1),
            TypeError,
            "PolicyEngine.explain() takes at most 3 arguments (4 given)",
        ),
    ],
)
def test_argument_errors(call, error, message):
    engine = stateful_engine()
    before = engine.snapshot()
    with pytest.raises(error) as raised:
        call(engine)
    assert str(raised.value) == message
    assert engine.snapshot() == before


def test_docstring_and_signature():
    assert PolicyEngine.explain.__text_signature__ == (
        "($self, event_type, fields=None, timestamp_ms=None)"
    )
    assert PolicyEngine.explain.__doc__.startswith(
        "Explain an event without changing the engine."
    )
