"""Limits shared in a real Redis: any interleaving of guards decides as one
engine fed the events in Redis's order, a scope keeps tenants apart, other
event types cost no round trip, and a store that is down, stalled or
answering errors is met as configured, then recovered from."""

import json
import multiprocessing
import socket
import time
import uuid

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from policies import POLICY
from test_shared_limits import EVENTS, Clock, without_time

from corvanth_core import Guard, PolicyEngine, SharedLimits, compile

pytestmark = pytest.mark.redis

QUOTA = compile(
    "name: fleet_quota\nlimits:\n  - quota: tool_call\n    max: 5000\n    per: 1h\n"
)


def fleet(client, count, clock, **options):
    """`count` guards on one Redis, as many processes would be."""
    prefix = uuid.uuid4().hex
    return [
        Guard(
            POLICY,
            shared_limits=SharedLimits(client, key_prefix=prefix, **options),
            clock=clock,
        )
        for _ in range(count)
    ]


@settings(max_examples=40, deadline=None)
@given(events=EVENTS, senders=st.lists(st.integers(0, 2), min_size=40, max_size=40))
def test_any_interleaving_decides_as_one_engine(redis_server, events, senders):
    # The events' timestamps go back and forth, as those of skewed clocks do.
    client = redis_server.client()
    clock = Clock()
    guards = fleet(client, 3, clock)
    oracle = PolicyEngine.from_json(POLICY)
    for (event_type, stamp, fields), sender in zip(events, senders):
        clock.now = stamp
        expected = oracle.evaluate_at(stamp, event_type, fields)
        got = guards[sender].check(event_type, fields).as_dict()
        assert without_time(got) == without_time(expected)


def test_windows_expire_as_the_engines(redis_client):
    clock = Clock()
    (guard,) = fleet(redis_client, 1, clock, targets=["send_email"])
    currents = []
    for stamp in (0, 1, 2, 3, 60_001, 60_002, 120_002, 120_002):
        clock.now = stamp
        violations = guard.check("send_email", {"to": "x"}).constraint_violations
        currents.append(violations[0]["current"] if violations else None)
    assert currents == [None, None, None, 4, 4, 4, None, None]


def test_a_scope_keeps_tenants_apart(redis_client):
    clock = Clock()
    acme, globex = fleet(redis_client, 2, clock, scope="context.tenant")
    acme.set_context("tenant", "acme")
    globex.set_context("tenant", "globex")
    verdicts = [
        g.check("tool_call", {"tool": "x"}).verdict
        for g in (acme, acme, globex, acme, globex)
    ]
    assert verdicts == ["allow", "allow", "allow", "deny", "allow"]


def round_trips(client):
    stats = client.info("commandstats")
    return sum(v["calls"] for k, v in stats.items() if k != "cmdstat_info")


def test_other_event_types_cost_no_round_trip(redis_client):
    (guard,) = fleet(redis_client, 1, Clock(), targets=["tool_call"])
    guard.check("tool_call", {"tool": "x"})  # connects, loads the script
    before = round_trips(redis_client)
    for event_type in ("file_access", "send_email", "web_request") * 50:
        guard.check(event_type, {"to": "friend"})
    assert round_trips(redis_client) == before
    guard.check("tool_call", {"tool": "x"})
    stats = redis_client.info("commandstats")
    # One script run, whose own commands Redis counts too.
    assert round_trips(redis_client) - before == 5
    assert stats["cmdstat_evalsha"]["calls"] == 2


def run_process(port, prefix, events, results):
    import redis

    clock = Clock()
    clock.now = 1_000_000
    limits = SharedLimits(redis.Redis(port=port), key_prefix=prefix, timeout_ms=2000)
    guard = Guard(QUOTA, shared_limits=limits, clock=clock)
    allowed, currents = 0, []
    for _ in range(events):
        clock.now += 1
        decision = guard.check("tool_call")
        if decision.allowed:
            allowed += 1
        else:
            (violation,) = decision.constraint_violations
            currents.append(violation["current"])
    results.put((allowed, currents))


def test_eight_processes_share_one_quota_exactly(redis_server):
    context = multiprocessing.get_context("fork")
    results = context.Queue()
    prefix = uuid.uuid4().hex
    processes = [
        context.Process(
            target=run_process, args=(redis_server.port, prefix, 2000, results)
        )
        for _ in range(8)
    ]
    for process in processes:
        process.start()
    outcomes = [results.get(timeout=120) for _ in processes]
    for process in processes:
        process.join(30)
        assert process.exitcode == 0
    assert sum(allowed for allowed, _ in outcomes) == 5000
    denied = sorted(current for _, currents in outcomes for current in currents)
    assert denied == list(range(5001, 16001))


def timed_check(guard, event_type="tool_call"):
    start = time.monotonic()
    decision = guard.check(event_type, {"tool": "x"})
    return decision, time.monotonic() - start


UNAVAILABLE = {
    "kind": "RateLimit",
    "target": "tool_call",
    "limit": 2,
    "current": 0,
    "window_ms": 10000,
    "unavailable": True,
}


