"""Rate and quota constraints: sliding windows per event type."""

import time

import pytest
from helpers import engine_for, outcome

from corvanth_core.ir import constraint, lit_str, policy, rule, verdict

HOUR = 3600000


def violation(current, limit, window_ms, kind="RateLimit", target="t"):
    return {
        "kind": kind,
        "target": target,
        "limit": limit,
        "current": current,
        "window_ms": window_ms,
    }


def run(constraints, event_types, rules=()):
    engine = engine_for(policy(rules=rules, constraints=constraints))
    return [outcome(engine.evaluate(e)) for e in event_types]


def currents(results):
    """The reported count of each result, None when nothing was reported."""
    return [
        r["constraint_violations"][0]["current"] if r["constraint_violations"] else None
        for r in results
    ]


@pytest.mark.parametrize(
    "limit, events, expected",
    [
        (0, 3, [1, 2, 3]),
        (1, 4, [None, 2, 3, 4]),
        (2, 5, [None, None, 3, 4, 5]),
        (3, 5, [None, None, None, 4, 5]),
        (10, 10, [None] * 10),
    ],
)
def test_counts_grow_over_the_limit(limit, events, expected):
    results = run([constraint("t", limit, HOUR)], ["t"] * events)
    assert currents(results) == expected


def test_exceeded_result_in_full():
    results = run([constraint("t", 1, HOUR)], ["t", "t"])
    assert results[0] == {
        "verdict": "allow",
        "reason": None,
        "triggered_rules": [],
        "actions": [],
        "violations": [],
        "constraint_violations": [],
    }
    assert results[1] == {
        "verdict": "deny",
        "reason": "RateLimit exceeded: 2 events in 3600000ms window (limit: 1)",
        "triggered_rules": [],
        "actions": [],
        "violations": [],
        "constraint_violations": [violation(2, 1, HOUR)],
    }


@pytest.mark.parametrize(
    "kind, text",
    [
        ("RateLimit", "RateLimit exceeded: 1 events in 60000ms window (limit: 0)"),
        ("Quota", "Quota exceeded: 1 events in 60000ms window (limit: 0)"),
    ],
)
def test_message_per_kind(kind, text):
    [result] = run([constraint("t", 0, 60000, kind=kind)], ["t"])
    assert result["verdict"] == "deny"
    assert result["reason"] == text
    assert result["constraint_violations"] == [violation(1, 0, 60000, kind=kind)]


def test_a_violation_dict_changed_by_the_caller_leaves_later_ones_alone():
    engine = engine_for(policy(constraints=[constraint("t", 0, HOUR)]))
    first = engine.evaluate("t")["constraint_violations"][0]
    first["limit"] = 99
    first.pop("target")
    assert engine.evaluate("t")["constraint_violations"] == [violation(2, 0, HOUR)]


def test_quota_counts_like_a_rate_limit():
    results = run([constraint("t", 2, HOUR, kind="Quota")], ["t"] * 4)
    assert currents(results) == [None, None, 3, 4]
    assert (
        results[3]["reason"]
        == "Quota exceeded: 4 events in 3600000ms window (limit: 2)"
    )


def test_limit_zero_reports_first_event_in_an_empty_window():
    [result] = run([constraint("t", 0, HOUR)], ["t"])
    assert result["constraint_violations"] == [violation(1, 0, HOUR)]


@pytest.mark.parametrize(
    "limits, expected",
    [
        # Only the constraint listed last for a target is enforced.
        ([5, 1], [None, 2, 3]),
        ([1, 5], [None, None, None]),
        ([0, 2, 1], [None, 2, 3]),
    ],
)
def test_last_constraint_for_a_target_wins(limits, expected):
    results = run([constraint("t", limit, HOUR) for limit in limits], ["t"] * 3)
    assert currents(results) == expected
    for result in results:
        for v in result["constraint_violations"]:
            assert v["limit"] == limits[-1]


