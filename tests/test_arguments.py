"""Argument errors of every member, in the interpreter's usual wording."""

import json

import pytest
from _corvanth_core import PolicyEngine
from halvoc import container
from helpers import engine_for

from corvanth_core.ir import RESULT_KEYS, policy

GOOD_JSON = json.dumps(policy(name="p"))


@pytest.fixture
def engine():
    return engine_for(policy(name="demo"))


# (member, args, kwargs, message); the member is looked up on an engine.
CASES = [
    # evaluate(event_type, fields=None)
    (
        "evaluate",
        (),
        {},
        "PolicyEngine.evaluate() missing required argument 'event_type' (pos 1)",
    ),
    (
        "evaluate",
        ("t", None, None),
        {},
        "PolicyEngine.evaluate() takes at most 2 arguments (3 given)",
    ),
    (
        "evaluate",
        ("t", None, None),
        {"foo": 1},
        "PolicyEngine.evaluate() takes at most 2 arguments (3 given)",
    ),
    (
        "evaluate",
        ("t",),
        {"foo": 1},
        "'foo' is an invalid keyword argument for PolicyEngine.evaluate()",
    ),
    (
        "evaluate",
        (),
        {"fields": {}},
        "PolicyEngine.evaluate() missing required argument 'event_type' (pos 1)",
    ),
    (
        "evaluate",
        (),
        {"foo": 1},
        "PolicyEngine.evaluate() missing required argument 'event_type' (pos 1)",
    ),
    (
        "evaluate",
        ("t",),
        {"event_type": "u"},
        (
            "argument for PolicyEngine.evaluate() given by name ('event_type') "
            "and position (1)"
        ),
    ),
    (
        "evaluate",
        ("t", {}),
        {"fields": {}},
        (
            "argument for PolicyEngine.evaluate() given by name ('fields') "
            "and position (2)"
        ),
    ),
    (
        "evaluate",
        ("t",),
        {"event_type": "u", "foo": 1},
        (
            "argument for PolicyEngine.evaluate() given by name ('event_type') "
            "and position (1)"
        ),
    ),
    (
        "evaluate",
        ("t",),
        {"\udc80": 1},
        "'\udc80' is an invalid keyword argument for PolicyEngine.evaluate()",
    ),
    (
        "evaluate",
        (42,),
        {},
        "PolicyEngine.evaluate() argument 'event_type' must be str, not int",
    ),
    (
        "evaluate",
        (None,),
        {},
        "PolicyEngine.evaluate() argument 'event_type' must be str, not None",
    ),
    (
        "evaluate",
        (b"t",),
        {},
        "PolicyEngine.evaluate() argument 'event_type' must be str, not bytes",
    ),
    (
        "evaluate",
        (42, [1]),
        {},
        "PolicyEngine.evaluate() argument 'event_type' must be str, not int",
    ),
    (
        "evaluate",
        ("t", [("tool", "x")]),
        {},
        "PolicyEngine.evaluate() argument 'fields' must be dict or None, not list",
    ),
    (
        "evaluate",
        ("t", "x"),
        {},
        "PolicyEngine.evaluate() argument 'fields' must be dict or None, not str",
    ),
    (
        "evaluate",
        (),
        {"event_type": "t", "fields": ()},
        "PolicyEngine.evaluate() argument 'fields' must be dict or None, not tuple",
    ),
    # set_context(key, value) and set_config(key, value)
    (
        "set_context",
        (),
        {},
        "PolicyEngine.set_context() missing required argument 'key' (pos 1)",
    ),
    (
        "set_context",
        ("k",),
        {},
        "PolicyEngine.set_context() missing required argument 'value' (pos 2)",
    ),
    (
        "set_context",
        (),
        {"value": 1},
        "PolicyEngine.set_context() missing required argument 'key' (pos 1)",
    ),
    (
        "set_context",
        ("k", 1, 2),
        {},
        "PolicyEngine.set_context() takes exactly 2 arguments (3 given)",
    ),
    (
        "set_context",
        ("k", 1),
        {"key": "k"},
        (
            "argument for PolicyEngine.set_context() given by name ('key') "
            "and position (1)"
        ),
    ),
    (
        "set_context",
        ("k", 1),
        {"other": 1},
        "'other' is an invalid keyword argument for PolicyEngine.set_context()",
    ),
    (
        "set_context",
        (1, 2),
        {},
        "PolicyEngine.set_context() argument 'key' must be str, not int",
    ),
    (
        "set_config",
        (),
        {},
        "PolicyEngine.set_config() missing required argument 'key' (pos 1)",
    ),
    (
        "set_config",
        ("k",),
        {},
        "PolicyEngine.set_config() missing required argument 'value' (pos 2)",
    ),
    (
        "set_config",
        ("k", 1, 2),
        {},
        "PolicyEngine.set_config() takes exactly 2 arguments (3 given)",
    ),
    (
        "set_config",
        ("k",),
        {"value": 1, "key": "k"},
        "argument for PolicyEngine.set_config() given by name ('key') and position (1)",
    ),
    (
        "set_config",
        ("k", 1),
        {"other": 1},
        "'other' is an invalid keyword argument for PolicyEngine.set_config()",
    ),
    (
        "set_config",
        (None, 2),
        {},
        "PolicyEngine.set_config() argument 'key' must be str, not None",
    ),
    # reset() and status()
    ("reset", (1,), {}, "PolicyEngine.reset() takes no arguments (1 given)"),
    ("reset", (), {"x": 1}, "PolicyEngine.reset() takes no keyword arguments"),
    ("status", (1, 2), {}, "PolicyEngine.status() takes no arguments (2 given)"),
    ("status", (), {"x": 1}, "PolicyEngine.status() takes no keyword arguments"),
    # the factories
    (
        "from_file",
        (),
        {},
        "PolicyEngine.from_file() missing required argument 'path' (pos 1)",
    ),
    (
        "from_file",
        ("a", "b"),
        {},
        "PolicyEngine.from_file() takes exactly 1 argument (2 given)",
    ),
    (
        "from_file",
        ("a",),
        {"path": "a"},
        "argument for PolicyEngine.from_file() given by name ('path') and position (1)",
    ),
    (
        "from_file",
        (),
        {"path": "a", "mode": "r"},
        "'mode' is an invalid keyword argument for PolicyEngine.from_file()",
    ),
    (
        "from_bytes",
        (),
        {},
        "PolicyEngine.from_bytes() missing required argument 'data' (pos 1)",
    ),
    (
        "from_bytes",
        (b"", b""),
        {},
        "PolicyEngine.from_bytes() takes exactly 1 argument (2 given)",
    ),
    (
        "from_bytes",
        (),
        {"bytes": b""},
        "PolicyEngine.from_bytes() missing required argument 'data' (pos 1)",
    ),
    (
        "from_bytes",
        (b"",),
        {"data": b""},
        (
            "argument for PolicyEngine.from_bytes() given by name ('data') "
            "and position (1)"
        ),
    ),
    (
        "from_json",
        (),
        {},
        "PolicyEngine.from_json() missing required argument 'json_str' (pos 1)",
    ),
    (
        "from_json",
        ("{}", "{}", "{}"),
        {},
        "PolicyEngine.from_json() takes exactly 1 argument (3 given)",
    ),
    (
        "from_json",
        ("{}",),
        {"strict": True},
        "'strict' is an invalid keyword argument for PolicyEngine.from_json()",
    ),
]


