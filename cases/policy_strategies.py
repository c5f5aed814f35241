"""Random policies, events and Python values for hypothesis, the
conversion rules modelled in Python, and the checks every generated case
must pass: a well-formed result for every event of a random policy, and
every random value coming back (or failing) as the conversion rules say.

Used by the property tests (tests/core/test_properties.py, and the plan,
writer, snapshot, copy and explanation tests) and by the long-running
scripts fuzz/stress_binding.py and fuzz/leak_exercise.py:

    from hypothesis import assume, given
    from policy_strategies import JSON_DEPTH_LIMIT, check_policy, json_depth
    from policy_strategies import events, policies

    @given(doc=policies, evs=events)
    def test_policies(doc, evs):
        assume(json_depth(doc) < JSON_DEPTH_LIMIT)
        check_policy(doc, evs)
"""

import json
import math
import operator

from helpers import engine_for
from hypothesis import strategies as st

from corvanth_core.ir import (
    ENUM_NAMES,
    RESULT_KEYS,
    action,
    constraint,
    field,
    machine,
    policy,
    ref,
    rule,
    state,
    transition,
    verdict,
)

try:
    import numpy
except ImportError:  # numpy's scalars are then left out of the strategies
    numpy = None

VERDICTS = ["allow", "deny", "audit", "redact"]
# The reader refuses documents nested this deep or deeper.
JSON_DEPTH_LIMIT = 128

# What the conversions and the model below raise for the values generated
# here (UnicodeEncodeError is a ValueError, RecursionError a RuntimeError).
CONVERSION_ERRORS = (TypeError, ValueError, LookupError, RuntimeError)

I64 = 2**63
U32 = 2**32
U64 = 2**64

BINARY_OPS = ENUM_NAMES["BinaryOp"]
UNARY_OPS = ENUM_NAMES["UnaryOp"]
PREDICATES = ENUM_NAMES["PredicateKind"]
QUANTIFIERS = ENUM_NAMES["QuantifierKind"]
UNITS = ENUM_NAMES["DurationUnit"]
VERDICT_NAMES = ENUM_NAMES["Verdict"]
VERBS = ENUM_NAMES["ActionVerb"]
SEVERITIES = ENUM_NAMES["SeverityLevel"]
TEMPORAL_KINDS = ENUM_NAMES["TemporalKind"]
STATE_KINDS = ENUM_NAMES["StateKind"]
FUNCTIONS = ["len", "str", "abs", "min", "max", "unknown"]
METHODS = [
    "length",
    "len",
    "to_upper",
    "to_uppercase",
    "to_lower",
    "to_lowercase",
    "trim",
    "split",
    "contains_key",
    "has_key",
    "keys",
    "values",
    "first",
    "last",
    "is_empty",
    "to_string",
    "unknown",
]
KEYS = ["a", "b", "tool", "type", "x", "ß", "İ", ""]
EVENT_TYPES = ["t", "u", "tool_call"]

# --- random expressions ------------------------------------------------------

short_text = st.text(max_size=12)
keys = st.sampled_from(KEYS) | short_text

literals = st.one_of(
    st.booleans().map(lambda b: {"Bool": b}),
    st.integers(-I64, I64 - 1).map(lambda n: {"Int": n}),
    st.floats(allow_nan=False, allow_infinity=False).map(lambda x: {"Float": x}),
    short_text.map(lambda s: {"String": s}),
    st.builds(
        lambda value, unit: {"Duration": {"value": value, "unit": unit}},
        st.integers(0, U64 - 1),
        st.sampled_from(UNITS),
    ),
    st.sampled_from(["", "^$", ".*", "a.*", ".*a", "^a$", "a", ".*.*"]).map(
        lambda s: {"Regex": s}
    ),
)

roots = st.sampled_from(["Event", "Context", "Policy"]) | st.integers(0, 3)


def make_ref(root, path):
    return ref(root, *path)


references = st.builds(make_ref, roots, st.lists(keys, max_size=3))
leaves = literals.map(lambda lit: {"Literal": lit}) | references


def case_tests(expressions):
    return st.one_of(
        literals.map(lambda lit: {"Literal": lit}),
        st.sampled_from(EVENT_TYPES + ["email"]).map(lambda s: {"Constructor": s}),
        expressions.map(lambda e: {"Guard": e}),
    )