def test_a_stalled_then_killed_server_denies_and_recovers(own_redis):
    clock = Clock()
    limits = SharedLimits(own_redis.client(), targets=["tool_call"], timeout_ms=50)
    guard = Guard(POLICY, shared_limits=limits, clock=clock)
    assert guard.check("tool_call", {"tool": "x"}).verdict == "allow"
    own_redis.pause()
    try:
        decision, took = timed_check(guard)
        assert took < 0.5
        assert decision.verdict == "deny"
        assert decision.reason == (
            "RateLimit unavailable: the shared window of tool_call could not be checked"
        )
        assert list(decision.constraint_violations) == [UNAVAILABLE]
        assert limits.stats().available is False
        assert "Timeout" in limits.stats().last_error
        # Other event types go on without the store.
        assert guard.check("file_access").verdict == "allow"
    finally:
        own_redis.resume()
    # The window kept in Redis is there again, with the stalled event in it:
    # its script reached Redis before the guard gave up waiting.
    resumed = guard.check("tool_call", {"tool": "x"})
    assert resumed.constraint_violations[0]["current"] == 3
    assert limits.stats().available is True
    own_redis.stop()
    decision, took = timed_check(guard)
    assert (decision.verdict, took < 0.5) == ("deny", True)
    own_redis.start()
    assert guard.check("tool_call", {"tool": "x"}).verdict == "allow"
    stats = limits.stats()
    assert (stats.events, stats.unavailable, stats.available) == (5, 2, True)


def test_local_fallback_counts_this_process_events(own_redis):
    clock = Clock()
    limits = SharedLimits(
        own_redis.client(), targets=["tool_call"], on_unavailable="local"
    )
    guard = Guard(POLICY, shared_limits=limits, clock=clock)
    guard.check("tool_call", {"tool": "x"})
    own_redis.stop()
    first = guard.check("tool_call", {"tool": "x"})
    second = guard.check("tool_call", {"tool": "x"})
    assert (first.verdict, second.verdict) == ("allow", "deny")
    assert second.reason == "RateLimit exceeded: 3 events in 10000ms window (limit: 2)"
    assert limits.stats().unavailable == 2


def test_an_error_answer_is_unavailable(redis_client):
    (guard,) = fleet(redis_client, 1, Clock(), targets=["tool_call"])
    for key in redis_client.keys("*"):
        redis_client.delete(key)
    guard.check("file_access")
    # Make the window a string: Redis answers the script with an error.
    guard.check("tool_call", {"tool": "x"})
    (key,) = redis_client.keys("*")
    redis_client.set(key, "not a window")
    decision = guard.check("tool_call", {"tool": "x"})
    assert decision.constraint_violations[0].get("unavailable") is True
    assert "WRONGTYPE" in guard._limits.stats().last_error


LEASED = compile(
    "name: leased\nlimits:\n  - rate: tool_call\n    max: 6\n    per: 10s\n"
)


@settings(max_examples=40, deadline=None)
@given(
    steps=st.lists(st.tuples(st.integers(0, 2), st.integers(0, 3000)), max_size=60),
    lease=st.integers(1, 4),
)
def test_leases_over_admit_at_most_the_outstanding_slots(redis_server, steps, lease):
    client = redis_server.client()
    clock = Clock()
    prefix = uuid.uuid4().hex
    guards = [
        Guard(
            LEASED,
            shared_limits=SharedLimits(
                client, key_prefix=prefix, mode="leased", lease=lease, lease_ms=2000
            ),
            clock=clock,
        )
        for _ in range(3)
    ]
    allowed = []
    for sender, advance in steps:
        clock.now += advance
        if guards[sender].check("tool_call").allowed:
            allowed.append(clock.now)
    # In any window, at most the limit and each process's one lease more.
    for stamp in allowed:
        inside = sum(1 for other in allowed if stamp - 10_000 <= other <= stamp)
        assert inside <= 6 + 3 * lease


def run_leased(port, prefix, events, results):
    import redis

    clock = Clock()
    clock.now = 1_000_000
    limits = SharedLimits(
        redis.Redis(port=port),
        key_prefix=prefix,
        timeout_ms=2000,
        mode="leased",
        lease=50,
    )
    guard = Guard(QUOTA, shared_limits=limits, clock=clock)
    allowed = 0
    for _ in range(events):
        clock.now += 1
        allowed += guard.check("tool_call").allowed
    results.put((allowed, limits.stats().round_trips))


def test_leased_processes_stay_within_the_quota_with_fewer_round_trips(redis_server):
    context = multiprocessing.get_context("fork")
    results = context.Queue()
    prefix = uuid.uuid4().hex
    processes = [
        context.Process(
            target=run_leased, args=(redis_server.port, prefix, 2000, results)
        )
        for _ in range(8)
    ]
    for process in processes:
        process.start()
    outcomes = [results.get(timeout=120) for _ in processes]
    for process in processes:
        process.join(30)
        assert process.exitcode == 0
    allowed = sum(a for a, _ in outcomes)
    # A quota whose window outlasts the run: no over-admission; the slots
    # still leased when the quota ran out (each under 50) go unspent.
    assert 5000 - 8 * 50 < allowed <= 5000
    # About one round trip per 50 allowed events, one per denied event.
    assert sum(r for _, r in outcomes) < 5000 // 50 + 8 + (16000 - allowed)


def test_a_server_never_there_is_in_the_decision_log(tmp_path, redis_server):
    import redis

    from corvanth_core import DecisionLog

    with socket.socket() as probe:  # a port nothing listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    nowhere = redis.Redis(port=port)
    limits = SharedLimits(nowhere, targets=["tool_call"], timeout_ms=50)
    log = DecisionLog(tmp_path / "decisions.jsonl")
    guard = Guard(POLICY, shared_limits=limits, decision_log=log, clock=Clock())
    decision, took = timed_check(guard)
    log.close()
    (line,) = (tmp_path / "decisions.jsonl").read_text().splitlines()
    logged = json.loads(line)["decision"]
    assert (took < 0.5, logged["verdict"]) == (True, "deny")
    assert logged["constraint_violations"] == [UNAVAILABLE]
    assert logged == decision.as_dict()
    assert "ConnectionError" in limits.stats().last_error
