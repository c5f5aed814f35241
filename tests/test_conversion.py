"""Python objects into runtime values, values back, and the result dicts."""

from decimal import Decimal
from fractions import Fraction

import pytest
from helpers import engine_for, eval_expr, outcome

from corvanth_core.ir import (
    RESULT_KEYS,
    action,
    binary,
    call,
    constraint,
    count,
    field,
    list_expr,
    lit_bool,
    lit_dur,
    lit_float,
    lit_int,
    lit_str,
    machine,
    method,
    policy,
    ref,
    rule,
    state,
    transition,
    verdict,
)


def typed(value):
    """`value` with the type of every part spelled out (floats by repr)."""
    if isinstance(value, float):
        return ("float", repr(value))
    if isinstance(value, list):
        return ("list", [typed(item) for item in value])
    if isinstance(value, dict):
        return ("dict", {key: typed(item) for key, item in value.items()})
    return (type(value).__name__, value)


def converted(value):
    """`value` taken in as an event field and given back through an action."""
    return eval_expr(field("v"), fields={"v": value})


# --- Python to value ---------------------------------------------------------


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class Index:
    def __index__(self):
        return 7


class BigIndex:
    def __index__(self):
        return 2**70


class FloatLike:
    def __float__(self):
        return 2.5


class BadIndex:
    def __index__(self):
        raise ValueError("no index")

    def __str__(self):
        return "bad index"


class Text:
    def __str__(self):
        return "text"


class SurrogateText:
    def __str__(self):
        return "a\udc80"


class FloatWithIndex(float):
    def __index__(self):
        return 3


class StrWithIndex(str):
    def __index__(self):
        return 4


class StrWithOwnText(str):
    def __str__(self):
        return "own text"


class ListWithIndex(list):
    def __index__(self):
        return 5


class DictWithFloat(dict):
    def __float__(self):
        return 6.5


class IntWithIndex(int):
    def __index__(self):
        return 99


class IntWithFloat(int):
    def __float__(self):
        return 1.5


class MinusOneIndex:
    def __index__(self):
        return -1


class MinusOneFloat:
    def __float__(self):
        return -1.0


class BadFloat:
    def __float__(self):
        raise ValueError("no float")

    def __str__(self):
        return "bad float"


class IndexNotInt:
    def __index__(self):
        return 1.5  # noqa: PLE0305 (a misbehaving __index__ on purpose)

    def __str__(self):
        return "index not int"


class StorageDict(dict):
    """A dict subclass whose Python-level views lie; storage decides."""

    def __iter__(self):
        return iter(["ignored"])

    def items(self):
        return [("ignored", 0)]

    def __getitem__(self, key):
        return "overridden"