def test_last_constraint_kind_and_window_are_used():
    constraints = [
        constraint("t", 0, HOUR, kind="RateLimit"),
        constraint("t", 0, 60000, kind="Quota"),
    ]
    [result] = run(constraints, ["t"])
    assert result["constraint_violations"] == [violation(1, 0, 60000, kind="Quota")]
    assert result["reason"] == "Quota exceeded: 1 events in 60000ms window (limit: 0)"


def test_targets_are_counted_separately():
    constraints = [constraint("a", 1, HOUR), constraint("b", 1, HOUR)]
    results = run(constraints, ["a", "b", "c", "a", "b", "c"])
    assert currents(results) == [None, None, None, 2, 2, None]
    assert results[3]["constraint_violations"] == [violation(2, 1, HOUR, target="a")]
    assert results[4]["constraint_violations"] == [violation(2, 1, HOUR, target="b")]


@pytest.mark.parametrize("event_type", ["T", "t ", "tt", "", "t_call"])
def test_target_matches_the_whole_type_exactly(event_type):
    results = run([constraint("t", 0, HOUR)], [event_type] * 2)
    assert currents(results) == [None, None]
    assert [r["verdict"] for r in results] == ["allow", "allow"]


def test_under_the_limit_leaves_verdict_and_reason_alone():
    rules = [rule(1, verdicts=[verdict("Audit", lit_str("check"))])]
    results = run([constraint("t", 2, HOUR)], ["t", "t"], rules=rules)
    for result in results:
        assert result["verdict"] == "audit"
        assert result["reason"] == "check"
        assert result["constraint_violations"] == []


OVER = "RateLimit exceeded: 1 events in 3600000ms window (limit: 0)"


@pytest.mark.parametrize(
    "verdicts, reason",
    [
        ([], OVER),
        ([verdict("Deny", lit_str("rule says no"))], "rule says no"),
        ([verdict("Deny")], OVER),
        ([verdict("Allow", lit_str("fine")), verdict("Audit", lit_str("look"))], OVER),
        ([verdict("Deny", lit_str("first")), verdict("Deny")], "first"),
    ],
    ids=["no rule", "deny with text", "bare deny", "weaker verdicts", "text then bare"],
)
def test_an_exceeded_limit_keeps_its_reason_unless_a_deny_gives_one(verdicts, reason):
    rules = [rule(1, verdicts=verdicts)] if verdicts else []
    [result] = run([constraint("t", 0, HOUR)], ["t"], rules=rules)
    assert (result["verdict"], result["reason"]) == ("deny", reason)


def test_zero_window_counts_only_the_same_millisecond():
    engine = engine_for(policy(constraints=[constraint("t", 0, 0)]))
    for _ in range(3):
        time.sleep(0.005)  # every event gets its own millisecond
        result = engine.evaluate("t")
        assert result["constraint_violations"] == [violation(1, 0, 0)]
        assert (
            result["reason"] == "RateLimit exceeded: 1 events in 0ms window (limit: 0)"
        )


def test_short_window_forgets_old_events():
    engine = engine_for(policy(constraints=[constraint("t", 1, 50)]))
    assert engine.evaluate("t")["constraint_violations"] == []
    time.sleep(0.3)
    assert engine.evaluate("t")["constraint_violations"] == []


def test_reset_empties_the_windows():
    engine = engine_for(policy(constraints=[constraint("t", 1, HOUR)]))
    assert currents([engine.evaluate("t") for _ in range(3)]) == [None, 2, 3]
    engine.reset()
    assert currents([engine.evaluate("t") for _ in range(3)]) == [None, 2, 3]


def test_large_window_holds_every_event():
    engine = engine_for(policy(constraints=[constraint("t", 20000, HOUR)]))
    for _ in range(20000):
        result = engine.evaluate("t")
    assert result["constraint_violations"] == []
    assert engine.evaluate("t")["constraint_violations"] == [
        violation(20001, 20000, HOUR)
    ]


def test_constraint_without_matching_events_is_never_consulted():
    results = run([constraint("never", 0, HOUR)], ["t"] * 3)
    assert currents(results) == [None, None, None]
