"""Many calls with mixed inputs, failing ones included, leak nothing."""

import gc
import itertools
import json
import os
import sys

import pytest
from _corvanth_core import PolicyEngine
from halvoc import container
from helpers import engine_for

from corvanth_core.ir import (
    action,
    constraint,
    field,
    lit_dur,
    lit_str,
    machine,
    policy,
    ref,
    rule,
    state,
    transition,
    verdict,
)

PAGE = os.sysconf("SC_PAGE_SIZE")
LONG_TEXT = "a text well beyond the inline capacity of short strings " * 4

DOC = policy(
    name="leaks",
    rules=[
        rule(
            rule_id=1,
            verdicts=[verdict("Deny", lit_str(LONG_TEXT))],
            actions=[
                action("Log", v=field("nested"), d=lit_dur(5), t=lit_str(LONG_TEXT))
            ],
        )
    ],
    constraints=[constraint("t", 1, 1)],
    state_machines=[
        machine(
            states=[state("a"), state("b", "Violated")],
            transitions=[transition(0, 1, "Always")],
            violating=[1],
        )
    ],
)
DOC_JSON = json.dumps(DOC)


class Raising:
    def __str__(self):
        raise ValueError("no text")


class Shrinking:
    def __init__(self, items):
        self.items = items

    def __str__(self):
        del self.items[1:]
        return LONG_TEXT


NUMPY_LIKE_BOOL = type(
    "bool_", (), {"__module__": "numpy", "__bool__": lambda _: True}
)()