@pytest.mark.parametrize(
    "value, expected",
    [
        # row 1
        (None, None),
        # row 2: bool stays bool
        (True, True),
        (False, False),
        # row 3: ints within 64 bits, __index__
        (0, 0),
        (1, 1),
        (-1, -1),
        (2**63 - 1, 2**63 - 1),
        (-(2**63), -(2**63)),
        (IntSub(5), 5),
        (Index(), 7),
        # row 4: floats, __float__, ints too big for 64 bits
        (1.0, 1.0),
        (-0.0, -0.0),
        (float("inf"), float("inf")),
        (float("nan"), float("nan")),
        (FloatSub(2.5), 2.5),
        (Decimal("1.5"), 1.5),
        (Fraction(1, 4), 0.25),
        (FloatLike(), 2.5),
        (2**63, 9223372036854775808.0),
        (-(2**63) - 1, -9223372036854775808.0),
        (BigIndex(), 1.1805916207174113e21),
        # row 5: str with UTF-8 text
        ("abc", "abc"),
        ("", ""),
        ("gärd ✓ 😀", "gärd ✓ 😀"),
        ("x" * 100, "x" * 100),
        (StrSub("sub"), "sub"),
        # row 6: lists
        ([], []),
        ([1, "a", None], [1, "a", None]),
        (ListSub([1, 2]), [1, 2]),
        ([[1.5], [True, [None]]], [[1.5], [True, [None]]]),
        # row 7: dicts
        ({}, {}),
        ({"a": {"b": [True]}}, {"a": {"b": [True]}}),
        ({"k": 1, "k2": "x"}, {"k": 1, "k2": "x"}),
        (StorageDict(real=1), {"real": 1}),
        ({StrSub("key"): 1}, {"key": 1}),
        # row 8: everything else, by str()
        (10**400, "1" + "0" * 400),
        (-(10**400), "-1" + "0" * 400),
        ((1, 2), "(1, 2)"),
        ((), "()"),
        (b"ab", "b'ab'"),
        (bytearray(b"a"), "bytearray(b'a')"),
        ({1}, "{1}"),
        (frozenset(), "frozenset()"),
        (1 + 2j, "(1+2j)"),
        (range(2), "range(0, 2)"),
        (Text(), "text"),
        (BadIndex(), "bad index"),
        (SurrogateText(), "a\ufffd\ufffd\ufffd"),
        (BadFloat(), "bad float"),
        (IndexNotInt(), "index not int"),
        # the first row that applies decides, whatever the base type
        (FloatWithIndex(2.5), 3),
        (StrWithIndex("x"), 4),
        (ListWithIndex([1]), 5),
        (DictWithFloat(a=1), 6.5),
        (IntWithIndex(5), 5),
        (IntWithFloat(2**70), 1.5),
        (MinusOneIndex(), -1),
        (MinusOneFloat(), -1.0),
        (StrWithOwnText("ok"), "ok"),
        (StrWithOwnText("a\ud800"), "own text"),
        (StrSub("a\ud800"), "a\ufffd\ufffd\ufffd"),
        ("\ud800", "\ufffd\ufffd\ufffd"),
        ("a\udc80b", "a\ufffd\ufffd\ufffdb"),
        (["\udfff"], ["\ufffd\ufffd\ufffd"]),
        # exact built-in types and subclasses nested in each other
        ([True, 1, 1.5, "s", None], [True, 1, 1.5, "s", None]),
        (ListSub([IntSub(1), {"a": FloatSub(0.5)}]), [1, {"a": 0.5}]),
        (
            {"l": [StrSub("x"), [2**64, False]]},
            {"l": ["x", [1.8446744073709552e19, False]]},
        ),
        (
            [2**63 - 1, -(2**63), 2**63, -1],
            [2**63 - 1, -(2**63), 9223372036854775808.0, -1],
        ),
    ],
)
def test_py_to_value_rows(value, expected):
    assert typed(converted(value)) == typed(expected)


def test_numpy_values():
    np = pytest.importorskip("numpy")
    rows = [
        (np.bool_(True), True),
        (np.bool_(False), False),
        (np.int64(5), 5),
        (np.int8(-3), -3),
        (np.uint64(2**64 - 1), 1.8446744073709552e19),
        (np.float64(1.5), 1.5),
        (np.float32(0.5), 0.5),
        (np.array([1, 2]), "[1 2]"),
    ]
    assert [typed(converted(v)) for v, _ in rows] == [typed(e) for _, e in rows]


def numpy_like(name, module="numpy", **members):
    """A class that presents itself as `module`.`name`."""
    return type(name, (), {"__module__": module, **members})()


def raise_zero_division(_):
    return 1 // 0


