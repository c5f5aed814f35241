"""Snapshots: snapshot() and restore(data) carry the runtime state exactly,
and every damaged, foreign or crafted snapshot is refused with nothing
changed."""

import json
import pathlib

import pytest
import snapshot_format as fmt
from _corvanth_core import PolicyEngine
from helpers import INT64_MAX, INT64_MIN, assert_same, engine_for, outcome
from hypothesis import HealthCheck, assume, given, settings
from policy_strategies import JSON_DEPTH_LIMIT, events, json_depth, policies
from snapshot_cases import (
    LATER,
    MAPS_RULE,
    REFUSED,
    SESSION,
    STATEFUL,
    crafted,
    one_raw_context_entry,
)

from corvanth_core.ir import (
    machine,
    policy,
    rule,
    state,
    transition,
    verdict,
)

# The generated policies have long descriptions; hypothesis warns when it
# renders them.
pytestmark = pytest.mark.filterwarnings("ignore:Generating overly large repr")

EXAMPLES = sorted((pathlib.Path(__file__).parents[2] / "examples").glob("*.json"))


def stateful_engine():
    engine = engine_for(STATEFUL)
    engine.reset_at(500)
    engine.set_context("user", {"name": "ana", "roles": ["dev", None, 1.5]})
    engine.set_config("limit", 10)
    for stamp, event_type, fields in SESSION:
        engine.evaluate_at(stamp, event_type, fields)
    return engine


def replay(engine, steps):
    results = [outcome(engine.evaluate_at(*step)) for step in steps]
    return results, engine.status(), engine.event_count, repr(engine)


def test_restored_engine_continues_exactly_like_the_original():
    original = stateful_engine()
    data = original.snapshot()
    copy = engine_for(STATEFUL)
    assert copy.restore(data) is None
    assert copy.snapshot() == data
    assert replay(copy, LATER) == replay(original, LATER)


def test_snapshot_is_bytes_with_the_documented_header():
    engine = stateful_engine()
    data = engine.snapshot()
    assert type(data) is bytes
    assert data[:8] == fmt.MAGIC
    assert data[8:16] == fmt.u32(1) + fmt.u32(0)
    assert data[16:24] == fmt.u64(len(data))
    assert data[-8:] == fmt.u64(fmt.fnv1a(data[:-8]))
    # The same state gives the same bytes.
    assert engine.snapshot() == data


def test_body_layout():
    engine = engine_for(STATEFUL)
    engine.reset_at(7)
    engine.set_context("k", [1, "a"])
    engine.evaluate_at(100, "t")
    data = engine.snapshot()
    body = fmt.body(
        event_count=1,
        machines=[(0, 7), (0, 7)],
        limiters=[("t", [100]), ("u", [])],
        context={"k": [1, "a"]},
    )
    assert data == fmt.seal(fmt.fingerprint(data), body)


def test_a_fresh_engine_restored_from_a_fresh_snapshot():
    engine = engine_for(STATEFUL)
    other = engine_for(STATEFUL)
    other.restore(engine.snapshot())
    assert other.snapshot() == engine.snapshot()


def test_restore_replaces_the_whole_state():
    target = engine_for(STATEFUL)
    target.set_context("only_here", 1)
    target.set_config("limit", 99)
    for step in LATER:
        target.evaluate_at(*step)
    source = engine_for(STATEFUL)
    source.reset_at(0)
    target.restore(source.snapshot())
    assert target.event_count == 0
    assert target.evaluate_at(1, "x")["actions"][0]["args"] == {"c": {}, "p": {}}


def test_start_times_travel_with_the_snapshot():
    engine = engine_for(STATEFUL)
    engine.reset_at(10_000)
    copy = engine_for(STATEFUL)  # started at the wall clock
    copy.restore(engine.snapshot())
    assert copy.evaluate_at(14_999, "x")["violations"] == []
    assert [v["proof"] for v in copy.evaluate_at(15_000, "x")["violations"]] == [
        "deadline"
    ]


VALUES = [
    None,
    True,
    False,
    0,
    INT64_MIN,
    INT64_MAX,
    2**64,  # a float once converted
    -0.0,
    float("nan"),
    float("inf"),
    1e-310,
    "",
    "ß ünïcode \U0001f600",
    "x" * 100,
    [],
    [[[]]],
    {"": None, "b": {"c": [1, 2.5, "d"]}},
    {f"k{i}": i for i in range(20)},
]


