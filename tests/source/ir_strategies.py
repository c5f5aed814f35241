"""Hypothesis strategies for random policies in the IR's JSON form:
every record and expression variant, odd strings, extreme numbers, and
(through `disguised`) array forms and keys of other tools."""

import json
import random
from typing import Any

from hypothesis import strategies as st

U32 = st.integers(0, 2**32 - 1)
U64 = st.integers(0, 2**64 - 1)
I64 = st.integers(-(2**63), 2**63 - 1)
NAMES = st.sampled_from(
    ["tool", "x", "event", "and", "len", "keys", "a b", "", "->", "#1", "é", "`q`", "_"]
)
ODD = st.text(st.characters(exclude_categories=["Cs"]), max_size=8)
TEXT = st.one_of(NAMES, ODD)
SMALL = st.one_of(st.integers(0, 4), U32)


def _enum(*names: str) -> st.SearchStrategy[str]:
    return st.sampled_from(names)


BINARY_OPS = _enum(
    *[
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
    ]
)
VERDICTS = _enum("Allow", "Deny", "Audit", "Redact")
SEVERITIES = _enum("Critical", "High", "Medium", "Low", "Info")

LITERAL = st.one_of(
    st.builds(lambda b: {"Bool": b}, st.booleans()),
    st.builds(lambda n: {"Int": n}, st.one_of(I64, st.integers(-3, 3))),
    st.builds(
        lambda f: {"Float": f},
        st.floats(allow_nan=False, allow_infinity=False),
    ),
    st.builds(lambda s: {"String": s}, TEXT),
    st.builds(
        lambda v, u: {"Duration": {"value": v, "unit": u}},
        st.one_of(U64, st.integers(0, 100)),
        _enum("Milliseconds", "Seconds", "Minutes", "Hours", "Days"),
    ),
    st.builds(lambda s: {"Regex": s}, TEXT),
)
ROOT = st.one_of(
    _enum("Event", "Context", "Policy"), st.builds(lambda n: {"Local": n}, SMALL)
)
REF = st.builds(
    lambda r, f: {"Ref": {"root": r, "fields": f}}, ROOT, st.lists(TEXT, max_size=3)
)
FUNCTION = st.one_of(
    _enum("len", "length", "str", "to_string", "abs", "min", "max"), TEXT
)
METHOD = st.one_of(_enum("len", "trim", "split", "has_key", "first", "keys"), TEXT)