@pytest.mark.parametrize(
    "value, expected",
    [
        (numpy_like("bool_", __bool__=lambda _: True), True),
        (numpy_like("bool", __bool__=lambda _: False), False),
        # a truth slot that fails, or none at all, passes the object on
        (
            numpy_like(
                "bool", __bool__=raise_zero_division, __str__=lambda _: "raised"
            ),
            "raised",
        ),
        (numpy_like("bool", __str__=lambda _: "no slot"), "no slot"),
        (
            numpy_like("bool_", __bool__=lambda _: True, __index__=lambda _: 2),
            True,
        ),
        # only numpy's own boolean names count
        (
            numpy_like(
                "bool_", module="numpyx", __bool__=lambda _: True, __str__=lambda _: "x"
            ),
            "x",
        ),
        (numpy_like("int_", __bool__=lambda _: True, __str__=lambda _: "y"), "y"),
    ],
)
def test_numpy_boolean_is_recognised_by_module_and_name(value, expected):
    assert typed(converted(value)) == typed(expected)


def test_fields_become_event_fields():
    fields = {"a": 1, "b": [1, {"c": None}], "d": (1,)}
    assert converted(fields) == {"a": 1, "b": [1, {"c": None}], "d": "(1,)"}
    assert eval_expr(field("b"), fields=fields) == [1, {"c": None}]
    assert eval_expr(field("missing"), fields=fields) is None


# Ways an expression reads the plain field "x", which holds "v"; each must
# see it, beside other plain fields that nothing reads.
def tree_of(subject):
    switch = {"subject": subject, "cases": [], "default": {"Leaf": field("x")}}
    return {"DecisionTree": {"Switch": switch}}


FIELD_READERS = [
    (field("x"), "v"),
    (method(field(), "x"), "v"),
    (method(field("x"), "to_upper"), "V"),
    (call("len", field("x")), 1),
    (count(list_expr(field("x"), field("x")), binary("Eq", ref(0), lit_str("v"))), 2),
    (tree_of(lit_int(1)), "v"),
    (binary("Add", ref("Context", "x"), field("x")), None),
    (binary("Add", lit_str("<"), field("x")), "<v"),
]


@pytest.mark.parametrize("expr, expected", FIELD_READERS)
def test_every_way_of_reading_a_field_sees_it(expr, expected):
    fields = {"a": "plain", "x": "v", "n": 1, "f": 1.5, "b": True, "z": None}
    assert eval_expr(expr, fields=fields) == expected


# A text that an event field brings back into the result (as an argument,
# as the reason, as a constraint's target) is a plain str of the converted
# text, whatever the field held.
RETURNED_TEXTS = [
    ("shell", "shell"),
    ("", ""),
    ("a\x00b", "a\x00b"),
    ("café", "café"),
    ("日本", "日本"),
    ("a\udc80", "a\ufffd\ufffd\ufffd"),
    (StrSub("shell"), "shell"),
    (StrWithOwnText("shell"), "shell"),
    ("x" * 5000, "x" * 5000),
]


@pytest.mark.parametrize("value, expected", RETURNED_TEXTS)
def test_texts_returned_from_fields(value, expected):
    rules = [
        rule(
            verdicts=[verdict("Audit", field("f"))],
            actions=[action("Log", v=field("f"), w=field("g"))],
        )
    ]
    # "g" holds the same text as a plain str, so a lookup by text alone
    # would hand it back for "f".
    fields = {"f": value, "g": expected}
    result = engine_for(policy(rules=rules)).evaluate("t", fields)
    args = result["actions"][0]["args"]
    assert type(args["v"]) is str and args["v"] == expected
    assert type(args["w"]) is str and args["w"] == expected
    assert type(result["reason"]) is str and result["reason"] == expected
    limited = policy(rules=rules, constraints=[constraint("t", 0, 1000)])
    result = engine_for(limited).evaluate("t", fields)
    target = result["constraint_violations"][0]["target"]
    assert type(target) is str and target == "t"


def test_plain_ascii_fields_come_back_as_the_callers_objects():
    doc = policy(rules=[rule(actions=[action("Log", v=field("f"))])])
    text = "".join(["rm -rf ", "/work"])  # built at run time: not interned
    event_type = "".join(["tool", "_call"])
    engine = engine_for(doc)
    assert engine.evaluate(event_type, {"f": text})["actions"][0]["args"]["v"] is text


