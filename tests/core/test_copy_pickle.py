"""copy.copy, copy.deepcopy and pickle: a copy has the same policy and the
same runtime state, and evolves independently of its original."""

import copy
import json
import pickle

import pytest
from _corvanth_core import PolicyEngine
from helpers import engine_for, outcome
from hypothesis import HealthCheck, assume, given, settings
from policy_strategies import JSON_DEPTH_LIMIT, events, json_depth, policies
from snapshot_cases import LATER, SESSION, STATEFUL
from test_snapshot import EXAMPLES, replay, stateful_engine

from corvanth_core.ir import policy

pytestmark = pytest.mark.filterwarnings("ignore:Generating overly large repr")

COPIERS = [
    ("copy", copy.copy),
    ("deepcopy", copy.deepcopy),
    ("__copy__", lambda e: e.__copy__()),
    ("__deepcopy__", lambda e: e.__deepcopy__({})),
] + [
    (f"pickle{protocol}", lambda e, p=protocol: pickle.loads(pickle.dumps(e, p)))
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1)
]


def same_engine(a, b):
    return (
        a.to_json() == b.to_json()
        and a.snapshot() == b.snapshot()
        and a.policy_name == b.policy_name
        and repr(a) == repr(b)
    )


@pytest.mark.parametrize(
    "make_copy", [c[1] for c in COPIERS], ids=[c[0] for c in COPIERS]
)
def test_copy_has_the_same_policy_and_state(make_copy):
    original = stateful_engine()
    twin = make_copy(original)
    assert type(twin) is PolicyEngine
    assert twin is not original
    assert same_engine(twin, original)
    assert replay(twin, LATER) == replay(original, LATER)


@pytest.mark.parametrize(
    "make_copy", [c[1] for c in COPIERS], ids=[c[0] for c in COPIERS]
)
def test_copies_evolve_independently(make_copy):
    original = stateful_engine()
    before = original.snapshot()
    twin = make_copy(original)
    twin.evaluate_at(1960, "t")
    twin.set_context("user", "someone else")
    twin.set_config("new", 1)
    assert original.snapshot() == before
    original.reset_at(0)
    assert twin.event_count == len(SESSION) + 1
    assert twin.snapshot() != original.snapshot()


def test_deepcopy_keeps_shared_references_shared():
    engine = stateful_engine()
    first, second = copy.deepcopy([engine, engine])
    assert first is second
    assert first is not engine


def test_reduce_names_the_container_and_the_snapshot():
    engine = stateful_engine()
    load, args, state, items, entries, put_back = engine.__reduce__()
    assert load == PolicyEngine.from_bytes
    assert args == (engine.to_bytes(),)
    assert state == engine.snapshot()
    assert items is None and entries is None
    assert put_back == PolicyEngine.restore
    rebuilt = load(*args)
    put_back(rebuilt, state)
    assert same_engine(rebuilt, engine)


def test_pickle_of_a_list_of_engines():
    engines = [stateful_engine(), engine_for(policy(name="other"))]
    back = pickle.loads(pickle.dumps(engines))
    assert [e.policy_name for e in back] == ["stateful", "other"]
    assert all(same_engine(a, b) for a, b in zip(back, engines))


def test_copy_keeps_the_diagnostics_of_skipped_keys():
    doc = dict(policy(), rulez=[])
    engine = PolicyEngine.from_json(json.dumps(doc))
    assert copy.copy(engine).diagnostics() == engine.diagnostics()
    assert copy.deepcopy(engine).diagnostics() == engine.diagnostics()
    # A pickle carries the canonical text, which has no unknown keys.
    assert [d["code"] for d in engine.diagnostics()] == ["misspelt-key"]
    assert pickle.loads(pickle.dumps(engine)).diagnostics() == []


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_examples_copy_and_pickle(path):
    engine = PolicyEngine.from_json(path.read_text())
    engine.reset_at(0)
    engine.evaluate_at(10, "web_request", {"url": "https://x"})
    for _, make_copy in COPIERS:
        assert same_engine(make_copy(engine), engine)


@settings(
    max_examples=40,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
@given(doc=policies, evs=events)
def test_generated_policies_pickle(doc, evs):
    assume(json_depth(doc) < JSON_DEPTH_LIMIT)
    engine = PolicyEngine.from_json(json.dumps(doc))
    for i, (event_type, fields, context, config) in enumerate(evs):
        for key, value in context.items():
            engine.set_context(key, value)
        for key, value in config.items():
            engine.set_config(key, value)
        engine.evaluate_at(1000 * i, event_type, fields)
    twin = pickle.loads(pickle.dumps(engine))
    assert same_engine(twin, engine)
    step = ("t", {"tool": "x"})
    assert repr(outcome(twin.evaluate_at(99999, *step))) == repr(
        outcome(engine.evaluate_at(99999, *step))
    )


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda e: e.__copy__(1),
            "PolicyEngine.__copy__() takes no arguments (1 given)",
        ),
        (
            lambda e: e.__deepcopy__(),
            "PolicyEngine.__deepcopy__() missing required argument 'memo' (pos 1)",
        ),
        (
            lambda e: e.__deepcopy__([]),
            "PolicyEngine.__deepcopy__() argument 'memo' must be dict or None, not list",
        ),
        (
            lambda e: e.__deepcopy__({}, {}),
            "PolicyEngine.__deepcopy__() takes exactly 1 argument (2 given)",
        ),
        (
            lambda e: e.__reduce__(2),
            "PolicyEngine.__reduce__() takes no arguments (1 given)",
        ),
    ],
)
def test_argument_errors(call, message):
    engine = engine_for(STATEFUL)
    with pytest.raises(TypeError) as raised:
        call(engine)
    assert str(raised.value) == message


def test_deepcopy_accepts_none_and_a_keyword():
    engine = stateful_engine()
    assert same_engine(engine.__deepcopy__(None), engine)
    assert same_engine(engine.__deepcopy__(memo={}), engine)


def test_docstrings_and_signatures():
    assert PolicyEngine.__copy__.__text_signature__ == "($self)"
    assert PolicyEngine.__deepcopy__.__text_signature__ == "($self, memo)"
    assert PolicyEngine.__reduce__.__text_signature__ == "($self)"
    assert PolicyEngine.__copy__.__doc__.startswith("Return an independent engine")
