"""Decision trees: literal, constructor and guard cases, defaults, leaves and
verdict leaves."""

import pytest
from helpers import assert_same, eval_expr

from corvanth_core.ir import (
    binary,
    count,
    field,
    list_expr,
    lit_bool,
    lit_dur,
    lit_int,
    lit_str,
    ref,
)

NULL = field("missing")


def tree(node):
    return {"DecisionTree": node}


def switch(subject, cases, default=None):
    return {"Switch": {"subject": subject, "cases": list(cases), "default": default}}


def leaf(expr):
    return {"Leaf": expr}


def verdict_leaf(name, message=None):
    return {"VerdictLeaf": {"verdict": name, "message": message}}


def on_literal(literal):
    return {"Literal": literal}


def on_constructor(name):
    return {"Constructor": name}


def on_guard(expr):
    return {"Guard": expr}


def case(test, body):
    return {"test": test, "body": body}


MATCHED = leaf(lit_str("matched"))
DEFAULT = leaf(lit_str("default"))


def pick(subject, test, **kwargs):
    """ "matched" when `test` matches `subject`, else "default"."""
    return eval_expr(tree(switch(subject, [case(test, MATCHED)], DEFAULT)), **kwargs)


# --- structure --------------------------------------------------------------------


def test_switch_without_cases_or_default_is_null():
    assert_same(eval_expr(tree(switch(lit_int(1), []))), None)


def test_switch_without_cases_takes_the_default():
    assert_same(eval_expr(tree(switch(lit_int(1), [], leaf(lit_int(7))))), 7)


def test_no_match_without_default_is_null():
    cases = [case(on_literal({"Int": 2}), MATCHED)]
    assert_same(eval_expr(tree(switch(lit_int(1), cases))), None)


def test_first_matching_case_wins():
    cases = [
        case(on_literal({"Int": 2}), leaf(lit_str("two"))),
        case(on_guard(lit_bool(True)), leaf(lit_str("first"))),
        case(on_literal({"Int": 1}), leaf(lit_str("second"))),
    ]
    assert_same(eval_expr(tree(switch(lit_int(1), cases, DEFAULT))), "first")


def test_null_guard_falls_through_to_a_matching_literal():
    cases = [
        case(on_guard(NULL), leaf(lit_str("guard"))),
        case(on_literal({"Int": 3}), leaf(lit_str("literal"))),
    ]
    assert_same(
        eval_expr(tree(switch(field("v"), cases)), fields={"v": 3.0}), "literal"
    )


def test_nested_switches():
    inner = switch(
        field("b"),
        [case(on_literal({"String": "y"}), leaf(lit_int(2)))],
        leaf(lit_int(3)),
    )
    outer = switch(
        field("a"), [case(on_literal({"String": "x"}), inner)], leaf(lit_int(1))
    )
    assert_same(eval_expr(tree(outer), fields={"a": "x", "b": "y"}), 2)
    assert_same(eval_expr(tree(outer), fields={"a": "x", "b": "z"}), 3)
    assert_same(eval_expr(tree(outer), fields={"a": "w", "b": "y"}), 1)


def test_default_may_be_a_switch():
    inner = switch(field("b"), [case(on_literal({"Int": 5}), leaf(lit_str("inner")))])
    outer = switch(field("a"), [case(on_literal({"Int": 1}), MATCHED)], inner)
    assert_same(eval_expr(tree(outer), fields={"a": 2, "b": 5}), "inner")
    assert_same(eval_expr(tree(outer), fields={"a": 2, "b": 6}), None)


@pytest.mark.parametrize(
    "expr, expected",
    [
        (lit_int(4), 4),
        (list_expr(lit_int(1), lit_str("a")), [1, "a"]),
        (field("m"), {"k": [1]}),
        (NULL, None),
        (lit_dur(2, "Seconds"), 2000),
    ],
)
def test_leaf_values(expr, expected):
    assert_same(eval_expr(tree(leaf(expr)), fields={"m": {"k": [1]}}), expected)


@pytest.mark.parametrize("name", ["Allow", "Deny", "Audit", "Redact"])
@pytest.mark.parametrize("message", [None, lit_str("why"), NULL])
def test_verdict_leaves_give_the_verdict_name(name, message):
    assert_same(eval_expr(tree(verdict_leaf(name, message))), name)


