"""The engine lock: poisoning by an internal fault, and calls back into the
same engine from Python code run during argument conversion."""

import os
import threading

import pytest
from helpers import engine_for

from corvanth_core.ir import action, field, lit_str, policy, rule, verdict

FAULT_EVENT = "__corvanth_inject_fault__"
fault_build = os.environ.get("CORVANTH_FAULT_INJECTION_BUILD") == "1"
needs_fault_build = pytest.mark.skipif(
    not fault_build, reason="needs the fault-injection build"
)

POISONED = "Engine lock poisoned"

LOCKING_CALLS = [
    ("evaluate", lambda e: e.evaluate("t")),
    ("evaluate with fields", lambda e: e.evaluate("t", {"a": 1})),
    ("evaluate the fault again", lambda e: e.evaluate(FAULT_EVENT)),
    ("set_context", lambda e: e.set_context("k", 1)),
    ("set_config", lambda e: e.set_config("k", 1)),
    ("reset", lambda e: e.reset()),
    ("status", lambda e: e.status()),
    ("event_count", lambda e: e.event_count),
    ("repr", repr),
    ("str", str),
    ("evaluate_at", lambda e: e.evaluate_at(0, "t")),
    ("reset_at", lambda e: e.reset_at(0)),
    ("explain", lambda e: e.explain("t")),
    ("snapshot", lambda e: e.snapshot()),
    ("restore", lambda e: e.restore(b"")),
    ("copy", lambda e: e.__copy__()),
    ("deepcopy", lambda e: e.__deepcopy__({})),
    ("pickle", lambda e: e.__reduce__()),
]


def poisoned_engine(name="demo"):
    engine = engine_for(policy(name=name))
    engine.evaluate("t")
    with pytest.raises(RuntimeError) as raised:
        engine.evaluate(FAULT_EVENT, {"a": 1})
    assert type(raised.value) is RuntimeError
    assert str(raised.value) == "injected fault"
    return engine


@needs_fault_build
def test_injected_fault_raises_runtime_error():
    poisoned_engine()


@needs_fault_build
@pytest.mark.parametrize(
    "label, call", LOCKING_CALLS, ids=[c[0] for c in LOCKING_CALLS]
)
def test_poisoned_lock_refuses_every_locking_member(label, call):
    engine = poisoned_engine()
    for _ in range(2):  # poisoning is permanent
        with pytest.raises(RuntimeError) as raised:
            call(engine)
        assert type(raised.value) is RuntimeError
        assert str(raised.value) == POISONED


@needs_fault_build
def test_policy_name_works_after_poisoning():
    engine = poisoned_engine("still here")
    assert engine.policy_name == "still here"


@needs_fault_build
def test_poisoning_checks_arguments_first():
    engine = poisoned_engine()
    with pytest.raises(TypeError) as raised:
        engine.evaluate(1)
    assert str(raised.value) == (
        "PolicyEngine.evaluate() argument 'event_type' must be str, not int"
    )
    with pytest.raises(TypeError) as raised:
        engine.evaluate("t", {1: 1})
    assert str(raised.value) == "keys must be str, not int"


@needs_fault_build
def test_poisoning_stays_with_its_object():
    poisoned_engine()
    other = engine_for(policy(name="other"))
    assert other.evaluate("t")["verdict"] == "allow"
    assert repr(other) == "<PolicyEngine policy='other' events=1>"


@pytest.mark.skipif(fault_build, reason="the fault-injection build reacts to it")
def test_fault_event_type_is_an_ordinary_event_in_a_normal_build():
    engine = engine_for(policy(rules=[rule(on_events=[FAULT_EVENT])]))
    assert engine.evaluate(FAULT_EVENT)["triggered_rules"] == [1]
    assert engine.event_count == 1


# --- re-entrancy -------------------------------------------------------------


class CallsBack:
    """A field value whose str() calls into an engine while it is converted."""

    def __init__(self, call):
        self.call = call
        self.seen = []

    def __str__(self):
        self.seen.append(self.call())
        return "outer"


REENTRANT_CALLS = [
    ("evaluate", lambda e: e.evaluate("inner")["triggered_rules"], [1]),
    ("event_count", lambda e: e.event_count, 0),
    ("repr", repr, "<PolicyEngine policy='demo' events=0>"),
    ("status", lambda e: e.status().splitlines()[-1], "Events processed: 0"),
    ("set_context", lambda e: e.set_context("k", 1), None),
    ("reset", lambda e: e.reset(), None),
    ("evaluate_at", lambda e: e.evaluate_at(0, "inner")["triggered_rules"], [1]),
    ("explain", lambda e: e.explain("inner")["trace"]["rules"][0]["matched"], True),
    ("snapshot", lambda e: e.snapshot()[:8], b"CVSNAP\r\n"),
    ("copy", lambda e: e.__copy__().event_count, 0),
]


@pytest.mark.parametrize(
    "label, call, expected", REENTRANT_CALLS, ids=[c[0] for c in REENTRANT_CALLS]
)
@pytest.mark.parametrize("entry", ["evaluate", "set_context", "set_config"])
def test_call_back_into_the_same_engine_during_conversion(label, call, expected, entry):
    engine = engine_for(
        policy(name="demo", rules=[rule(actions=[action("Log", v=field("a"))])])
    )
    value = CallsBack(lambda: call(engine))
    if entry == "evaluate":
        result = engine.evaluate("outer", {"a": value})
        assert result["actions"][0]["args"]["v"] == "outer"
    else:
        assert getattr(engine, entry)("key", value) is None
    assert value.seen == [expected]


def test_nested_evaluations_count_in_call_order():
    engine = engine_for(policy(name="demo"))
    inner = CallsBack(lambda: engine.evaluate("inner") and engine.event_count)
    engine.evaluate("outer", {"a": inner})
    assert inner.seen == [1]
    assert engine.event_count == 2


@pytest.mark.parametrize("depth", [1, 2, 5])
def test_nested_evaluations_keep_their_own_events(depth):
    # Each level converts a field before and after the one that calls back,
    # so a nested call working on the outer call's storage would show.
    args = {name: field(name) for name in ("before", "inner", "after")}
    engine = engine_for(
        policy(rules=[rule(actions=[action("Log", whole=field(), **args)])])
    )
    results = []

    def evaluate(level):
        inner = CallsBack(lambda: evaluate(level + 1)) if level < depth else "leaf"
        fields = {"before": f"b{level}", "inner": inner, "after": level}
        result = engine.evaluate(f"level{level}", fields)["actions"][0]["args"]
        results.append(result)
        return level

    evaluate(0)
    assert [r["before"] for r in results] == [f"b{n}" for n in range(depth, -1, -1)]
    for result in results:
        level = result["after"]
        assert result["inner"] == ("leaf" if level == depth else "outer")
        whole = dict(result["whole"])
        assert isinstance(whole.pop("timestamp"), int)
        assert whole == {
            "before": f"b{level}",
            "inner": result["inner"],
            "after": level,
            "type": f"level{level}",
        }


def test_threads_share_one_engine():
    doc = policy(rules=[rule(verdicts=[verdict("Audit", lit_str("seen"))])])
    engine = engine_for(doc)
    verdicts = []

    def work():
        for i in range(2000):
            # str() of the field runs Python code, where threads may switch.
            fields = {"i": i, "s": CallsBack(lambda i=i: i)}
            verdicts.append(engine.evaluate("t", fields)["verdict"])

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert verdicts == ["audit"] * 8000
    assert engine.event_count == 8000
