"""PolicyEngine.decider: the result evaluate_at gives, in a copy of the
template; settle only for results with actions (and, admitting, for any
result that is not a plain allow); the errors of a bad template, serials,
settle or clock; nothing kept alive by a cycle."""

import gc
import itertools
import weakref

import pytest
from helpers import engine_for

from corvanth_core.ir import action, binary, field, lit_str, policy, rule, verdict

START_MS = 1_800_000_000_000
DOC = policy(
    name="decider",
    rules=[
        rule(
            1,
            ["tool_call"],
            binary("Eq", field("tool"), lit_str("delete")),
            [verdict("Deny", lit_str("no deleting"))],
            [action("Log", path=field("path"))],
        ),
        rule(
            2,
            ["tool_call"],
            binary("Eq", field("tool"), lit_str("wipe")),
            [verdict("Deny", lit_str("no wiping"))],
        ),
        rule(
            3,
            ["tool_call"],
            binary("Eq", field("tool"), lit_str("pay")),
            [verdict("Audit", lit_str("audited"))],
        ),
    ],
)
EVENTS = [
    {"tool": "read"},
    {"tool": "delete", "path": "/srv"},
    {"tool": "wipe"},
    {"tool": "pay"},
    {"tool": "read"},
]


class Made:
    __slots__ = ("_result", "_serial", "tag")

    def __init__(self, tag):
        self._serial = 0
        self._result = None
        self.tag = tag


def settled(decision):
    return ("settled", decision)


def started_engine():
    engine = engine_for(DOC)
    engine.reset_at(START_MS)
    return engine


@pytest.mark.parametrize("admit", [False, True])
def test_decisions_hold_what_evaluate_at_gives(admit):
    twin = started_engine()
    clock = itertools.count(START_MS, 100).__next__
    decide = started_engine().decider(
        Made("t"), itertools.count(7), settled, admit=admit, clock=clock
    )
    serials = itertools.count(7)
    for number, fields in enumerate(EVENTS):
        expected = twin.evaluate_at(START_MS + 100 * number, "tool_call", fields)
        got = decide("tool_call", fields, "surface")
        plain = expected["verdict"] != "deny" and not expected["actions"]
        if admit and plain:
            assert got == expected["verdict"]
            continue
        if not admit and not expected["actions"]:
            decision = got
        else:
            assert got[0] == "settled"
            decision = got[1]
        assert type(decision) is Made and decision.tag == "t"
        assert decision._serial == next(serials)
        del expected["eval_time_us"], decision._result["eval_time_us"]
        assert list(decision._result.items()) == list(expected.items())


class WithDict:
    pass


class NoResult:
    __slots__ = ("_serial",)


class OnDict(WithDict):
    __slots__ = ("_result", "_serial")


TEMPLATE = "an object whose class object.__new__ makes, with slots _serial and _result"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (
            (WithDict(), iter(()), print),
            {},
            f"'template' must be {TEMPLATE}, not WithDict",
        ),
        (
            (NoResult(), iter(()), print),
            {},
            f"'template' must be {TEMPLATE}, not NoResult",
        ),
        ((OnDict(), iter(()), print), {}, f"'template' must be {TEMPLATE}, not OnDict"),
        ((5, iter(()), print), {}, f"'template' must be {TEMPLATE}, not int"),
        ((Made(1), [1], print), {}, "'serials' must be an iterator, not list"),
        ((Made(1), iter(()), 3), {}, "'settle' must be callable, not int"),
        (
            (Made(1), iter(()), print),
            {"clock": 3},
            "'clock' must be callable or None, not int",
        ),
    ],
)
def test_what_a_decider_refuses(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        engine_for(DOC).decider(*args, **kwargs)
    assert str(raised.value) == f"PolicyEngine.decider() argument {message}"


@pytest.mark.parametrize(
    "clock, serials, error, message",
    [
        (None, iter(()), RuntimeError, "the decider's serials ran out"),
        (
            lambda: "now",
            iter([1]),
            TypeError,
            "PolicyEngine.evaluate_at() argument 'timestamp_ms' must be int, not str",
        ),
        (
            lambda: -1,
            iter([1]),
            OverflowError,
            (
                "PolicyEngine.evaluate_at() argument 'timestamp_ms' must be "
                "between 0 and 18446744073709551615"
            ),
        ),
    ],
)
def test_a_call_that_cannot_decide_raises(clock, serials, error, message):
    decide = engine_for(DOC).decider(Made(1), serials, settled, clock=clock)
    with pytest.raises(error) as raised:
        decide("tool_call", {"tool": "read"})
    assert str(raised.value) == message
    with pytest.raises(
        TypeError, match=r"^PolicyEngine.evaluate\(\) argument 'fields'"
    ):
        decide("tool_call", [])


def test_a_decider_in_a_cycle_is_collected():
    class Settle:
        def __call__(self, decision):
            return decision

    settle = Settle()
    settle.decider = engine_for(DOC).decider(Made(1), itertools.count(), settle)
    gone = weakref.ref(settle)
    del settle
    gc.collect()
    assert gone() is None