def decision_nodes(expressions):
    return st.recursive(
        expressions.map(lambda e: {"Leaf": e})
        | st.builds(
            lambda name, message: {
                "VerdictLeaf": {"verdict": name, "message": message}
            },
            st.sampled_from(VERDICT_NAMES),
            st.none() | expressions,
        ),
        lambda nodes: st.builds(
            lambda subject, cases, default: {
                "Switch": {"subject": subject, "cases": cases, "default": default}
            },
            expressions,
            st.lists(
                st.builds(
                    lambda test, body: {"test": test, "body": body},
                    case_tests(expressions),
                    nodes,
                ),
                max_size=3,
            ),
            st.none() | nodes,
        ),
        max_leaves=3,
    )


def compound(expressions):
    args = st.lists(expressions, max_size=3)
    return st.one_of(
        st.builds(
            lambda op, a, b: {"Binary": {"op": op, "left": a, "right": b}},
            st.sampled_from(BINARY_OPS),
            expressions,
            expressions,
        ),
        st.builds(
            lambda op, a: {"Unary": {"op": op, "operand": a}},
            st.sampled_from(UNARY_OPS),
            expressions,
        ),
        st.builds(
            lambda kind, a, b: {
                "Predicate": {"kind": kind, "subject": a, "argument": b}
            },
            st.sampled_from(PREDICATES),
            expressions,
            expressions,
        ),
        st.builds(
            lambda kind, coll, param, body: {
                "Quantifier": {
                    "kind": kind,
                    "collection": coll,
                    "param": param,
                    "body": body,
                }
            },
            st.sampled_from(QUANTIFIERS),
            expressions,
            keys,
            expressions,
        ),
        st.builds(
            lambda coll, param, flt: {
                "Count": {"collection": coll, "param": param, "filter": flt}
            },
            expressions,
            st.none() | keys,
            st.none() | expressions,
        ),
        st.builds(
            lambda name, a: {"Call": {"function": name, "args": a}},
            st.sampled_from(FUNCTIONS),
            args,
        ),
        st.builds(
            lambda obj, name, a: {
                "MethodCall": {"object": obj, "method": name, "args": a}
            },
            expressions,
            st.sampled_from(METHODS),
            args,
        ),
        decision_nodes(expressions).map(lambda node: {"DecisionTree": node}),
        args.map(lambda items: {"List": items}),
    )


expressions = st.recursive(leaves, compound, max_leaves=8)

# --- random policies ---------------------------------------------------------

rules = st.builds(
    lambda rule_id, on_events, condition, verdicts, actions, severity: rule(
        rule_id, on_events, condition, verdicts, actions, severity
    ),
    st.integers(0, U32 - 1),
    st.lists(st.sampled_from(EVENT_TYPES), max_size=2),
    st.none() | expressions,
    st.lists(
        st.builds(verdict, st.sampled_from(VERDICT_NAMES), st.none() | expressions),
        max_size=2,
    ),
    st.lists(
        st.builds(
            lambda verb, args: {"verb": verb, "args": args},
            st.sampled_from(VERBS),
            st.lists(st.tuples(keys, expressions).map(list), max_size=3),
        ),
        max_size=2,
    ),
    st.none() | st.sampled_from(SEVERITIES),
)

edge_u64 = st.sampled_from([0, 1, 2, U64 - 1]) | st.integers(0, U64 - 1)
constraints = st.builds(
    constraint,
    st.sampled_from(EVENT_TYPES + ["*", ""]),
    edge_u64,
    edge_u64,
    st.sampled_from(["RateLimit", "Quota"]),
)

# State numbers reach beyond the states list on purpose: the engine must
# stay inside it whatever the policy says.
state_numbers = st.integers(0, 4) | st.just(U32 - 1)
guards = st.one_of(
    st.sampled_from(["Timeout", "Always"]),
    st.tuples(st.sampled_from(["Predicate", "NegatedPredicate"]), expressions),
)
machines = st.builds(
    lambda name, kind, states, transitions, initial, accepting, violating, dl: machine(
        name=name,
        kind=kind,
        states=states,
        transitions=transitions,
        initial=initial,
        accepting=accepting,
        violating=violating,
        deadline_millis=dl,
    ),
    short_text,
    st.sampled_from(TEMPORAL_KINDS),
    st.lists(
        st.builds(state, short_text, st.sampled_from(STATE_KINDS)),
        max_size=4,
    ),
    st.lists(st.builds(transition, state_numbers, state_numbers, guards), max_size=5),
    state_numbers,
    st.lists(state_numbers, max_size=3),
    st.lists(state_numbers, max_size=3),
    st.none() | edge_u64,
)