@pytest.mark.parametrize("value", VALUES, ids=repr)
def test_context_and_config_values_come_back_exactly(value):
    engine = engine_for(policy(rules=[MAPS_RULE]))
    engine.set_context("v", value)
    engine.set_config("v", value)
    expected = engine.evaluate_at(0, "x")["actions"][0]["args"]
    copy = engine_for(policy(rules=[MAPS_RULE]))
    copy.restore(engine.snapshot())
    assert_same(copy.evaluate_at(0, "x")["actions"][0]["args"], expected)


def test_map_order_is_kept():
    engine = engine_for(policy(rules=[MAPS_RULE]))
    for key in ["z", "a", "m", "b"]:
        engine.set_context(key, key)
    copy = engine_for(policy(rules=[MAPS_RULE]))
    copy.restore(engine.snapshot())
    context = copy.evaluate_at(0, "x")["actions"][0]["args"]["c"]
    assert list(context) == ["z", "a", "m", "b"]


def test_deepest_accepted_nesting_round_trips():
    engine = engine_for(policy(rules=[MAPS_RULE]))
    deep = []
    for _ in range(200):
        deep = [deep]
    engine.set_context("deep", deep)
    copy = engine_for(policy(rules=[MAPS_RULE]))
    copy.restore(engine.snapshot())
    assert copy.snapshot() == engine.snapshot()


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_examples_round_trip(path):
    text = path.read_text()
    original = PolicyEngine.from_json(text)
    original.reset_at(0)
    for stamp, event_type in enumerate(["tool_call", "web_request", "file_access"]):
        original.evaluate_at(stamp * 10, event_type, {"tool": "shell", "path": "a"})
    copy = PolicyEngine.from_json(text)
    copy.restore(original.snapshot())
    assert copy.snapshot() == original.snapshot()
    steps = [(100 + i, "web_request", {"url": "https://x"}) for i in range(5)]
    assert replay(copy, steps) == replay(original, steps)