def test_fields_read_only_by_guards_reach_them():
    guard = ("Predicate", binary("Eq", field("g"), lit_str("go")))
    doc = policy(
        state_machines=[
            machine(
                states=[state("a"), state("b", "Violated", 1)],
                transitions=[transition(0, 1, guard)],
                violating=[1],
            )
        ]
    )
    engine = engine_for(doc)
    assert engine.evaluate("t", {"g": "stay", "h": 1})["violations"] == []
    assert engine.evaluate("t", {"h": 1, "g": "go"})["verdict"] == "deny"


def test_str_key_subclass_in_fields():
    assert eval_expr(field("k"), fields={StrSub("k"): 3}) == 3


# --- conversion failures -----------------------------------------------------


class Raising:
    error = ValueError("from __str__")

    def __str__(self):
        raise self.error


class NotText:
    def __str__(self):
        return 5  # noqa: PLE0307 - the conversion must reject it


@pytest.mark.parametrize(
    "fields, error_type, message",
    [
        ({1: "x"}, TypeError, "keys must be str, not int"),
        ({None: "x"}, TypeError, "keys must be str, not None"),
        ({"a": {(1,): 1}}, TypeError, "keys must be str, not tuple"),
        ({"a": [1, {b"k": 1}]}, TypeError, "keys must be str, not bytes"),
        (
            {"\ud800": 1},
            UnicodeEncodeError,
            (
                "'utf-8' codec can't encode character '\\ud800' in position 0: "
                "surrogates not allowed"
            ),
        ),
        (
            {"a": {"x\udc80": 1}},
            UnicodeEncodeError,
            (
                "'utf-8' codec can't encode character '\\udc80' in position 1: "
                "surrogates not allowed"
            ),
        ),
        ({"a": NotText()}, TypeError, "__str__ returned non-string (type int)"),
        (
            {"a": 1, "b": [2, NotText()]},
            TypeError,
            "__str__ returned non-string (type int)",
        ),
    ],
)
def test_field_conversion_failures(fields, error_type, message):
    engine = engine_for(policy())
    with pytest.raises(error_type) as raised:
        engine.evaluate("t", fields)
    assert type(raised.value) is error_type
    assert str(raised.value) == message
    assert engine.event_count == 0


@pytest.mark.parametrize(
    "fields",
    [
        {"a": Raising()},
        {"a": [1, Raising()]},
        {"a": {"b": {"c": Raising()}}},
    ],
)
def test_str_exception_propagates_unchanged(fields):
    engine = engine_for(policy())
    with pytest.raises(ValueError) as raised:
        engine.evaluate("t", fields)
    assert raised.value is Raising.error
    assert engine.event_count == 0


@pytest.mark.parametrize("setter", ["set_context", "set_config"])
@pytest.mark.parametrize(
    "value, error_type, message",
    [
        ({1: 2}, TypeError, "keys must be str, not int"),
        ([NotText()], TypeError, "__str__ returned non-string (type int)"),
        (Raising(), ValueError, "from __str__"),
    ],
)
def test_setter_conversion_failures_leave_the_engine_unchanged(
    setter, value, error_type, message
):
    root = "Context" if setter == "set_context" else "Policy"
    engine = engine_for(policy(rules=[rule(actions=[action("Log", v=ref(root, "k"))])]))
    getattr(engine, setter)("k", "before")
    with pytest.raises(error_type) as raised:
        getattr(engine, setter)("k", value)
    assert str(raised.value) == message
    assert engine.evaluate("t")["actions"][0]["args"]["v"] == "before"


@pytest.mark.parametrize("setter", ["set_context", "set_config"])
def test_setter_key_with_lone_surrogate(setter):
    engine = engine_for(policy())
    with pytest.raises(UnicodeEncodeError):
        getattr(engine, setter)("\ud800", 1)