policies = st.builds(
    lambda name, rs, cs, ms: policy(
        name=name, rules=rs, constraints=cs, state_machines=ms
    ),
    short_text,
    st.lists(rules, max_size=3),
    st.lists(constraints, max_size=2),
    st.lists(machines, max_size=2),
)

# --- random Python values ----------------------------------------------------


class WithIndex:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n

    def __repr__(self):
        return "WithIndex()"


class WithFloat:
    def __init__(self, x):
        self.x = x

    def __float__(self):
        return self.x

    def __repr__(self):
        return "WithFloat()"


class RaisingStr:
    def __str__(self):
        raise LookupError("no text")


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


lone_surrogates = st.text(
    alphabet=st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF),
    min_size=1,
    max_size=2,
)
texts = st.text(max_size=30) | st.tuples(short_text, lone_surrogates).map("".join)
any_float = st.floats(allow_nan=True, allow_infinity=True)
big_ints = st.integers(-(10**400), 10**400)

scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-I64, I64 - 1),
    big_ints,
    any_float,
    texts,
    texts.map(StrSub),
    st.integers(-I64, I64 - 1).map(IntSub),
    any_float.map(FloatSub),
    big_ints.map(WithIndex),
    any_float.map(WithFloat),
    st.binary(max_size=6),
    st.decimals(allow_nan=False, places=3),
    st.fractions(max_denominator=100),
    st.just(RaisingStr()),
    st.just(1 + 2j),
    st.just(object()),
    *(
        [
            st.booleans().map(numpy.bool_),
            st.integers(-I64, I64 - 1).map(numpy.int64),
            any_float.map(numpy.float64),
        ]
        if numpy is not None
        else []
    ),
)


def nested(children):
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=4).map(ListSub),
        st.lists(children, max_size=3).map(tuple),
        st.dictionaries(texts, children, max_size=4),
        st.dictionaries(texts, children, max_size=3).map(DictSub),
        st.dictionaries(st.integers(0, 3), children, min_size=1, max_size=2),
    )


python_values = st.recursive(scalars, nested, max_leaves=10)

# --- the conversion rules, modelled in Python --------------------------------


def _in_i64(n):
    return -I64 <= n < I64


def _as_int(obj):
    """The int that reading a signed 64-bit integer yields, or None."""
    if isinstance(obj, int) or hasattr(type(obj), "__index__"):
        try:
            n = operator.index(obj)
        except (TypeError, ValueError):
            return None
        return int(n) if _in_i64(n) else None
    return None


def _as_float(obj):
    """The float that reading a double yields, or None."""
    if isinstance(obj, float):
        return float.__float__(obj)
    try:
        if hasattr(type(obj), "__float__"):
            return float(type(obj).__float__(obj))
        if hasattr(type(obj), "__index__"):
            return float(operator.index(obj))
    except (TypeError, ValueError, OverflowError):
        return None
    return None


