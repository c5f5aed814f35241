"""Explicit time: evaluate_at and reset_at make windows and deadlines exact."""

import pytest
from helpers import engine_for, outcome

from corvanth_core.ir import (
    action,
    constraint,
    machine,
    policy,
    ref,
    rule,
    state,
    transition,
)

try:
    import numpy
except ImportError:
    numpy = None

U64_MAX = 2**64 - 1
RANGE_TEXT = "must be between 0 and 18446744073709551615"


def counts(engine, stamps, event_type="t"):
    """The reported window count of each event, None when within the limit."""
    out = []
    for stamp in stamps:
        violations = engine.evaluate_at(stamp, event_type)["constraint_violations"]
        out.append(violations[0]["current"] if violations else None)
    return out


def limited(limit, window):
    return engine_for(policy(constraints=[constraint("t", limit, window)]))


# (limit, window, timestamps, reported counts)
WINDOW_CASES = [
    # The entry exactly on the cutoff (61000 - 60000) still counts.
    (1, 60000, [1000, 61000], [None, 2]),
    # One millisecond later it has left the window.
    (1, 60000, [1000, 61001], [None, None]),
    # Window 0: only entries with the same timestamp (or later) count.
    (0, 0, [5, 5, 6, 6, 6], [1, 2, 1, 2, 3]),
    (1, 0, [5, 5, 4], [None, 2, 3]),
    # A timestamp below the window length has cutoff 0: entry 0 stays.
    (1, 100, [0, 99, 100], [None, 2, 3]),
    # Out of order: a later entry stays for an earlier event, and the
    # earlier event prunes only what is older than its own cutoff.
    (0, 1000, [5000, 3000, 4000, 4001], [1, 2, 3, 3]),
    (2, 1000, [5000, 3000, 4000], [None, None, 3]),
    (1, 1000, [5000, 3000, 6001, 3000], [None, 2, None, 2]),
    # limit 0: every event is reported, 1 for the first one.
    (0, 1000, [10, 2000, 2500], [1, 1, 2]),
    # The extremes of the timestamp range.
    (1, 1, [U64_MAX - 1, U64_MAX, U64_MAX], [None, 2, 3]),
    (1, U64_MAX, [0, U64_MAX], [None, 2]),
]


@pytest.mark.parametrize("limit, window, stamps, expected", WINDOW_CASES)
def test_rate_windows_by_explicit_time(limit, window, stamps, expected):
    assert counts(limited(limit, window), stamps) == expected


def test_denied_events_count_against_later_ones():
    engine = limited(2, 1000)
    assert counts(engine, [0, 0, 0, 999, 1000, 1001]) == [None, None, 3, 4, 5, 3]


def test_exceeded_result_in_full():
    engine = limited(1, 60000)
    engine.evaluate_at(1000, "t")
    assert outcome(engine.evaluate_at(61000, "t")) == {
        "verdict": "deny",
        "reason": "RateLimit exceeded: 2 events in 60000ms window (limit: 1)",
        "triggered_rules": [],
        "actions": [],
        "violations": [],
        "constraint_violations": [
            {
                "kind": "RateLimit",
                "target": "t",
                "limit": 1,
                "current": 2,
                "window_ms": 60000,
            }
        ],
    }


def test_other_event_types_leave_the_window_alone():
    engine = limited(1, 1000)
    assert counts(engine, [0]) == [None]
    assert counts(engine, [10, 20], event_type="u") == [None, None]
    assert counts(engine, [1000]) == [2]


def timeout_engine(deadline, start):
    """A machine that moves to a violating state on its Timeout transition
    and otherwise stays put; reset to start at `start`."""
    engine = engine_for(
        policy(
            state_machines=[
                machine(
                    name="deadline",
                    invariant="on_time",
                    states=[state("waiting"), state("late", "Violated")],
                    transitions=[transition(0, 1, "Timeout")],
                    violating=[1],
                    deadline_millis=deadline,
                )
            ]
        )
    )
    engine.reset_at(start)
    return engine


def late(result):
    return [v["message"] for v in result["violations"]]


LATE = "Invariant `on_time` in proof `deadline` violated by event `t`"


