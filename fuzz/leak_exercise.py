"""One pass over every member of the binding, failing calls included, for a
leak checker (valgrind or LeakSanitizer). It checks nothing beyond the
exception types; the checker's report is the outcome.

    PYTHONMALLOC=malloc PYTHONPATH=build-vg/core-module valgrind \
        --leak-check=full --errors-for-leak-kinds=definite \
        python fuzz/leak_exercise.py 2
"""

import json
import os
import pathlib
import sys
import tempfile
from decimal import Decimal
from fractions import Fraction

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "cases"))

import _corvanth_core
import numpy
from _corvanth_core import PolicyEngine
from halvoc import container
from helpers import engine_for
from hypothesis import HealthCheck, assume, given, settings
from policy_strategies import (
    ECHO,
    JSON_DEPTH_LIMIT,
    check_policy,
    check_round_trip,
    events,
    json_depth,
    policies,
    python_values,
)

from corvanth_core.ir import policy

EXAMPLE = pathlib.Path(__file__).parent.parent / "examples" / "coding_agent_guard.json"
LONG = "a text well beyond the inline capacity of short strings " * 3


def fails(expected, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except expected:
        return
    raise AssertionError(f"{call} did not raise {expected}")


class Raising:
    def __str__(self):
        raise LookupError(LONG)


class Index:
    def __index__(self):
        return 7


def module_and_type():
    assert _corvanth_core.__version__ == "0.1.0"
    assert _corvanth_core.__all__ == ["PolicyEngine", "__version__"]
    fails(TypeError, PolicyEngine)
    fails(TypeError, type, "Sub", (PolicyEngine,), {})
    assert PolicyEngine.__doc__


def factories(workdir):
    text = EXAMPLE.read_text()
    data = container(text)
    good = workdir / "guard.halvoc"
    good.write_bytes(data)
    bad = workdir / "bad.halvoc"
    bad.write_bytes(data[:10])
    PolicyEngine.from_json(text)
    PolicyEngine.from_json(json_str=text)
    PolicyEngine.from_bytes(data)
    PolicyEngine.from_bytes(data + b"extra")
    PolicyEngine.from_file(str(good))
    PolicyEngine.from_file(good)
    PolicyEngine.from_file(bytes(good))
    for broken in ["", "{", "[]", text[:-2], text.replace('"High"', '"Huge"')]:
        fails(ValueError, PolicyEngine.from_json, broken)
    for broken in [
        b"",
        b"\0" * 12,
        data[:-1],
        container(b"{\xff}"),
        container(text, length=2**32 - 1),
    ]:
        fails(RuntimeError, PolicyEngine.from_bytes, broken)
    fails(FileNotFoundError, PolicyEngine.from_file, str(workdir / "missing"))
    fails(RuntimeError, PolicyEngine.from_file, str(workdir))
    fails(RuntimeError, PolicyEngine.from_file, str(bad))
    for call, arg in [
        (PolicyEngine.from_json, b"{}"),
        (PolicyEngine.from_bytes, bytearray(data)),
        (PolicyEngine.from_file, 42),
        (PolicyEngine.from_json, "\ud800"),
        (PolicyEngine.from_file, "\ud800"),
    ]:
        fails((TypeError, UnicodeEncodeError, ValueError, RuntimeError), call, arg)
    fails(TypeError, PolicyEngine.from_json)
    fails(TypeError, PolicyEngine.from_json, text, text)
    fails(TypeError, PolicyEngine.from_json, text, json_str=text)
    fails(TypeError, PolicyEngine.from_json, nope=text)


def members():
    engine = PolicyEngine.from_json(EXAMPLE.read_text())
    values = [
        None,
        True,
        numpy.bool_(False),
        -(2**63),
        2**63,
        10**400,
        1.5,
        float("nan"),
        Decimal("1.5"),
        Fraction(1, 3),
        Index(),
        numpy.int64(3),
        LONG,
        "\ud800" + LONG,
        (1, LONG),
        b"ab",
        {1, 2},
        1j,
        [1, [LONG, {"k": [None, 2.5]}]],
        {LONG: {LONG: [LONG]}},
    ]
    for value in values:
        engine.evaluate("tool_call", {"tool": "shell", "command": value})
        engine.set_context(LONG, value)
        engine.set_config("k", value)
    engine.evaluate("tool_call")
    engine.evaluate("tool_call", None)
    engine.evaluate(event_type="web_request", fields={"host": LONG})
    for fields, error in [
        ({1: "x"}, TypeError),
        ({"\ud800": 1}, UnicodeEncodeError),
        ({"a": LONG, "b": [LONG, Raising()]}, LookupError),
        ({"a": {"b": {2: LONG}}}, TypeError),
        ([("tool", "x")], TypeError),
    ]:
        fails(error, engine.evaluate, "tool_call", fields)
    fails(TypeError, engine.evaluate, 42)
    fails(TypeError, engine.evaluate, "t", {}, {})
    fails(TypeError, engine.evaluate, "t", fields={}, other=1)
    fails(TypeError, engine.evaluate, "t", event_type="t")
    fails(UnicodeEncodeError, engine.evaluate, "\ud800")
    fails(TypeError, engine.set_context, 1, 1)
    fails(LookupError, engine.set_context, "k", [Raising()])
    fails(TypeError, engine.set_config, "k", {LONG: 1, 2: LONG})
    fails(TypeError, engine.set_config, "k")
    fails(TypeError, engine.reset, 1)
    fails(TypeError, engine.status, 1)
    fails(TypeError, PolicyEngine.evaluate, object(), "t")
    fails(AttributeError, setattr, engine, "policy_name", "x")
    fails(AttributeError, setattr, engine, "event_count", 1)
    fails(AttributeError, setattr, engine, "other", 1)
    assert engine.policy_name == "coding_agent_guard"
    assert engine.event_count > 0
    assert str(engine) == repr(engine)
    engine.status()
    engine.reset()
    engine.status()
    del engine


@settings(
    max_examples=25,
    derandomize=True,
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)
@given(doc=policies, evs=events)
def random_policies(doc, evs):
    assume(json_depth(doc) < JSON_DEPTH_LIMIT)
    check_policy(doc, evs)


@settings(
    max_examples=100,
    derandomize=True,
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)
@given(value=python_values)
def random_values(value):
    check_round_trip(value)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 1
    with tempfile.TemporaryDirectory() as tmp:
        for _ in range(rounds):
            module_and_type()
            factories(pathlib.Path(tmp))
            members()
    engine_for(ECHO).evaluate("t", {"v": json.loads(json.dumps(policy()))})
    random_policies()
    random_values()
    print("exercised")


if __name__ == "__main__":
    main()