def test_event_type_with_lone_surrogate():
    engine = engine_for(policy())
    with pytest.raises(UnicodeEncodeError):
        engine.evaluate("\ud800")
    assert engine.event_count == 0


# --- containers changing while they are converted ----------------------------


class Mutate:
    """A value whose str() runs `change` on the container being converted."""

    def __init__(self, change):
        self.change = change

    def __str__(self):
        self.change()
        return "s"


def grow(d):
    d["added"] = 1


def shrink(d):
    d.pop("b")


def swap(d):
    del d["a"]
    d["c"] = 1


def replace_value(d):
    d["b"] = 2


@pytest.mark.parametrize(
    "change, message",
    [
        (grow, "dictionary changed size during iteration"),
        (shrink, "dictionary changed size during iteration"),
        (swap, "dictionary keys changed during iteration"),
    ],
)
@pytest.mark.parametrize("nested", [False, True])
def test_dict_changed_during_conversion(change, message, nested):
    target = {}
    target["a"] = Mutate(lambda: change(target))
    target["b"] = 1
    fields = {"outer": target} if nested else target
    engine = engine_for(policy())
    with pytest.raises(RuntimeError) as raised:
        engine.evaluate("t", fields)
    assert type(raised.value) is RuntimeError
    assert str(raised.value) == message
    assert engine.event_count == 0


def test_dict_value_replaced_during_conversion():
    target = {}
    target["a"] = Mutate(lambda: replace_value(target))
    target["b"] = 1
    assert converted(target) == {"a": "s", "b": 2}


@pytest.mark.parametrize(
    "change, expected",
    [
        (lambda items: items.clear(), ["s"]),
        (lambda items: items.__delitem__(slice(2, None)), ["s", "b"]),
        (lambda items: items.append("z"), ["s", "b", "c"]),
        (lambda items: items.__setitem__(1, "y"), ["s", "y", "c"]),
    ],
)
def test_list_changed_during_conversion(change, expected):
    items = []
    items.extend([Mutate(lambda: change(items)), "b", "c"])
    assert converted(items) == expected


def deep(kind, depth):
    value = None
    for _ in range(depth):
        value = [value] if kind == "list" else {"k": value}
    return value


@pytest.mark.parametrize("kind", ["list", "dict"])
def test_pathological_nesting_raises_recursion_error(kind):
    engine = engine_for(policy())
    value = deep(kind, 100_000)
    with pytest.raises(RecursionError) as raised:
        engine.evaluate("t", {"v": value})
    assert str(raised.value) == (
        "maximum recursion depth exceeded while converting a nested value"
    )
    with pytest.raises(RecursionError):
        engine.set_context("k", value)
    assert engine.event_count == 0
    assert engine.evaluate("t")["verdict"] == "allow"


@pytest.mark.parametrize("kind", ["list", "dict"])
def test_moderate_nesting_round_trips(kind):
    value = deep(kind, 100)
    assert converted(value) == value


# --- value to Python ---------------------------------------------------------


@pytest.mark.parametrize(
    "expr, expected",
    [
        (lit_int(5), 5),
        (lit_int(-(2**63)), -(2**63)),
        (lit_float(2.5), 2.5),
        (lit_str("x"), "x"),
        (lit_str("gärd ✓"), "gärd ✓"),
        (lit_bool(True), True),
        (lit_dur(1500), 1500),
        (lit_dur(2, "Seconds"), 2000),
        (list_expr(lit_int(1), lit_str("a"), lit_dur(3)), [1, "a", 3]),
        (list_expr(), []),
        (field("missing"), None),
    ],
)
def test_value_to_py(expr, expected):
    assert typed(eval_expr(expr)) == typed(expected)


# --- the result dictionary ---------------------------------------------------


