"""Helpers shared by the tests, the case tables and the fuzz scripts: an
engine for a policy document, the value of one expression, and comparisons
that see Python types exactly.

Policies themselves are built with `corvanth_core.ir`. `eval_expr` wraps an
expression as the argument of a Log action of a rule that matches every
event, evaluates one event and returns the argument's value:

    assert eval_expr(binary("Add", lit_int(1), lit_int(2))) == 3
"""

import json
import math
import os
import resource

from _corvanth_core import PolicyEngine

from corvanth_core.ir import action, policy, rule

NAN = float("nan")
INF = float("inf")
INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1


def engine_for(doc):
    """A fresh engine for a policy document (a dict)."""
    return PolicyEngine.from_json(json.dumps(doc))


def eval_expr(expr, fields=None, event_type="t", context=None, config=None):
    """The value of `expr` for one event, through an action argument."""
    engine = engine_for(policy(rules=[rule(actions=[action("Log", v=expr)])]))
    for key, value in (context or {}).items():
        engine.set_context(key, value)
    for key, value in (config or {}).items():
        engine.set_config(key, value)
    return engine.evaluate(event_type, fields)["actions"][0]["args"]["v"]


def outcome(result):
    """A result dict without "eval_time_us", the only entry that varies."""
    return {key: value for key, value in result.items() if key != "eval_time_us"}


def assert_same(actual, expected):
    """Asserts that `actual` equals `expected` with identical Python types at
    every level (True is not 1, 1 is not 1.0). Floats compare by sign too,
    so -0.0 differs from 0.0, and NaN matches NaN."""
    assert type(actual) is type(expected), (actual, expected)
    if isinstance(expected, float):
        if math.isnan(expected):
            assert math.isnan(actual), (actual, expected)
        else:
            assert actual == expected, (actual, expected)
            assert math.copysign(1.0, actual) == math.copysign(1.0, expected)
    elif isinstance(expected, list):
        assert len(actual) == len(expected), (actual, expected)
        for a, e in zip(actual, expected):
            assert_same(a, e)
    elif isinstance(expected, dict):
        assert list(actual) == list(expected), (actual, expected)
        for key in expected:
            assert_same(actual[key], expected[key])
    else:
        assert actual == expected, (actual, expected)


# The stack guard counts this many times the stack per level under the
# sanitizer build, whose frames are that much larger (`kFrameGrowth` in
# core-module/src/stack_guard.h). Tests of small stacks give their threads
# and main thread that much more stack there, so that the guard decides
# each of their rows as it does in the release build.
STACK_SCALE = 8 if os.environ.get("CORVANTH_SANITIZER_BUILD") == "1" else 1


def scaled_stack(stack):
    """A thread stack size (in any unit) or "main", scaled for this build."""
    return stack if stack == "main" else int(stack) * STACK_SCALE


def scale_main_stack():
    """A child process's `preexec_fn`: its main thread's stack limit
    scaled for this build."""
    if STACK_SCALE == 1:
        return
    soft, hard = resource.getrlimit(resource.RLIMIT_STACK)
    if soft != resource.RLIM_INFINITY:
        wanted = soft * STACK_SCALE
        if hard != resource.RLIM_INFINITY:
            wanted = min(wanted, hard)
        resource.setrlimit(resource.RLIMIT_STACK, (wanted, hard))