def address_sanitizer_loaded():
    """AddressSanitizer keeps freed memory in quarantine, so the resident
    size grows without a leak."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def expect_error(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except (TypeError, ValueError, RuntimeError, OSError, RecursionError):
        return
    raise AssertionError("no error")


class Decided:
    __slots__ = ("_result", "_serial", "held")


def raising(_decision):
    raise ValueError("settle failed")


def decider_round(engine, sentinel):
    """Deciders made, called (settled, failing, admitting) and refused."""
    template = Decided()
    template.held = sentinel
    serials = itertools.count()
    fields = {"nested": [sentinel], "s": LONG_TEXT}
    engine.decider(template, serials, lambda decision: decision)("t", fields)
    expect_error(engine.decider(template, serials, raising), "t", fields)
    engine.decider(template, serials, print, admit=True)("u", fields)
    expect_error(engine.decider(template, iter(()), print), "t", fields)
    expect_error(engine.decider(template, serials, print, clock=lambda: sentinel), "t")
    expect_error(engine.decider, sentinel, serials, print)


def mixed_round(engine, sentinel, deep=None):
    fields = {
        "tool": "http_request",
        "url": LONG_TEXT,
        "n": 2**70,
        "big": 10**30,
        "f": 1.5,
        "flag": True,
        "nested": {"list": [1, "x", None, sentinel, (1, 2)], LONG_TEXT: {"k": b"b"}},
        "sentinel": sentinel,
    }
    engine.evaluate("t", fields)
    engine.evaluate("u")
    engine.evaluate(event_type="t", fields={"s": "\ud800"})
    items = ["a", "b", "c"]
    items[0] = Shrinking(items)
    engine.evaluate("t", {"items": items})
    expect_error(engine.evaluate, "t", {1: sentinel})
    expect_error(engine.evaluate, "t", {"a": sentinel, "b": [sentinel, Raising()]})
    expect_error(engine.evaluate, "t", {"a": sentinel, "\ud800": 1})
    if deep is not None:
        with pytest.raises(RecursionError):
            engine.evaluate("t", {"deep": deep})
    expect_error(engine.evaluate, 5)
    expect_error(engine.evaluate, "t", [sentinel])
    expect_error(engine.evaluate, "\ud800", [sentinel])
    engine.evaluate("t", {"b": NUMPY_LIKE_BOOL, "s": sentinel})
    expect_error(engine.evaluate, "t", foo=sentinel)
    engine.set_context("k", [sentinel, {"x": LONG_TEXT}])
    engine.set_config(LONG_TEXT, sentinel)
    expect_error(engine.set_context, "k", {sentinel: 1})
    decider_round(engine, sentinel)
    repr(engine)
    engine.status()
    assert engine.event_count > 0
    assert engine.policy_name == "leaks"
    if engine.event_count > 1000:
        engine.reset()
    PolicyEngine.from_json(DOC_JSON)
    PolicyEngine.from_bytes(container(DOC_JSON))
    expect_error(PolicyEngine.from_json, DOC_JSON[:-1])
    expect_error(PolicyEngine.from_bytes, b"\0\0\0\0")
    expect_error(PolicyEngine.from_file, "missing-policy.halvoc")


# Deeper than the conversion goes on any supported Python, whatever its
# recursion limit or stack: converting it always fails with RecursionError.
DEEP_NESTING = 100_000
# A failing deep conversion costs milliseconds where the interpreter allows
# thousands of levels, so the leak loops take the deep path every so often.
DEEP_EVERY = 100


def deep_list(depth):
    value = None
    for _ in range(depth):
        value = [value]
    return value


def deep_or_none(round_number, deep):
    return deep if round_number % DEEP_EVERY == 0 else None


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(
    os.path.exists("/proc/self/maps") and address_sanitizer_loaded(),
    reason="AddressSanitizer's quarantine grows the resident size",
)
def test_resident_memory_does_not_grow():
    engine = engine_for(DOC)
    sentinel = object()
    deep = deep_list(DEEP_NESTING)
    for number in range(2000):
        mixed_round(engine, sentinel, deep_or_none(number, deep))
    gc.collect()
    before = resident_bytes()
    for number in range(20000):
        mixed_round(engine, sentinel, deep_or_none(number, deep))
    gc.collect()
    growth = resident_bytes() - before
    # About 400 000 calls: a leak of 16 bytes per call would pass 6 MB.
    assert growth < 2 * 1024 * 1024


def test_references_are_returned():
    engine = engine_for(DOC)
    sentinel = object()
    deep = deep_list(DEEP_NESTING)
    mixed_round(engine, sentinel, deep)
    engine.set_context("k", None)
    engine.set_config(LONG_TEXT, None)
    gc.collect()
    counts = (sys.getrefcount(sentinel), sys.getrefcount(PolicyEngine))
    for number in range(500):
        mixed_round(engine, sentinel, deep_or_none(number, deep))
    engine.set_context("k", None)
    engine.set_config(LONG_TEXT, None)
    gc.collect()
    assert (sys.getrefcount(sentinel), sys.getrefcount(PolicyEngine)) == counts


def test_result_objects_are_released():
    engine = engine_for(DOC)
    result = engine.evaluate("t", {"nested": [1, 2]})
    actions = result["actions"]
    args = actions[0]["args"]
    nested = args["v"]
    del result
    # Each is held by this frame alone once its container is gone (the
    # second reference is getrefcount's argument).
    assert sys.getrefcount(actions) == 2
    del actions
    assert sys.getrefcount(args) == 2
    del args
    assert sys.getrefcount(nested) == 2


@pytest.mark.parametrize(
    ("setter", "root"), [("set_context", "Context"), ("set_config", "Policy")]
)
def test_held_strings_follow_their_key(setter, root):
    # A result may hand out the very str a context or configuration value
    # was stored as: the engine keeps a reference to it, which must go when
    # the key takes another value or the engine goes, and a result must
    # never show a value the key no longer holds.
    doc = policy(
        name="held",
        rules=[rule(rule_id=1, actions=[action("Log", s=ref(root, "k"))])],
    )
    engine = engine_for(doc)
    first, second = ("".join(["held-", str(n)]) for n in (1, 2))
    getattr(engine, setter)("k", first)
    baseline = sys.getrefcount(second)
    assert engine.evaluate("t")["actions"][0]["args"]["s"] == "held-1"
    getattr(engine, setter)("k", second)
    assert engine.evaluate("t")["actions"][0]["args"]["s"] == "held-2"
    assert sys.getrefcount(first) == 2  # this frame's name and the argument
    getattr(engine, setter)("k", 7)
    assert engine.evaluate("t")["actions"][0]["args"]["s"] == 7
    assert sys.getrefcount(second) == baseline
    getattr(engine, setter)("k", second)
    del engine
    assert sys.getrefcount(second) == baseline