def full_policy(verdict_name="Deny", rule_id=7):
    return policy(
        rules=[
            rule(
                rule_id=rule_id,
                verdicts=[verdict(verdict_name, lit_str("no"))],
                actions=[action("Log", v=lit_int(1), d=lit_dur(1500))],
            )
        ],
        constraints=[constraint("t", 0, 1000)],
        state_machines=[
            machine(
                name="m",
                invariant="inv",
                kind="Never",
                states=[state("a"), state("b", "Violated")],
                transitions=[transition(0, 1, "Always")],
                violating=[1],
            )
        ],
    )


def test_empty_result_in_order():
    result = engine_for(policy()).evaluate("t")
    assert tuple(result) == RESULT_KEYS
    assert type(result["eval_time_us"]) is int
    assert result["eval_time_us"] >= 0
    assert outcome(result) == {
        "verdict": "allow",
        "reason": None,
        "triggered_rules": [],
        "actions": [],
        "violations": [],
        "constraint_violations": [],
    }


def test_full_result_in_order():
    result = engine_for(full_policy()).evaluate("t")
    assert tuple(result) == RESULT_KEYS
    assert [list(a) for a in result["actions"]] == [["verb", "args"]]
    assert [list(v) for v in result["violations"]] == [
        ["proof", "invariant", "kind", "message"]
    ]
    assert [list(c) for c in result["constraint_violations"]] == [
        ["kind", "target", "limit", "current", "window_ms"]
    ]
    assert outcome(result) == {
        "verdict": "deny",
        "reason": "no",
        "triggered_rules": [7],
        "actions": [{"verb": "Log", "args": {"v": 1, "d": 1500}}],
        "violations": [
            {
                "proof": "m",
                "invariant": "inv",
                "kind": "Never",
                "message": "Invariant `inv` in proof `m` violated by event `t`",
            }
        ],
        "constraint_violations": [
            {
                "kind": "RateLimit",
                "target": "t",
                "limit": 0,
                "current": 1,
                "window_ms": 1000,
            }
        ],
    }


@pytest.mark.parametrize(
    "name, expected",
    [("Allow", "allow"), ("Deny", "deny"), ("Audit", "audit"), ("Redact", "redact")],
)
def test_verdict_is_lower_cased(name, expected):
    doc = policy(rules=[rule(verdicts=[verdict(name, lit_str("why"))])])
    result = engine_for(doc).evaluate("t")
    assert result["verdict"] == expected
    assert type(result["verdict"]) is str


def test_largest_rule_id():
    doc = policy(rules=[rule(rule_id=4294967295)])
    assert engine_for(doc).evaluate("t")["triggered_rules"] == [4294967295]


def test_quota_kind_keeps_its_case():
    doc = policy(constraints=[constraint("t", 0, 1000, kind="Quota")])
    violation = engine_for(doc).evaluate("t")["constraint_violations"][0]
    assert violation["kind"] == "Quota"


def test_every_result_is_a_fresh_object():
    engine = engine_for(full_policy())
    first = engine.evaluate("u")
    first["triggered_rules"].append(99)
    first["actions"][0]["args"]["v"] = "changed"
    second = engine.evaluate("u")
    assert second["triggered_rules"] == [7]
    assert second["actions"][0]["args"] == {"v": 1, "d": 1500}
    assert second is not first


def test_dict_subclass_fields_use_their_storage():
    fields = StorageDict(real=1)
    assert eval_expr(field("real"), fields=fields) == 1
    assert eval_expr(field("ignored"), fields=fields) is None


@pytest.mark.parametrize(
    "fields, error",
    [
        ({"unread": 1, 2: "x"}, TypeError),
        ({"unread": "a", "\ud800": "x"}, UnicodeEncodeError),
        ({"unread": Raising()}, ValueError),
    ],
)
def test_unread_fields_are_still_checked(fields, error):
    engine = engine_for(policy(rules=[rule(actions=[action("Log", v=field("v"))])]))
    with pytest.raises(error):
        engine.evaluate("t", fields)
    assert engine.event_count == 0