# (deadline, start, event time, whether the timeout fires)
DEADLINE_CASES = [
    (1000, 10000, 10999, False),
    (1000, 10000, 11000, True),  # reached exactly
    (1000, 10000, 11001, True),
    (1000, 10000, 5000, False),  # earlier than the start: elapsed 0
    (0, 10000, 5000, True),  # ... which reaches only a deadline of 0
    (0, 10000, 10000, True),
    (U64_MAX, 0, U64_MAX, True),
    (U64_MAX, 1, U64_MAX, False),
    (1, U64_MAX, U64_MAX, False),
]


@pytest.mark.parametrize("deadline, start, stamp, fires", DEADLINE_CASES)
def test_deadlines_by_explicit_time(deadline, start, stamp, fires):
    result = timeout_engine(deadline, start).evaluate_at(stamp, "t")
    assert late(result) == ([LATE] if fires else [])
    assert result["verdict"] == ("deny" if fires else "allow")


def test_deadline_counts_from_the_last_reset_at():
    engine = timeout_engine(1000, 0)
    assert late(engine.evaluate_at(999, "t")) == []
    engine.reset_at(500)
    assert late(engine.evaluate_at(1499, "t")) == []
    assert late(engine.evaluate_at(1500, "t")) == [LATE]
    # At rest in the violating state afterwards, whatever the time.
    assert late(engine.evaluate_at(0, "t")) == [
        "Invariant `on_time` in proof `deadline` is violated"
    ]
    engine.reset_at(10**6)
    assert late(engine.evaluate_at(0, "t")) == []


def test_reset_at_empties_windows_and_the_count():
    engine = limited(1, 10**9)
    assert counts(engine, [1, 2]) == [None, 2]
    engine.reset_at(3)
    assert engine.event_count == 0
    assert counts(engine, [4]) == [None]
    assert engine.event_count == 1


def test_reset_at_keeps_context_and_config():
    engine = engine_for(
        policy(rules=[rule(actions=[action("Log", c=ref("Context", "k"))])])
    )
    engine.set_context("k", 7)
    engine.reset_at(0)
    assert engine.evaluate_at(0, "t")["actions"] == [{"verb": "Log", "args": {"c": 7}}]


@pytest.mark.parametrize("stamp", [0, 1, 1733650000123, 2**63, U64_MAX])
def test_expressions_see_the_given_timestamp(stamp):
    engine = engine_for(policy(rules=[rule(actions=[action("Log", e=ref("Event"))])]))
    args = engine.evaluate_at(stamp, "t", {"f": 1})["actions"][0]["args"]
    assert args == {"e": {"f": 1, "type": "t", "timestamp": stamp}}


def test_same_result_as_evaluate_but_for_the_time():
    doc = policy(
        rules=[rule(on_events=["t"], actions=[action("Tag", f=ref("Event", "f"))])]
    )
    fields = {"f": [1, "x", None]}
    assert outcome(engine_for(doc).evaluate_at(0, "t", fields)) == outcome(
        engine_for(doc).evaluate("t", fields)
    )


class IntSubclass(int):
    pass


class IndexLike:
    def __index__(self):
        return 42


ACCEPTED_TIMESTAMPS = [0, U64_MAX, IntSubclass(9), IndexLike()]
if numpy is not None:
    ACCEPTED_TIMESTAMPS += [numpy.uint64(U64_MAX), numpy.int64(7)]


@pytest.mark.parametrize("stamp", ACCEPTED_TIMESTAMPS)
def test_integer_like_timestamps_are_accepted(stamp):
    engine = engine_for(policy(rules=[rule(actions=[action("Log", e=ref("Event"))])]))
    expected = stamp.__index__()
    assert engine.evaluate_at(stamp, "t")["actions"][0]["args"]["e"]["timestamp"] == (
        expected
    )
    assert engine.reset_at(stamp) is None


class BrokenIndex:
    def __index__(self):
        raise ZeroDivisionError("no index")


