"""The module _corvanth_core and the facts of the PolicyEngine class."""

import gc
import importlib
import importlib.metadata
import subprocess
import sys
import textwrap
import weakref

import _corvanth_core
import pytest
from _corvanth_core import PolicyEngine
from helpers import engine_for

from corvanth_core.ir import policy

TPFLAGS_BASETYPE = 1 << 10
TPFLAGS_HAVE_GC = 1 << 14

CLASS_DOC = (
    "The Corvanth policy engine.\n"
    "\n"
    "Load a compiled policy and evaluate agent events against it.\n"
    "\n"
    "Example:\n"
    '    engine = PolicyEngine.from_file("guard.halvoc")\n'
    '    result = engine.evaluate("tool_call", {"tool": "http_request",'
    ' "url": "https://example.com"})\n'
    '    if result["verdict"] == "deny":\n'
    '        raise PermissionError(result["reason"])'
)

EVALUATE_DOC = (
    "Evaluate an event against the policy.\n"
    "\n"
    "Args:\n"
    '    event_type: The event type string (e.g., "tool_call", "data_access")\n'
    "    fields: A dict of event fields\n"
    "\n"
    "Returns:\n"
    "    A dict with keys: verdict, reason, triggered_rules, actions,\n"
    "    violations, constraint_violations, eval_time_us"
)


def test_module_attributes():
    assert _corvanth_core.__name__ == "_corvanth_core"
    assert _corvanth_core.__version__ == "0.1.0"
    # The build takes it from the project's metadata, as the package does.
    assert _corvanth_core.__version__ == importlib.metadata.version("corvanth-core")
    assert _corvanth_core.__all__ == ["PolicyEngine", "__version__"]
    assert _corvanth_core.PolicyEngine is PolicyEngine
    assert (
        _corvanth_core.__doc__
        == "Native core of the Corvanth policy-verification library."
    )


def test_public_attributes_in_order_of_addition():
    names = [n for n in vars(_corvanth_core) if n in ("PolicyEngine", "__version__")]
    assert names == ["PolicyEngine", "__version__"]


def test_repeated_import_returns_the_same_module():
    saved = sys.modules.pop("_corvanth_core")
    try:
        again = importlib.import_module("_corvanth_core")
        assert again is saved
        assert again.PolicyEngine is PolicyEngine
        assert again.__all__ == ["PolicyEngine", "__version__"]
    finally:
        sys.modules["_corvanth_core"] = saved