def _utf8_or_none(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return None
    return str.__str__(text)


def expected_value(obj):
    """What a Python object comes back as after a trip through the engine;
    raises what the conversion raises."""
    if obj is None or type(obj) is bool:
        return obj
    if numpy is not None and isinstance(obj, numpy.bool_):
        return bool(obj)
    as_int = _as_int(obj)
    if as_int is not None:
        return as_int
    as_float = _as_float(obj)
    if as_float is not None:
        return as_float
    if isinstance(obj, str):
        text = _utf8_or_none(obj)
        if text is not None:
            return text
    if isinstance(obj, list):
        return [expected_value(item) for item in obj]
    if isinstance(obj, dict):
        result = {}
        for key, value in obj.items():
            if not isinstance(key, str):
                raise TypeError
            if _utf8_or_none(key) is None:
                raise UnicodeEncodeError("utf-8", key, 0, 1, "surrogates")
            result[key] = expected_value(value)
        return result
    text = str(obj)
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def same_value(actual, expected):
    """Equal with identical types at every level; dicts in any order, since
    the iteration order of maps is unspecified."""
    if type(actual) is not type(expected):
        return False
    if isinstance(expected, float):
        if math.isnan(expected):
            return math.isnan(actual)
        return actual == expected and math.copysign(1, actual) == math.copysign(
            1, expected
        )
    if isinstance(expected, list):
        return len(actual) == len(expected) and all(
            same_value(a, e) for a, e in zip(actual, expected)
        )
    if isinstance(expected, dict):
        return sorted(actual) == sorted(expected) and all(
            same_value(actual[key], expected[key]) for key in expected
        )
    return actual == expected


def json_depth(doc):
    if isinstance(doc, list):
        return 1 + max((json_depth(item) for item in doc), default=0)
    if isinstance(doc, dict):
        return 1 + max((json_depth(item) for item in doc.values()), default=0)
    return 0


ECHO = policy(
    rules=[
        rule(
            actions=[
                action("Log", e=field("v"), c=ref("Context", "v"), p=ref("Policy", "v"))
            ]
        )
    ]
)

# --- checks, shared with the stress scripts ----------------------------------


def check_result(result):
    assert tuple(result) == RESULT_KEYS
    assert result["verdict"] in VERDICTS
    assert result["reason"] is None or type(result["reason"]) is str
    assert all(type(rule_id) is int for rule_id in result["triggered_rules"])
    assert type(result["eval_time_us"]) is int
    for entry in result["actions"]:
        assert list(entry) == ["verb", "args"]
        assert type(entry["verb"]) is str and type(entry["args"]) is dict
    for entry in result["violations"]:
        assert list(entry) == ["proof", "invariant", "kind", "message"]
        assert entry["kind"] in TEMPORAL_KINDS
    for entry in result["constraint_violations"]:
        assert list(entry) == ["kind", "target", "limit", "current", "window_ms"]
        assert entry["kind"] in ("RateLimit", "Quota")


def check_policy(doc, events):
    """Every event of `events` evaluates to a well-formed result."""
    text = json.dumps(doc)
    engine = engine_for(doc)
    for event_type, fields, context, config in events:
        for key, value in context.items():
            engine.set_context(key, value)
        for key, value in config.items():
            engine.set_config(key, value)
        check_result(engine.evaluate(event_type, fields))
    assert engine.event_count == len(events)
    assert type(engine.status()) is str
    engine.reset()
    check_result(engine.evaluate(EVENT_TYPES[0]))
    assert engine.event_count == 1
    assert engine_for(json.loads(text)).policy_name == doc["name"]


def check_round_trip(value):
    """`value` as an event field, a context entry and a configuration entry
    comes back as the conversion rules say, or fails as they say."""
    try:
        expected = expected_value(value)
    except CONVERSION_ERRORS as error:
        failure = type(error)
    else:
        failure = None
    engine = engine_for(ECHO)
    for setter in (engine.set_context, engine.set_config):
        try:
            setter("v", value)
        except CONVERSION_ERRORS as error:
            assert type(error) is failure, (error, failure)
        else:
            assert failure is None
    try:
        result = engine.evaluate("t", {"v": value})
    except CONVERSION_ERRORS as error:
        assert type(error) is failure, (error, failure)
        assert engine.event_count == 0
        return
    assert failure is None
    args = result["actions"][0]["args"]
    for key in ("e", "c", "p"):
        assert same_value(args[key], expected), (key, args[key], expected)


event_fields = st.dictionaries(st.sampled_from(KEYS), python_values, max_size=4).filter(
    lambda fields: _converts(fields)
)


def _converts(obj):
    try:
        expected_value(obj)
    except CONVERSION_ERRORS:
        return False
    return True


events = st.lists(
    st.tuples(
        st.sampled_from(EVENT_TYPES),
        event_fields,
        st.dictionaries(st.sampled_from(KEYS), python_values, max_size=2).filter(
            _converts
        ),
        st.dictionaries(st.sampled_from(KEYS), python_values, max_size=2).filter(
            _converts
        ),
    ),
    min_size=1,
    max_size=4,
)