def _nodes(expr: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    verdict = st.builds(
        lambda v, m: {"verdict": v, "message": m}, VERDICTS, st.none() | expr
    )
    test = st.one_of(
        st.builds(lambda lit: {"Literal": lit}, LITERAL),
        st.builds(lambda n: {"Constructor": n}, TEXT),
        st.builds(lambda e: {"Guard": e}, expr),
    )
    simple = st.one_of(
        st.builds(lambda e: {"Leaf": e}, expr),
        st.builds(lambda v: {"VerdictLeaf": v}, verdict),
    )
    return st.recursive(
        simple,
        lambda node: st.builds(
            lambda s, cases, d: {
                "Switch": {"subject": s, "cases": cases, "default": d}
            },
            expr,
            st.lists(
                st.builds(lambda t, b: {"test": t, "body": b}, test, node), max_size=3
            ),
            st.none() | node,
        ),
        max_leaves=4,
    )


def _compound(expr: st.SearchStrategy[Any]) -> st.SearchStrategy[Any]:
    args = st.lists(expr, max_size=3)
    return st.one_of(
        st.builds(
            lambda o, l, r: {"Binary": {"op": o, "left": l, "right": r}},
            BINARY_OPS,
            expr,
            expr,
        ),
        st.builds(
            lambda o, e: {"Unary": {"op": o, "operand": e}}, _enum("Not", "Neg"), expr
        ),
        st.builds(
            lambda k, s, a: {"Predicate": {"kind": k, "subject": s, "argument": a}},
            _enum("Contains", "Matches", "StartsWith", "EndsWith"),
            expr,
            expr,
        ),
        st.builds(
            lambda k, c, p, b: {
                "Quantifier": {"kind": k, "collection": c, "param": p, "body": b}
            },
            _enum("All", "Any", "None", "Exists"),
            expr,
            TEXT,
            expr,
        ),
        st.builds(
            lambda c, p, f: {"Count": {"collection": c, "param": p, "filter": f}},
            expr,
            st.none() | TEXT,
            st.none() | expr,
        ),
        st.builds(lambda f, a: {"Call": {"function": f, "args": a}}, FUNCTION, args),
        # Template-shaped: text and str(...) joined with Add.
        st.builds(
            lambda t, e: {
                "Binary": {
                    "op": "Add",
                    "left": {"Literal": {"String": t}},
                    "right": {"Call": {"function": "str", "args": [e]}},
                }
            },
            TEXT,
            expr,
        ),
        st.builds(
            lambda o, m, a: {"MethodCall": {"object": o, "method": m, "args": a}},
            expr,
            METHOD,
            args,
        ),
        st.builds(lambda n: {"DecisionTree": n}, _nodes(expr)),
        st.builds(lambda items: {"List": items}, args),
    )


EXPR = st.recursive(
    st.one_of(st.builds(lambda lit: {"Literal": lit}, LITERAL), REF),
    _compound,
    max_leaves=8,
)

ACTION = st.builds(
    lambda v, a: {"verb": v, "args": a},
    _enum("Log", "Notify", "Escalate", "Block", "Tag"),
    st.lists(st.tuples(TEXT, EXPR).map(list), max_size=3),
)
RULE = st.builds(
    lambda i, on, c, vs, acts, sev: {
        "id": i,
        "on_events": on,
        "condition": c,
        "verdicts": vs,
        "actions": acts,
        "severity": sev,
    },
    st.one_of(st.integers(1, 4), U32),
    st.lists(TEXT, max_size=3),
    st.none() | EXPR,
    st.lists(
        st.builds(
            lambda v, m: {"verdict": v, "message": m}, VERDICTS, st.none() | EXPR
        ),
        max_size=3,
    ),
    st.lists(ACTION, max_size=2),
    st.none() | SEVERITIES,
)
CONSTRAINT = st.builds(
    lambda k, t, limit, w: {"kind": k, "target": t, "limit": limit, "window_millis": w},
    _enum("RateLimit", "Quota"),
    TEXT,
    U64,
    st.one_of(U64, st.sampled_from([0, 1000, 60000, 90000, 86400000])),
)
GUARD = st.one_of(
    _enum("Timeout", "Always"),
    st.builds(lambda e: {"Predicate": e}, EXPR),
    st.builds(lambda e: {"NegatedPredicate": e}, EXPR),
)
STATE_NO = st.one_of(st.integers(0, 3), U32)
MACHINE = st.builds(
    lambda i, n, inv, k, states, ts, init, acc, vio, d: {
        "id": i,
        "name": n,
        "invariant_name": inv,
        "kind": k,
        "states": states,
        "transitions": ts,
        "initial_state": init,
        "accepting_states": acc,
        "violating_states": vio,
        "deadline_millis": d,
    },
    st.one_of(st.integers(1, 3), U32),
    TEXT,
    TEXT,
    _enum("Always", "Eventually", "Never", "Until", "Next"),
    st.lists(
        st.builds(
            lambda i, label, k: {"id": i, "label": label, "kind": k},
            st.one_of(st.integers(0, 3), U32),
            st.one_of(_enum("idle", "seen", "bad"), TEXT),
            _enum("Active", "Satisfied", "Violated"),
        ),
        max_size=4,
    ),
    st.lists(
        st.builds(
            lambda f, t, g: {"from": f, "to": t, "guard": g}, STATE_NO, STATE_NO, GUARD
        ),
        max_size=4,
    ),
    STATE_NO,
    st.lists(STATE_NO, max_size=2),
    st.lists(STATE_NO, max_size=2),
    st.none() | U64,
)
POLICY = st.builds(
    lambda name, sev, scopes, rules, cons, machines, ann, h, v: {
        "name": name,
        "severity": sev,
        "scopes": scopes,
        "rules": rules,
        "constraints": cons,
        "state_machines": machines,
        "metadata": {"annotations": ann, "source_hash": h, "compiler_version": v},
    },
    TEXT,
    SEVERITIES,
    st.lists(TEXT, max_size=2),
    st.lists(RULE, max_size=3),
    st.lists(CONSTRAINT, max_size=2),
    st.lists(MACHINE, max_size=2),
    st.lists(st.tuples(TEXT, TEXT).map(list), max_size=3),
    U64,
    TEXT,
)


def disguised(value: Any, rng: random.Random) -> Any:
    """The same policy in another form the reader accepts: records (dicts
    of two or more keys) in array form or with a key of another tool."""
    if isinstance(value, list):
        return [disguised(v, rng) for v in value]
    if not isinstance(value, dict):
        return value
    inner = {k: disguised(v, rng) for k, v in value.items()}
    if len(inner) < 2:
        return inner
    roll = rng.random()
    if roll < 0.2:
        return list(inner.values())
    if roll < 0.4:
        inner["x-other-tool"] = {"any": [1, "json", None]}
    return inner


def json_depth(value: Any) -> int:
    if isinstance(value, dict):
        return 1 + max((json_depth(v) for v in value.values()), default=0)
    if isinstance(value, list):
        return 1 + max((json_depth(v) for v in value), default=0)
    return 0


def policy_texts() -> st.SearchStrategy[str]:
    """Random policies as JSON text, some disguised."""
    return st.builds(
        lambda p, seed: json.dumps(
            disguised(p, random.Random(seed)), ensure_ascii=seed % 2 == 0
        ),
        POLICY.filter(lambda p: json_depth(p) < 120),
        st.integers(0, 2**16),
    )
