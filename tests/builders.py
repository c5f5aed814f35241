"""Builders for policy documents in their JSON form, shared by the tests.

Every evaluator feature is reachable through a policy: `eval_expr` wraps an
expression as the argument of a Log action of a rule that matches every
event, evaluates one event and returns the argument's value.
"""

import json
import math

from _corvanth_core import PolicyEngine

# The keys of an evaluation result, in their order.
RESULT_KEYS = [
    "verdict",
    "reason",
    "triggered_rules",
    "eval_time_us",
    "actions",
    "violations",
    "constraint_violations",
]

# The variant names of each enumeration of the policy language, in order.
ENUM_NAMES = {
    "BinaryOp": [
        "Add",
        "Sub",
        "Mul",
        "Div",
        "Mod",
        "Eq",
        "Neq",
        "Lt",
        "Le",
        "Gt",
        "Ge",
        "And",
        "Or",
        "Implies",
        "In",
    ],
    "UnaryOp": ["Not", "Neg"],
    "PredicateKind": ["Contains", "Matches", "StartsWith", "EndsWith"],
    "QuantifierKind": ["All", "Any", "None", "Exists"],
    "DurationUnit": ["Milliseconds", "Seconds", "Minutes", "Hours", "Days"],
    "Verdict": ["Allow", "Deny", "Audit", "Redact"],
    "ActionVerb": ["Log", "Notify", "Escalate", "Block", "Tag"],
    "SeverityLevel": ["Critical", "High", "Medium", "Low", "Info"],
    "ConstraintKind": ["RateLimit", "Quota"],
    "TemporalKind": ["Always", "Eventually", "Never", "Until", "Next"],
    "StateKind": ["Active", "Satisfied", "Violated"],
}

NAN = float("nan")
INF = float("inf")
INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1

# --- expressions -----------------------------------------------------------


def lit_bool(b):
    return {"Literal": {"Bool": b}}


def lit_int(n):
    return {"Literal": {"Int": n}}


def lit_float(x):
    return {"Literal": {"Float": x}}


def lit_str(s):
    return {"Literal": {"String": s}}


def lit_regex(s):
    return {"Literal": {"Regex": s}}


def lit_dur(value, unit="Milliseconds"):
    return {"Literal": {"Duration": {"value": value, "unit": unit}}}


def ref(root, *fields):
    """A reference; root is "Event", "Context", "Policy" or an int (Local)."""
    root_json = {"Local": root} if isinstance(root, int) else root
    return {"Ref": {"root": root_json, "fields": list(fields)}}


def field(*path):
    return ref("Event", *path)


def binary(op, left, right):
    return {"Binary": {"op": op, "left": left, "right": right}}


def unary(op, operand):
    return {"Unary": {"op": op, "operand": operand}}


def predicate(kind, subject, argument):
    return {"Predicate": {"kind": kind, "subject": subject, "argument": argument}}


def quantifier(kind, collection, body, param="x"):
    return {
        "Quantifier": {
            "kind": kind,
            "collection": collection,
            "param": param,
            "body": body,
        }
    }


def count(collection, filter=None, param=None):
    return {"Count": {"collection": collection, "param": param, "filter": filter}}


def call(function, *args):
    return {"Call": {"function": function, "args": list(args)}}


def method(obj, name, *args):
    return {"MethodCall": {"object": obj, "method": name, "args": list(args)}}


def list_expr(*items):
    return {"List": list(items)}


# --- records ---------------------------------------------------------------


def verdict(name, message=None):
    return {"verdict": name, "message": message}


def action(verb, **args):
    return {"verb": verb, "args": [[k, v] for k, v in args.items()]}


def rule(
    rule_id=1, on_events=(), condition=None, verdicts=(), actions=(), severity=None
):
    return {
        "id": rule_id,
        "on_events": list(on_events),
        "condition": condition,
        "verdicts": list(verdicts),
        "actions": list(actions),
        "severity": severity,
    }


def constraint(target, limit, window_millis, kind="RateLimit"):
    return {
        "kind": kind,
        "target": target,
        "limit": limit,
        "window_millis": window_millis,
    }


def state(label, kind="Active", state_id=0):
    return {"id": state_id, "label": label, "kind": kind}


def transition(frm, to, guard):
    """guard: "Timeout", "Always", ("Predicate", expr) or ("NegatedPredicate", expr)."""
    guard_json = guard if isinstance(guard, str) else {guard[0]: guard[1]}
    return {"from": frm, "to": to, "guard": guard_json}


def machine(
    name="m",
    invariant="inv",
    kind="Never",
    states=(),
    transitions=(),
    initial=0,
    accepting=(),
    violating=(),
    deadline_millis=None,
    machine_id=0,
):
    return {
        "id": machine_id,
        "name": name,
        "invariant_name": invariant,
        "kind": kind,
        "states": list(states),
        "transitions": list(transitions),
        "initial_state": initial,
        "accepting_states": list(accepting),
        "violating_states": list(violating),
        "deadline_millis": deadline_millis,
    }


def policy(
    name="p",
    severity="Low",
    rules=(),
    constraints=(),
    state_machines=(),
    scopes=(),
):
    return {
        "name": name,
        "severity": severity,
        "scopes": list(scopes),
        "rules": list(rules),
        "constraints": list(constraints),
        "state_machines": list(state_machines),
        "metadata": {"annotations": [], "source_hash": 0, "compiler_version": "x"},
    }


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
