"""Limits held outside the engine, in-process (`SharedLimits.local`): the
decisions equal the engine's own, exactly, whichever of its limits the
engine gives away, and a scope gives each key the windows of an engine of
its own."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from policies import EVENT_TYPES, POLICY

from corvanth_core import (
    Guard,
    PolicyEngine,
    PolicyLoadError,
    PolicySourceError,
    SharedLimits,
    compile,
    loads,
)
from corvanth_core.loading import loads_with_limits
from corvanth_core.source import HostLimit, compile_with_limits


def without_time(result):
    return {k: v for k, v in result.items() if k != "eval_time_us"}


class Clock:
    """A guard clock the test sets before each event."""

    def __init__(self) -> None:
        self.now = 0

    def __call__(self) -> int:
        return self.now


FIELDS = st.fixed_dictionaries(
    {
        "to": st.sampled_from(["boss", "spam", "evil", "friend"]),
        "size": st.integers(0, 20),
        "tool": st.sampled_from(["shell", "search", "mail"]),
        "tenant": st.sampled_from(["acme", "globex"]),
    }
)
# Timestamps on a 5 s grid meet the windows' cutoffs exactly, often.
STAMPS = st.integers(0, 8).map(lambda k: k * 5000) | st.integers(0, 40_000)
EVENTS = st.lists(
    st.tuples(st.sampled_from(EVENT_TYPES), STAMPS, FIELDS),
    max_size=40,
)
TARGETS = st.one_of(
    st.none(), st.sets(st.sampled_from(["send_email", "tool_call", "web_request"]))
)


@settings(max_examples=150, deadline=None)
@given(events=EVENTS, targets=TARGETS)
def test_local_windows_decide_as_the_engine(events, targets):
    oracle = PolicyEngine.from_json(POLICY)
    clock = Clock()
    guard = Guard(
        POLICY, shared_limits=SharedLimits.local(targets=targets), clock=clock
    )
    for event_type, stamp, fields in events:
        clock.now = stamp
        expected = oracle.evaluate_at(stamp, event_type, fields)
        got = guard.check(event_type, fields).as_dict()
        assert without_time(got) == without_time(expected)


@settings(max_examples=80, deadline=None)
@given(events=EVENTS)
def test_a_scope_gives_each_tenant_an_engine_of_its_own(events):
    oracles = {t: PolicyEngine.from_json(POLICY) for t in ("acme", "globex")}
    clock = Clock()
    limits = SharedLimits.local(scope="event.tenant")
    guard = Guard(POLICY, shared_limits=limits, clock=clock)
    for event_type, stamp, fields in events:
        clock.now = stamp
        expected = oracles[fields["tenant"]].evaluate_at(stamp, event_type, fields)
        got = guard.check(event_type, fields).as_dict()
        assert without_time(got) == without_time(expected)


def test_the_guard_engine_holds_only_the_limits_not_shared():
    guard = Guard(POLICY, shared_limits=SharedLimits.local(targets=["tool_call"]))
    kept = json.loads(guard.engine.to_json())["constraints"]
    assert [c["target"] for c in kept] == ["send_email", "web_request"]
    assert guard.policy.digest == Guard(POLICY).policy.digest


def test_context_scope_follows_set_context():
    clock = Clock()
    limits = SharedLimits.local(targets=["web_request"], scope="context.tenant")
    guard = Guard(POLICY, shared_limits=limits, clock=clock)
    # limit 0: every event is over it, each tenant's count starting at 1.
    currents = []
    for tenant in ("acme", "acme", "globex", "acme"):
        guard.set_context("tenant", tenant)
        violation = guard.check("web_request").constraint_violations[0]
        currents.append(violation["current"])
    assert currents == [1, 2, 1, 3]
    assert limits.stats().events == 4
    assert limits.stats().round_trips == 0


@pytest.mark.parametrize(
    ("arguments", "error", "text"),
    [
        (
            {"targets": ["nope"]},
            ValueError,
            "shared limits name 'nope', which no limit",
        ),
        ({"targets": "tool_call"}, TypeError, "targets must be a list of event types"),
        ({"scope": "tenant"}, ValueError, "scope 'tenant' is not a reference"),
        ({"scope": "event."}, ValueError, "scope 'event.' is not a reference"),
        ({"on_unavailable": "allow"}, ValueError, "on_unavailable must be 'deny' or"),
        ({"timeout_ms": 0}, ValueError, "timeout_ms must be a positive int, not 0"),
    ],
)
def test_refused_settings(arguments, error, text):
    with pytest.raises(error, match="^" + text.replace("(", r"\(")):
        local = {k: v for k, v in arguments.items() if k in ("targets", "scope")}
        if local == arguments:
            Guard(POLICY, shared_limits=SharedLimits.local(**local))
        else:
            SharedLimits(None, **arguments)


def test_one_guard_per_shared_limits():
    limits = SharedLimits.local()
    Guard(POLICY, shared_limits=limits)
    with pytest.raises(ValueError, match="already serve another guard"):
        Guard(POLICY, shared_limits=limits)


def test_refused_fields_count_nothing():
    clock = Clock()
    limits = SharedLimits.local()
    guard = Guard(POLICY, shared_limits=limits, clock=clock)
    with pytest.raises(TypeError):
        guard.check("web_request", {1: "not a str key"})
    assert limits.stats().events == 0
    assert guard.check("web_request").constraint_violations[0]["current"] == 1


KEYED = """
name: keyed
rules:
  - on: tool_call
    when: tool == "shell"
    deny: "no shell"
limits:
  - quota: tool_call
    max: 2
    window: 10s
    per: event.tool
"""


@settings(max_examples=80, deadline=None)
@given(events=EVENTS)
def test_a_keyed_limit_gives_each_tool_an_engine_of_its_own(events):
    plain = compile(KEYED.replace("window: 10s\n    per: event.tool", "per: 10s"))
    oracles = {t: PolicyEngine.from_json(plain) for t in ("shell", "search", "mail")}
    clock = Clock()
    guard = Guard(KEYED.encode(), clock=clock)  # source text, as bytes
    assert json.loads(guard.engine.to_json())["constraints"] == []
    for event_type, stamp, fields in events:
        clock.now = stamp
        expected = oracles[fields["tool"]].evaluate_at(stamp, event_type, fields)
        got = guard.check(event_type, fields).as_dict()
        assert without_time(got) == without_time(expected)


def test_keyed_limits_travel_beside_the_ir():
    compiled = compile_with_limits(KEYED)
    assert compiled.json == compile(KEYED)
    assert json.loads(compiled.json)["constraints"] == []
    assert compiled.host_limits == (
        HostLimit("Quota", "tool_call", 2, 10_000, "event.tool"),
    )
    engine, limits = loads_with_limits(KEYED)
    assert json.loads(engine.to_json())["constraints"] == []
    assert limits == compiled.host_limits
    with pytest.raises(PolicyLoadError) as refused:
        loads(KEYED)
    assert str(refused.value) == (
        "<string>: the limits tool_call per event.tool are keyed, and only a "
        "Guard holds keyed windows: load the policy with Guard(...) or "
        "load_with_limits"
    )


def test_a_keyed_limit_needs_a_reference():
    with pytest.raises(PolicySourceError) as refused:
        compile(KEYED.replace("event.tool", "tool"))
    assert str(refused.value).splitlines()[0] == (
        "<source>:11:10: `per` 'tool' keys the windows; write "
        "event.FIELD or context.KEY (e.g. 'event.tool', 'context.tenant')"
    )
