"""explain() is the evaluation with its trace collected: its result is what
evaluate_at gives on a twin engine, it changes nothing, and its trace tells
the same story as its result."""

import json

import pytest
from _corvanth_core import PolicyEngine
from helpers import outcome
from hypothesis import HealthCheck, assume, given, settings
from policy_strategies import JSON_DEPTH_LIMIT, events, json_depth, policies

pytestmark = pytest.mark.filterwarnings("ignore:Generating overly large repr")


def check_trace_tells_the_result(explained):
    trace = explained["trace"]
    matched = [r["id"] for r in trace["rules"] if r["matched"]]
    assert matched == explained["triggered_rules"]
    exceeded = trace["rate_limit"] is not None and trace["rate_limit"]["exceeded"]
    assert exceeded == bool(explained["constraint_violations"])
    for machine in trace["machines"]:
        allowing = [g for g in machine["guards"] if g["allows"]]
        assert len(allowing) <= 1
        if machine["taken"] is None:
            assert (machine["state_after"], allowing) == (machine["state"], [])
        elif allowing:
            assert allowing[0]["transition"] == machine["taken"]
            assert machine["state_after"] == allowing[0]["to"]


@settings(
    max_examples=60,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
@given(doc=policies, evs=events)
def test_explain_is_the_evaluation_with_its_trace(doc, evs):
    assume(json_depth(doc) < JSON_DEPTH_LIMIT)
    text = json.dumps(doc)
    engine, twin = PolicyEngine.from_json(text), PolicyEngine.from_json(text)
    engine.reset_at(0)
    twin.reset_at(0)
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
        result = dict(explained)
        machines = result.pop("trace")["machines"]
        # repr: NaN values make equal results compare unequal.
        assert repr(outcome(result)) == repr(
            outcome(twin.evaluate_at(500 * i, event_type, fields))
        )
        check_trace_tells_the_result(explained)
        if states_after is not None:
            assert [m["state"] for m in machines] == states_after
        states_after = [m["state_after"] for m in machines]
        engine.evaluate_at(500 * i, event_type, fields)