def test_sub_interpreter_is_refused():
    pytest.importorskip("_testcapi")
    script = textwrap.dedent(
        """
        import os, _testcapi
        import _corvanth_core
        read_end, write_end = os.pipe()
        code = f'''
        import os
        try:
            import _corvanth_core
            outcome = "imported"
        except BaseException as error:
            outcome = type(error).__name__ + ": " + str(error)
        os.write({write_end}, outcome.encode())
        '''
        _testcapi.run_in_subinterp(code)
        os.close(write_end)
        print(os.read(read_end, 1000).decode(), end="")
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True
    )
    assert done.stdout == (
        "ImportError: _corvanth_core does not support sub-interpreters: "
        "it can be loaded only into the interpreter that loaded it first"
    )


def test_type_names():
    assert PolicyEngine.__name__ == "PolicyEngine"
    assert PolicyEngine.__qualname__ == "PolicyEngine"
    assert PolicyEngine.__module__ == "_corvanth_core"
    assert PolicyEngine.__bases__ == (object,)


def test_type_flags():
    assert PolicyEngine.__flags__ & TPFLAGS_BASETYPE == 0
    assert PolicyEngine.__flags__ & TPFLAGS_HAVE_GC == 0


@pytest.mark.parametrize("args, kwargs", [((), {}), (("p",), {}), ((), {"x": 1})])
def test_no_constructor(args, kwargs):
    with pytest.raises(TypeError) as raised:
        PolicyEngine(*args, **kwargs)
    assert type(raised.value) is TypeError
    assert str(raised.value) == "No constructor defined for PolicyEngine"


def test_no_constructor_through_new():
    with pytest.raises(TypeError) as raised:
        PolicyEngine.__new__(PolicyEngine)
    assert str(raised.value) == "No constructor defined for PolicyEngine"


def test_cannot_be_subclassed():
    with pytest.raises(TypeError) as raised:
        type("Sub", (PolicyEngine,), {})
    assert type(raised.value) is TypeError
    assert str(raised.value) == "type 'PolicyEngine' is not an acceptable base type"


def test_type_is_immutable():
    with pytest.raises(TypeError) as raised:
        PolicyEngine.extra = 1
    assert str(raised.value) == (
        "cannot set 'extra' attribute of immutable type 'PolicyEngine'"
    )


def interpreter_attribute_error(name):
    """The interpreter's own text for setting an unknown attribute on an
    instance without __dict__ (its wording differs between versions)."""
    with pytest.raises(AttributeError) as raised:
        setattr(object(), name, 1)
    return str(raised.value).replace("'object'", "'PolicyEngine'", 1)


def test_instances_have_no_dict_no_weakref_no_gc():
    engine = engine_for(policy())
    assert not hasattr(engine, "__dict__")
    with pytest.raises(AttributeError) as raised:
        engine.extra = 1
    assert str(raised.value) == interpreter_attribute_error("extra")
    with pytest.raises(TypeError) as raised:
        weakref.ref(engine)
    assert str(raised.value) == "cannot create weak reference to 'PolicyEngine' object"
    assert not gc.is_tracked(engine)


def test_class_docstring_and_no_text_signature():
    assert PolicyEngine.__doc__ == CLASS_DOC
    assert PolicyEngine.__text_signature__ is None


def test_members_in_registration_order():
    members = [name for name in vars(PolicyEngine) if not name.startswith("__")]
    assert members == [
        "from_file",
        "from_bytes",
        "from_json",
        "evaluate",
        "set_context",
        "set_config",
        "reset",
        "status",
        # Members added after the original ones, methods before properties.
        "evaluate_at",
        "reset_at",
        "explain",
        "snapshot",
        "restore",
        "to_json",
        "to_bytes",
        "diagnostics",
        "replay",
        "replay_file",
        "decider",
        "policy_name",
        "event_count",
    ]


@pytest.mark.parametrize("name", ["from_file", "from_bytes", "from_json"])
def test_factories_are_static_methods(name):
    assert isinstance(vars(PolicyEngine)[name], staticmethod)


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("from_file", "(path)", "Load a policy engine from a compiled .halvoc file."),
        ("from_bytes", "(data)", "Load a policy engine from raw .halvoc bytes."),
        (
            "from_json",
            "(json_str)",
            "Load a policy engine from a JSON string (debug format).",
        ),
        ("evaluate", "($self, event_type, fields=None)", EVALUATE_DOC),
        ("set_context", "($self, key, value)", "Set a persistent context value."),
        ("set_config", "($self, key, value)", "Set a policy configuration value."),
        ("reset", "($self)", "Reset the engine state (state machines, counters)."),
        ("status", "($self)", "Get engine status summary."),
    ],
)
def test_method_docstrings_and_text_signatures(name, signature, doc):
    member = getattr(PolicyEngine, name)
    assert member.__text_signature__ == signature
    assert member.__doc__ == doc


@pytest.mark.parametrize(
    "name, doc",
    [
        ("policy_name", "Get the policy name."),
        ("event_count", "Get the total number of events processed."),
    ],
)
def test_property_docstrings(name, doc):
    assert vars(PolicyEngine)[name].__doc__ == doc


@pytest.mark.parametrize(
    "name, events, expected",
    [
        ("demo", 0, "<PolicyEngine policy='demo' events=0>"),
        ("demo", 2, "<PolicyEngine policy='demo' events=2>"),
        ("it's", 1, "<PolicyEngine policy='it's' events=1>"),
        ("", 0, "<PolicyEngine policy='' events=0>"),
        ("gärd ✓", 0, "<PolicyEngine policy='gärd ✓' events=0>"),
    ],
)
def test_repr(name, events, expected):
    engine = engine_for(policy(name=name))
    for _ in range(events):
        engine.evaluate("t")
    assert repr(engine) == expected
    assert str(engine) == expected


def test_repr_follows_reset():
    engine = engine_for(policy(name="demo"))
    engine.evaluate("t")
    engine.reset()
    assert repr(engine) == "<PolicyEngine policy='demo' events=0>"


def test_properties():
    engine = engine_for(policy(name="demo"))
    assert engine.policy_name == "demo"
    assert type(engine.policy_name) is str
    assert engine.event_count == 0
    engine.evaluate("t")
    assert engine.event_count == 1
    assert type(engine.event_count) is int


@pytest.mark.parametrize("name", ["policy_name", "event_count"])
def test_properties_are_read_only(name):
    engine = engine_for(policy(name="demo"))
    message = f"attribute '{name}' of 'PolicyEngine' objects is not writable"
    with pytest.raises(AttributeError) as raised:
        setattr(engine, name, 5)
    assert str(raised.value) == message
    with pytest.raises(AttributeError) as raised:
        delattr(engine, name)
    assert str(raised.value) == message


def test_method_results():
    engine = engine_for(policy(name="demo", severity="High"))
    assert engine.set_context("k", 1) is None
    assert engine.set_config("k", 1) is None
    assert engine.reset() is None
    assert engine.status() == (
        "Policy: demo (High)\n"
        "Rules: 0\n"
        "State machines: 0 total (0 active, 0 satisfied, 0 violated)\n"
        "Constraints: 0\n"
        "Events processed: 0\n"
    )


def test_factories_callable_on_an_instance():
    import json

    engine = engine_for(policy(name="first"))
    other = engine.from_json(json.dumps(policy(name="second")))
    assert type(other) is PolicyEngine
    assert other is not engine
    assert other.policy_name == "second"
    assert engine.policy_name == "first"


def test_engines_share_nothing():
    first = engine_for(policy(name="a"))
    second = engine_for(policy(name="a"))
    first.evaluate("t")
    first.evaluate("t")
    assert (first.event_count, second.event_count) == (2, 0)