@settings(
    max_examples=60,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
@given(doc=policies, first=events, then=events)
def test_generated_policies_round_trip(doc, first, then):
    assume(json_depth(doc) < JSON_DEPTH_LIMIT)
    text = json.dumps(doc)

    def run(engine, evs, base):
        out = []
        for i, (event_type, fields, context, config) in enumerate(evs):
            for key, val in context.items():
                engine.set_context(key, val)
            for key, val in config.items():
                engine.set_config(key, val)
            out.append(outcome(engine.evaluate_at(base + 700 * i, event_type, fields)))
        return out, engine.status()

    original = PolicyEngine.from_json(text)
    original.reset_at(1000)
    run(original, first, 1000)
    copy = PolicyEngine.from_json(text)
    copy.restore(original.snapshot())
    assert copy.snapshot() == original.snapshot()
    # NaN values make result dicts compare unequal to themselves, so the
    # continuations are compared through their snapshots and texts.
    a, b = run(copy, then, 5000), run(original, then, 5000)
    assert repr(a) == repr(b)
    assert copy.snapshot() == original.snapshot()


# --- refused snapshots ----------------------------------------------------------


def refused(engine, data):
    """Restores `data`, expecting a refusal; returns the reason and checks
    that nothing changed."""
    before = engine.snapshot()
    with pytest.raises(ValueError) as raised:
        engine.restore(data)
    assert type(raised.value) is ValueError
    message = str(raised.value)
    assert message.startswith("Invalid snapshot: ")
    assert engine.snapshot() == before
    return message.removeprefix("Invalid snapshot: ")


@pytest.fixture(scope="module")
def saved():
    """A stateful engine and its snapshot."""
    engine = stateful_engine()
    return engine, engine.snapshot()


def test_every_changed_byte_is_detected(saved):
    engine, data = saved
    for position in range(len(data)):
        for flip in (0x01, 0x80, 0xFF):
            damaged = bytearray(data)
            damaged[position] ^= flip
            refused(engine, bytes(damaged))


def test_every_truncation_is_detected(saved):
    engine, data = saved
    for length in range(len(data)):
        reason = refused(engine, data[:length])
        if length == 0:
            assert reason == "not a snapshot (bad magic bytes)"
        elif length < 40:
            assert reason == f"truncated: {length} bytes, a snapshot has at least 40"
        else:
            assert reason == f"truncated: {length} bytes, the header says {len(data)}"


def test_refused_snapshots_leave_later_evaluations_alone(saved):
    engine, data = saved
    twin = stateful_engine()
    refused(twin, data[:-1])
    refused(twin, fmt.reseal(data[:-9] + b"\x00" + data[-9:]))
    assert replay(twin, LATER) == replay(stateful_engine(), LATER)
    assert engine.snapshot() == data


@pytest.mark.parametrize(
    "make, reason", [c[1:] for c in REFUSED], ids=[c[0] for c in REFUSED]
)
def test_refused_snapshots(saved, make, reason):
    engine, data = saved
    assert refused(engine, make(fmt.fingerprint(data))) == reason


def test_crafted_but_sound_snapshot_is_accepted(saved):
    _, data = saved
    target = engine_for(STATEFUL)
    good = fmt.seal(
        fmt.fingerprint(data),
        crafted(
            event_count=5,
            machines=[(1, 40), (0, 2**64 - 1)],
            limiters=[("t", [1, 1, 2]), ("u", [3])],
            context=[("k", [None, {"x": 1.5}])],
        ),
    )
    target.restore(good)
    assert target.snapshot() == good
    assert target.event_count == 5
    result = target.evaluate_at(2, "t", {"t": 1})
    assert result["constraint_violations"][0]["current"] == 4
    assert [v["proof"] for v in result["violations"]] == ["after_u"]


def test_nesting_at_the_limit_is_accepted(saved):
    _, data = saved
    deep = (fmt.u8(6) + fmt.u64(1)) * 999 + fmt.u8(6) + fmt.u64(0)
    good = fmt.seal(
        fmt.fingerprint(data),
        one_raw_context_entry(fmt.text("k") + deep),
    )
    target = engine_for(STATEFUL)
    target.restore(good)
    assert target.snapshot() == good


def test_state_numbers_the_policy_names_are_accepted():
    # The initial state and a transition target lie outside the states list;
    # the runtime skips such a machine, and a snapshot may hold it there.
    doc = policy(
        state_machines=[
            machine(
                states=[state("a")], transitions=[transition(0, 9, "Always")], initial=5
            )
        ]
    )
    engine = engine_for(doc)
    data = engine.snapshot()
    for number in (0, 5, 9):
        engine.restore(
            fmt.seal(fmt.fingerprint(data), fmt.body(machines=[(number, 0)]))
        )
    assert "malformed: state 1 is not a state of machine 0" == refused(
        engine, fmt.seal(fmt.fingerprint(data), fmt.body(machines=[(1, 0)]))
    )


def test_the_same_policy_written_differently_has_the_same_fingerprint():
    doc = policy(rules=[rule(1, ["t"], verdicts=[verdict("Deny")])])
    engine = engine_for(doc)
    pretty = PolicyEngine.from_json(json.dumps(doc, indent=2, sort_keys=True))
    pretty.restore(engine.snapshot())
    renamed = engine_for(dict(doc, name="q"))
    assert refused(renamed, engine.snapshot()) == (
        "made for another policy (policy fingerprint differs)"
    )


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda e: e.restore(),
            "PolicyEngine.restore() missing required argument 'data' (pos 1)",
        ),
        (
            lambda e: e.restore(bytearray(b"x")),
            "PolicyEngine.restore() argument 'data' must be bytes, not bytearray",
        ),
        (
            lambda e: e.restore(memoryview(b"x")),
            "PolicyEngine.restore() argument 'data' must be bytes, not memoryview",
        ),
        (
            lambda e: e.restore("x"),
            "PolicyEngine.restore() argument 'data' must be bytes, not str",
        ),
        (
            lambda e: e.restore(None),
            "PolicyEngine.restore() argument 'data' must be bytes, not None",
        ),
        (
            lambda e: e.restore(b"", b""),
            "PolicyEngine.restore() takes exactly 1 argument (2 given)",
        ),
        (
            lambda e: e.restore(b"", snapshot=b""),
            "'snapshot' is an invalid keyword argument for PolicyEngine.restore()",
        ),
        (
            lambda e: e.snapshot(1),
            "PolicyEngine.snapshot() takes no arguments (1 given)",
        ),
    ],
)
def test_argument_errors(call, message):
    engine = stateful_engine()
    before = engine.snapshot()
    with pytest.raises(TypeError) as raised:
        call(engine)
    assert str(raised.value) == message
    assert engine.snapshot() == before


def test_restore_accepts_a_bytes_subclass_and_keywords():
    class Blob(bytes):
        pass

    engine = stateful_engine()
    copy = engine_for(STATEFUL)
    copy.restore(data=Blob(engine.snapshot()))
    assert copy.snapshot() == engine.snapshot()


def test_docstrings_and_signatures():
    assert PolicyEngine.snapshot.__text_signature__ == "($self, *, key=None)"
    assert (
        PolicyEngine.restore.__text_signature__
        == "($self, data, *, key=None, max_bytes=None)"
    )
    assert PolicyEngine.snapshot.__doc__.startswith("Return the engine's runtime state")
    assert PolicyEngine.restore.__doc__.startswith(
        "Put back a state saved by snapshot()"
    )
