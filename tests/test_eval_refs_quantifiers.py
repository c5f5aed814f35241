"""References to the event, the context, the configuration and local
bindings; quantifiers, counts and list expressions."""

import pytest
from helpers import assert_same, eval_expr

from corvanth_core.ir import (
    binary,
    count,
    field,
    list_expr,
    lit_int,
    lit_str,
    predicate,
    quantifier,
    ref,
)

NULL = field("missing")
ELEMENT = ref(0)


# --- Event ------------------------------------------------------------------------


def test_whole_event_reference():
    event = eval_expr(field(), fields={"tool": "bash"}, event_type="tool_call")
    assert list(event) == ["tool", "type", "timestamp"]
    assert_same(event["tool"], "bash")
    assert_same(event["type"], "tool_call")
    assert type(event["timestamp"]) is int


def test_whole_event_reference_sees_the_timestamp_but_a_field_path_does_not():
    assert_same(eval_expr(field("timestamp")), None)
    assert_same(eval_expr(field("type")), None)
    assert type(eval_expr(ref("Event"))["timestamp"]) is int


@pytest.mark.parametrize(
    "path, expected",
    [
        (("tool",), "bash"),
        (("args",), {"path": "/etc", "flags": ["-r"]}),
        (("args", "path"), "/etc"),
        (("args", "flags"), ["-r"]),
        (("args", "flags", "0"), None),
        (("args", "missing"), None),
        (("missing",), None),
        (("tool", "x"), None),
    ],
)
def test_event_field_references(path, expected):
    fields = {"tool": "bash", "args": {"path": "/etc", "flags": ["-r"]}}
    assert_same(eval_expr(field(*path), fields=fields), expected)


# --- Context and Policy --------------------------------------------------------------

STORED = {"user": {"role": "admin", "tags": ["a"]}, "limit": 5}


@pytest.mark.parametrize(
    "root, keyword", [("Context", "context"), ("Policy", "config")]
)
@pytest.mark.parametrize(
    "path, expected",
    [
        ((), STORED),
        (("user",), {"role": "admin", "tags": ["a"]}),
        (("user", "role"), "admin"),
        (("user", "tags"), ["a"]),
        (("user", "role", "x"), None),
        (("user", "missing"), None),
        (("limit",), 5),
        (("limit", "x"), None),
        (("missing",), None),
        (("User",), None),
    ],
)
def test_map_references(root, keyword, path, expected):
    assert_same(eval_expr(ref(root, *path), **{keyword: STORED}), expected)


@pytest.mark.parametrize("root", ["Context", "Policy"])
def test_references_into_empty_maps(root):
    assert_same(eval_expr(ref(root)), {})
    assert_same(eval_expr(ref(root, "x")), None)


def test_context_and_policy_are_separate_maps():
    both = {"context": {"k": "from context"}, "config": {"k": "from config"}}
    assert_same(eval_expr(ref("Context", "k"), **both), "from context")
    assert_same(eval_expr(ref("Policy", "k"), **both), "from config")


def test_context_is_not_an_event_field():
    assert_same(eval_expr(field("k"), context={"k": 1}), None)
    assert_same(eval_expr(ref("Context", "k"), fields={"k": 1}), None)


# --- locals ---------------------------------------------------------------------------


@pytest.mark.parametrize("local", [ref(0), ref(0, "x"), ref(1), ref(3)])
def test_locals_outside_quantifiers_are_null(local):
    assert_same(eval_expr(local), None)


@pytest.mark.parametrize(
    "local, bound",
    [
        (ref(0), {"x": 1}),
        (ref(0, "x"), {"x": 1}),
        (ref(0, "missing", "deeper"), {"x": 1}),
        (ref(1), None),
        (ref(3), None),
    ],
)
def test_locals_inside_a_quantifier(local, bound):
    # The body holds exactly when the reference gives a value structurally
    # equal to the probe.
    body = predicate("Contains", list_expr(local), field("probe"))
    for probe, holds in ((bound, True), ("other", False)):
        fields = {"items": [{"x": 1}], "probe": probe}
        got = eval_expr(quantifier("Any", field("items"), body), fields=fields)
        assert_same(got, holds)
        assert_same(eval_expr(count(field("items"), body), fields=fields), int(holds))


def test_local_fields_are_not_consulted():
    body = binary("Eq", ref(0, "zzz"), lit_int(2))
    assert_same(
        eval_expr(quantifier("Any", field("xs"), body), fields={"xs": [1, 2]}), True
    )


def test_local_three_is_null_inside_a_quantifier():
    body = binary("Eq", ref(3), NULL)
    assert_same(
        eval_expr(quantifier("All", field("xs"), body), fields={"xs": [1, 2]}), True
    )


# --- quantifiers ------------------------------------------------------------------------

POSITIVE = binary("Gt", ELEMENT, lit_int(0))


@pytest.mark.parametrize(
    "kind, items, expected",
    [
        ("All", [], True),
        ("Any", [], False),
        ("Exists", [], False),
        ("None", [], True),
        ("All", [1, 2], True),
        ("All", [1, -2], False),
        ("Any", [-1, 2], True),
        ("Any", [-1, -2], False),
        ("Exists", [-1, 2], True),
        ("Exists", [-1, -2], False),
        ("None", [-1, -2], True),
        ("None", [-1, 2], False),
        ("All", [1, "x"], False),
        ("Any", [None, "x", 3], True),
    ],
)
def test_quantifiers_over_lists(kind, items, expected):
    got = eval_expr(quantifier(kind, field("xs"), POSITIVE), fields={"xs": items})
    assert_same(got, expected)