@pytest.mark.parametrize("member, args, kwargs, message", CASES)
def test_argument_errors(engine, member, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        getattr(engine, member)(*args, **kwargs)
    assert type(raised.value) is TypeError
    assert str(raised.value) == message
    assert engine.event_count == 0


@pytest.mark.parametrize(
    "member, args, kwargs", [(m, a, k) for m, a, k, _ in CASES if m.startswith("from")]
)
def test_factory_errors_on_the_class_match(member, args, kwargs):
    on_engine = on_class = None
    try:
        getattr(engine_for(policy()), member)(*args, **kwargs)
    except TypeError as error:
        on_engine = str(error)
    try:
        getattr(PolicyEngine, member)(*args, **kwargs)
    except TypeError as error:
        on_class = str(error)
    assert on_class is not None
    assert on_class == on_engine


@pytest.mark.parametrize(
    "call",
    [
        lambda e: e.evaluate("t"),
        lambda e: e.evaluate("t", None),
        lambda e: e.evaluate("t", {}),
        lambda e: e.evaluate("t", fields=None),
        lambda e: e.evaluate(event_type="t"),
        lambda e: e.evaluate(fields={"tool": "x"}, event_type="t"),
        lambda e: e.evaluate(event_type="t", fields={"tool": "x"}),
    ],
)
def test_accepted_evaluate_calls(engine, call):
    assert tuple(call(engine)) == RESULT_KEYS
    assert engine.event_count == 1


@pytest.mark.parametrize(
    "call",
    [
        lambda e: e.set_context(key="k", value=1),
        lambda e: e.set_context("k", value=1),
        lambda e: e.set_config(value=1, key="k"),
        lambda e: e.set_config("k", 1),
    ],
)
def test_accepted_setter_calls(engine, call):
    assert call(engine) is None


@pytest.mark.parametrize(
    "call",
    [
        lambda: PolicyEngine.from_json(json_str=GOOD_JSON),
        lambda: PolicyEngine.from_bytes(data=container(GOOD_JSON)),
    ],
)
def test_accepted_factory_keywords(call):
    assert call().policy_name == "p"


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: PolicyEngine.evaluate(42, "t"),
            (
                "descriptor 'evaluate' for 'PolicyEngine' objects doesn't apply "
                "to a 'int' object"
            ),
        ),
        (
            lambda: PolicyEngine.set_context("k", "k", 1),
            (
                "descriptor 'set_context' for 'PolicyEngine' objects doesn't apply "
                "to a 'str' object"
            ),
        ),
        (
            lambda: PolicyEngine.set_config(None, "k", 1),
            (
                "descriptor 'set_config' for 'PolicyEngine' objects doesn't apply "
                "to a 'NoneType' object"
            ),
        ),
        (
            lambda: PolicyEngine.reset(object()),
            (
                "descriptor 'reset' for 'PolicyEngine' objects doesn't apply "
                "to a 'object' object"
            ),
        ),
        (
            lambda: PolicyEngine.status([]),
            (
                "descriptor 'status' for 'PolicyEngine' objects doesn't apply "
                "to a 'list' object"
            ),
        ),
        (
            lambda: PolicyEngine.evaluate(),
            "unbound method PolicyEngine.evaluate() needs an argument",
        ),
        (
            lambda: PolicyEngine.event_count.__get__(42),
            (
                "descriptor 'event_count' for 'PolicyEngine' objects doesn't apply "
                "to a 'int' object"
            ),
        ),
        (
            lambda: PolicyEngine.policy_name.__get__("x"),
            (
                "descriptor 'policy_name' for 'PolicyEngine' objects doesn't apply "
                "to a 'str' object"
            ),
        ),
        (
            lambda: PolicyEngine.__repr__(42),
            (
                "descriptor '__repr__' requires a 'PolicyEngine' object but "
                "received a 'int'"
            ),
        ),
    ],
)
def test_wrong_receiver(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


SURROGATE_MESSAGE = (
    "'utf-8' codec can't encode character '\\ud800' in position 0: "
    "surrogates not allowed"
)


@pytest.mark.parametrize(
    "call",
    [
        # The text of event_type is read before fields is classified.
        lambda e: e.evaluate("\ud800", [("tool", "x")]),
        lambda e: e.evaluate(fields=5, event_type="\ud800"),
        lambda e: e.set_context("\ud800", object()),
        lambda e: e.set_config(key="\ud800", value=1),
        lambda e: e.from_json("\ud800"),
    ],
)
def test_text_arguments_without_utf8_form_fail_in_parameter_order(engine, call):
    with pytest.raises(UnicodeEncodeError) as raised:
        call(engine)
    assert str(raised.value) == SURROGATE_MESSAGE
    assert engine.event_count == 0