def test_verdict_leaf_as_a_case_body():
    cases = [case(on_constructor("tool_call"), verdict_leaf("Deny", lit_str("no")))]
    got = eval_expr(
        tree(switch(field(), cases, verdict_leaf("Allow"))), event_type="tool_call"
    )
    assert_same(got, "Deny")


# --- literal cases -------------------------------------------------------------------


@pytest.mark.parametrize(
    "subject, literal, expected",
    [
        (3, {"Int": 3}, "matched"),
        (3.0, {"Int": 3}, "matched"),
        (3, {"Float": 3.0}, "matched"),
        (3, {"Int": 4}, "default"),
        ("a", {"String": "a"}, "matched"),
        ("a", {"String": "A"}, "default"),
        ("a.*", {"Regex": "a.*"}, "matched"),
        ("abc", {"Regex": "a.*"}, "default"),
        (True, {"Bool": True}, "matched"),
        (True, {"Int": 1}, "default"),
        (None, {"Bool": False}, "default"),
        ([3], {"Int": 3}, "default"),
        ({"type": "a"}, {"String": "a"}, "default"),
        ("5", {"Int": 5}, "default"),
    ],
)
def test_literal_cases(subject, literal, expected):
    assert_same(pick(field("v"), on_literal(literal), fields={"v": subject}), expected)


@pytest.mark.parametrize(
    "subject, literal, expected",
    [
        (
            lit_dur(1, "Seconds"),
            {"Duration": {"value": 1000, "unit": "Milliseconds"}},
            "matched",
        ),
        (lit_dur(1, "Seconds"), {"Int": 1000}, "default"),
        (lit_int(1000), {"Duration": {"value": 1, "unit": "Seconds"}}, "default"),
    ],
)
def test_duration_literal_cases(subject, literal, expected):
    assert_same(pick(subject, on_literal(literal)), expected)


# --- constructor cases -------------------------------------------------------------


@pytest.mark.parametrize(
    "subject, expected",
    [
        ("email", "matched"),
        ("Email", "default"),
        ("email ", "default"),
        ({"type": "email"}, "matched"),
        ({"type": "email", "to": "x"}, "matched"),
        ({"type": 5}, "default"),
        ({"type": "Email"}, "default"),
        ({"kind": "email"}, "default"),
        ({}, "default"),
        (["email"], "default"),
        (None, "default"),
        (5, "default"),
    ],
)
def test_constructor_cases(subject, expected):
    assert_same(
        pick(field("v"), on_constructor("email"), fields={"v": subject}), expected
    )


@pytest.mark.parametrize(
    "event_type, expected",
    [("tool_call", "matched"), ("data_access", "default")],
)
def test_constructor_matches_the_whole_event_by_type(event_type, expected):
    assert_same(
        pick(field(), on_constructor("tool_call"), event_type=event_type), expected
    )


# --- guard cases ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "guard, expected",
    [
        (lit_bool(True), "matched"),
        (lit_bool(False), "default"),
        (lit_int(2), "matched"),
        (lit_str(""), "default"),
        (NULL, "default"),
        (binary("Gt", field("n"), lit_int(1)), "matched"),
        (binary("Gt", field("n"), lit_int(5)), "default"),
    ],
)
def test_guard_cases(guard, expected):
    assert_same(pick(lit_int(0), on_guard(guard), fields={"n": 3}), expected)


def test_guard_does_not_see_the_subject():
    # Local 0 is not bound to the subject: outside a quantifier it is Null.
    assert_same(pick(lit_int(1), on_guard(ref(0))), "default")


def test_guard_sees_the_enclosing_quantifier_element():
    body = tree(
        switch(
            lit_int(0),
            [case(on_guard(binary("Gt", ref(0), lit_int(1))), leaf(lit_bool(True)))],
            leaf(lit_bool(False)),
        )
    )
    assert_same(eval_expr(count(field("xs"), body), fields={"xs": [1, 2, 3]}), 2)


def test_tree_subject_is_the_quantifier_element():
    body = tree(switch(ref(0), [case(on_literal({"Int": 2}), leaf(lit_bool(True)))]))
    assert_same(eval_expr(count(field("xs"), body), fields={"xs": [1, 2, 2.0, 3]}), 2)