@pytest.mark.parametrize(
    "kind, expected",
    [("All", False), ("Any", False), ("Exists", False), ("None", True)],
)
@pytest.mark.parametrize("collection", [{"a": 1}, None, "abc", 5, 1.5, True])
def test_quantifiers_over_non_lists(kind, expected, collection):
    # The body would be true for any element; it is never reached.
    body = binary("Eq", ELEMENT, ELEMENT)
    got = eval_expr(quantifier(kind, field("c"), body), fields={"c": collection})
    assert_same(got, expected)


@pytest.mark.parametrize(
    "kind, items, expected",
    [
        ("All", [1, "a", [0]], True),
        ("All", [1, 0], False),
        ("Any", [0, "", []], False),
        ("Any", [0, {"k": 1}], True),
        ("None", [0, None, 0.0], True),
        ("None", [0, 0.5], False),
    ],
)
def test_quantifier_bodies_count_by_truthiness(kind, items, expected):
    got = eval_expr(quantifier(kind, field("xs"), ELEMENT), fields={"xs": items})
    assert_same(got, expected)


@pytest.mark.parametrize(
    "inner_body, expected",
    [
        # Inside the inner quantifier, Local 0 is the inner element (1), and
        # the outer element (10) cannot be reached.
        (binary("Eq", ELEMENT, lit_int(1)), True),
        (binary("Eq", ELEMENT, lit_int(10)), False),
    ],
)
def test_nested_quantifier_hides_the_outer_element(inner_body, expected):
    inner = quantifier("Any", field("inner"), inner_body, param="y")
    outer = quantifier("Any", field("outer"), inner, param="x")
    fields = {"outer": [10], "inner": [1]}
    assert_same(eval_expr(outer, fields=fields), expected)


def test_outer_element_is_bound_again_after_a_nested_quantifier():
    inner = quantifier("Any", field("inner"), binary("Eq", ELEMENT, lit_int(1)))
    body = binary("And", inner, binary("Eq", ELEMENT, lit_int(10)))
    got = eval_expr(
        quantifier("All", field("outer"), body), fields={"outer": [10], "inner": [1]}
    )
    assert_same(got, True)


def test_nested_quantifier_over_the_outer_element():
    inner = quantifier("All", ELEMENT, binary("Gt", ELEMENT, lit_int(0)))
    outer = quantifier("Any", field("rows"), inner)
    assert_same(eval_expr(outer, fields={"rows": [[1, -1], [2, 3]]}), True)
    assert_same(eval_expr(outer, fields={"rows": [[1, -1], [0]]}), False)


def test_quantifier_over_a_literal_list():
    expr = quantifier("All", list_expr(lit_int(1), lit_int(2)), POSITIVE)
    assert_same(eval_expr(expr), True)


def test_quantifier_over_a_context_list():
    expr = quantifier(
        "Any", ref("Context", "allowed"), binary("Eq", ELEMENT, field("tool"))
    )
    got = eval_expr(expr, fields={"tool": "ls"}, context={"allowed": ["cat", "ls"]})
    assert_same(got, True)


# --- counts --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "items, filter, expected",
    [
        ([], None, 0),
        ([1, 2, 3], None, 3),
        ([None, None], None, 2),
        ([], POSITIVE, 0),
        ([1, -2, 3], POSITIVE, 2),
        ([-1, -2], POSITIVE, 0),
        ([0, 1, "", "a", [], [0]], ELEMENT, 3),
        ([{"x": 1}, {"x": 2}], binary("Eq", ref(0, "x"), lit_int(1)), 0),
        (["a", "b", "a"], binary("Eq", ELEMENT, lit_str("a")), 2),
    ],
)
def test_counts(items, filter, expected):
    got = eval_expr(count(field("xs"), filter), fields={"xs": items})
    assert_same(got, expected)


@pytest.mark.parametrize("collection", [{"a": 1, "b": 2}, None, "abc", 7])
@pytest.mark.parametrize("filter", [None, POSITIVE])
def test_counts_over_non_lists_are_zero(collection, filter):
    got = eval_expr(count(field("c"), filter), fields={"c": collection})
    assert_same(got, 0)


def test_count_with_a_named_param():
    got = eval_expr(count(field("xs"), POSITIVE, param="x"), fields={"xs": [1, 2]})
    assert_same(got, 2)


def test_count_inside_a_quantifier_binds_its_own_element():
    inner = count(ELEMENT, POSITIVE)
    expr = quantifier("All", field("rows"), binary("Eq", inner, lit_int(1)))
    assert_same(eval_expr(expr, fields={"rows": [[1, -1], [-2, 2]]}), True)


# --- list expressions ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "items, expected",
    [
        ((), []),
        ((lit_int(1),), [1]),
        ((lit_int(1), lit_str("a"), NULL), [1, "a", None]),
        ((list_expr(lit_int(1)), list_expr()), [[1], []]),
        ((field("m"),), [{"k": [1]}]),
    ],
)
def test_list_expressions(items, expected):
    assert_same(eval_expr(list_expr(*items), fields={"m": {"k": [1]}}), expected)