BAD_TIMESTAMPS = [
    (True, TypeError, "must be int, not bool"),
    (False, TypeError, "must be int, not bool"),
    (1.0, TypeError, "must be int, not float"),
    ("5", TypeError, "must be int, not str"),
    (None, TypeError, "must be int, not None"),
    ([1], TypeError, "must be int, not list"),
    (-1, OverflowError, RANGE_TEXT),
    (-(2**70), OverflowError, RANGE_TEXT),
    (2**64, OverflowError, RANGE_TEXT),
    (10**30, OverflowError, RANGE_TEXT),
]
if numpy is not None:
    BAD_TIMESTAMPS += [
        (numpy.True_, TypeError, "must be int, not numpy.bool"),
        (numpy.int64(-1), OverflowError, RANGE_TEXT),
        (numpy.float64(1.0), TypeError, "must be int, not numpy.float64"),
    ]


@pytest.mark.parametrize("value, error, text", BAD_TIMESTAMPS)
@pytest.mark.parametrize(
    "member, call",
    [
        ("evaluate_at", lambda e, v: e.evaluate_at(v, "t")),
        ("evaluate_at", lambda e, v: e.evaluate_at(event_type="t", timestamp_ms=v)),
        ("reset_at", lambda e, v: e.reset_at(v)),
        ("reset_at", lambda e, v: e.reset_at(timestamp_ms=v)),
    ],
)
def test_bad_timestamps(member, call, value, error, text):
    engine = limited(0, 0)
    engine.evaluate_at(0, "t")
    with pytest.raises(error) as raised:
        call(engine, value)
    assert type(raised.value) is error
    assert (
        str(raised.value) == f"PolicyEngine.{member}() argument 'timestamp_ms' {text}"
    )
    # Nothing changed: the count and the window are as before.
    assert engine.event_count == 1
    assert counts(engine, [0]) == [2]


def test_an_exception_from_index_propagates():
    engine = limited(0, 0)
    with pytest.raises(ZeroDivisionError, match="no index"):
        engine.evaluate_at(BrokenIndex(), "t")
    assert engine.event_count == 0


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda e: e.evaluate_at(0),
            TypeError,
            "PolicyEngine.evaluate_at() missing required argument 'event_type' (pos 2)",
        ),
        (
            lambda e: e.evaluate_at(),
            TypeError,
            (
                "PolicyEngine.evaluate_at() missing required argument 'timestamp_ms' "
                "(pos 1)"
            ),
        ),
        (
            lambda e: e.evaluate_at(0, "t", None, None),
            TypeError,
            "PolicyEngine.evaluate_at() takes at most 3 arguments (4 given)",
        ),
        (
            lambda e: e.evaluate_at(0, 42),
            TypeError,
            "PolicyEngine.evaluate_at() argument 'event_type' must be str, not int",
        ),
        (
            lambda e: e.evaluate_at(0, "t", [("f", 1)]),
            TypeError,
            (
                "PolicyEngine.evaluate_at() argument 'fields' must be dict or None, "
                "not list"
            ),
        ),
        (
            lambda e: e.evaluate_at(0, "t", {1: 2}),
            TypeError,
            "keys must be str, not int",
        ),
        (
            lambda e: e.evaluate_at(0, "t", when=1),
            TypeError,
            "'when' is an invalid keyword argument for PolicyEngine.evaluate_at()",
        ),
        (
            lambda e: e.reset_at(),
            TypeError,
            "PolicyEngine.reset_at() missing required argument 'timestamp_ms' (pos 1)",
        ),
        (
            lambda e: e.reset_at(0, 1),
            TypeError,
            "PolicyEngine.reset_at() takes exactly 1 argument (2 given)",
        ),
        (
            lambda e: e.reset_at(0, timestamp_ms=1),
            TypeError,
            (
                "argument for PolicyEngine.reset_at() given by name ('timestamp_ms') "
                "and position (1)"
            ),
        ),
    ],
)
def test_argument_errors(call, error, message):
    engine = limited(0, 0)
    with pytest.raises(error) as raised:
        call(engine)
    assert str(raised.value) == message
    assert engine.event_count == 0


def test_docstrings_and_signatures():
    from _corvanth_core import PolicyEngine

    assert PolicyEngine.evaluate_at.__text_signature__ == (
        "($self, timestamp_ms, event_type, fields=None)"
    )
    assert PolicyEngine.reset_at.__text_signature__ == "($self, timestamp_ms)"
    assert PolicyEngine.evaluate_at.__doc__.startswith(
        "Evaluate an event stamped with the given time"
    )
    assert PolicyEngine.reset_at.__doc__.startswith("Reset the engine state")
