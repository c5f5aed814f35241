"""Literals, binary and unary operators, predicates, and the evaluator's
equality and ordering."""

import pytest
from helpers import INF, INT64_MAX, INT64_MIN, NAN, assert_same, eval_expr

from corvanth_core.ir import (
    binary,
    field,
    list_expr,
    lit_bool,
    lit_dur,
    lit_float,
    lit_int,
    lit_regex,
    lit_str,
    predicate,
    unary,
)

NULL = field("missing")


def on_fields(op, a, b):
    """`op` applied to the event fields a and b."""
    return eval_expr(binary(op, field("a"), field("b")), fields={"a": a, "b": b})


# --- literals ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "expr, expected",
    [
        (lit_bool(True), True),
        (lit_bool(False), False),
        (lit_int(0), 0),
        (lit_int(-5), -5),
        (lit_int(INT64_MAX), INT64_MAX),
        (lit_int(INT64_MIN), INT64_MIN),
        (lit_float(0.5), 0.5),
        (lit_float(2), 2.0),
        (lit_float(-0.0), -0.0),
        (lit_str(""), ""),
        (lit_str("tool"), "tool"),
        (
            lit_str("a much longer text than twenty-three bytes"),
            "a much longer text than twenty-three bytes",
        ),
        (lit_regex("^a.*$"), "^a.*$"),
        (lit_dur(30), 30),
        (lit_dur(30, "Milliseconds"), 30),
        (lit_dur(30, "Seconds"), 30000),
        (lit_dur(2, "Minutes"), 120000),
        (lit_dur(1, "Hours"), 3600000),
        (lit_dur(2, "Days"), 172800000),
        (lit_dur(0, "Days"), 0),
        (lit_dur(2**64 - 1), 2**64 - 1),
        (lit_dur(2**64 - 1, "Days"), 18446744073623151616),
        (lit_dur(2**63, "Seconds"), 0),
        (lit_dur(2**62, "Minutes"), 0),
        (lit_dur(2**64 // 1000 + 1, "Seconds"), 384),
    ],
)
def test_literals(expr, expected):
    assert_same(eval_expr(expr), expected)


# --- arithmetic --------------------------------------------------------------------


@pytest.mark.parametrize(
    "op, a, b, expected",
    [
        ("Add", 2, 3, 5),
        ("Add", INT64_MAX, 1, INT64_MIN),
        ("Add", INT64_MIN, -1, INT64_MAX),
        ("Add", 1, 0.5, 1.5),
        ("Add", 0.5, 1, 1.5),
        ("Add", 0.25, 0.5, 0.75),
        ("Add", 2**53 + 1, 0.0, 9007199254740992.0),
        ("Add", "ab", "cd", "abcd"),
        ("Add", "", "", ""),
        ("Add", "a" * 20, "b" * 20, "a" * 20 + "b" * 20),
        ("Add", "a", 1, None),
        ("Add", 1, "a", None),
        ("Add", True, 1, None),
        ("Add", None, None, None),
        ("Add", [1], [2], None),
        ("Add", {"a": 1}, {"b": 2}, None),
        ("Sub", 5, 7, -2),
        ("Sub", INT64_MIN, 1, INT64_MAX),
        ("Sub", 1.5, 1, 0.5),
        ("Sub", 1, 1.5, -0.5),
        ("Sub", "ab", "b", None),
        ("Mul", 3, -2, -6),
        ("Mul", 2**62, 4, 0),
        ("Mul", INT64_MAX, 2, -2),
        ("Mul", 2, 1.5, 3.0),
        ("Mul", -1, 0.0, -0.0),
        ("Mul", "a", 2, None),
        ("Div", 7, 2, 3),
        ("Div", -7, 2, -3),
        ("Div", 7, -2, -3),
        ("Div", 7, 0, None),
        ("Div", 0, 0, None),
        ("Div", INT64_MIN, -1, INT64_MIN),
        ("Div", INT64_MIN, 1, INT64_MIN),
        ("Div", 7, 2.0, 3.5),
        ("Div", 7.5, 2.5, 3.0),
        ("Div", 1.0, 0, None),
        ("Div", 1.0, 0.0, None),
        ("Div", 1.0, -0.0, None),
        ("Div", 1, 0.0, None),
        ("Div", 0.0, 0.0, None),
        ("Div", 1.0, INF, 0.0),
        ("Div", NAN, 1, NAN),
        ("Div", "a", 1, None),
        ("Mod", 7, 2, 1),
        ("Mod", -7, 2, -1),
        ("Mod", 7, -2, 1),
        ("Mod", -7, -2, -1),
        ("Mod", 7, 0, None),
        ("Mod", INT64_MIN, -1, 0),
        ("Mod", INT64_MIN, INT64_MAX, -1),
        ("Mod", 5.5, 2, None),
        ("Mod", 5, 2.0, None),
        ("Mod", "a", 1, None),
    ],
)
def test_arithmetic(op, a, b, expected):
    assert_same(on_fields(op, a, b), expected)


@pytest.mark.parametrize("op", ["Add", "Sub", "Mul", "Div", "Mod"])
@pytest.mark.parametrize(
    "left, right",
    [
        (lit_dur(5), lit_dur(5)),
        (lit_dur(5), lit_int(1)),
        (lit_int(1), lit_dur(5)),
        (lit_dur(5), lit_float(1.0)),
    ],
)
def test_durations_take_part_in_no_arithmetic(op, left, right):
    assert_same(eval_expr(binary(op, left, right)), None)


# --- equality ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "a, b, expected",
    [
        (None, None, True),
        (True, True, True),
        (True, False, False),
        (True, 1, False),
        (0, False, False),
        (1, 1, True),
        (1, 2, False),
        (1, 1.0, True),
        (1.0, 1, True),
        (2**53 + 1, 2**53 + 2, False),
        (2**53 + 1, 9007199254740992.0, True),
        (1.0, 1.0000000000000002, False),
        (1e-17, 0.0, True),
        # The tolerance is 2**-52, absolute, and the difference must be below it.
        (0.0, 2**-53, True),
        (0.0, 2**-52, False),
        (-(2**-53), 0, True),
        (2**-52, 0, False),
        (1, 1 - 2**-53, True),
        (1 - 2**-53, 1.0, True),
        (2.0, 2.0 + 2**-51, False),
        (0.0, -0.0, True),
        (1e300, 1e300 * (1 + 2**-52), False),
        (NAN, NAN, False),
        (NAN, 1, False),
        (INF, INF, True),
        (INF, -INF, False),
        ("a", "a", True),
        ("a", "b", False),
        ("1", 1, False),
        ([1], [1], False),
        ([], [], False),
        ({}, {}, False),
        ({"a": 1}, {"a": 1}, False),
        (None, 0, False),
        (None, "", False),
    ],
)
def test_equality(a, b, expected):
    assert_same(on_fields("Eq", a, b), expected)
    assert_same(on_fields("Neq", a, b), not expected)


@pytest.mark.parametrize(
    "left, right, expected",
    [
        (binary("Add", lit_float(0.1), lit_float(0.2)), lit_float(0.3), True),
        (lit_dur(5), lit_dur(5), True),
        (lit_dur(1, "Seconds"), lit_dur(1000), True),
        (lit_dur(5), lit_dur(6), False),
        (lit_int(5), lit_dur(5), False),
        (lit_dur(5), lit_float(5.0), False),
        (lit_regex("a.*"), lit_str("a.*"), True),
        (list_expr(lit_int(1)), list_expr(lit_int(1)), False),
    ],
)
def test_equality_of_literals(left, right, expected):
    assert_same(eval_expr(binary("Eq", left, right)), expected)
    assert_same(eval_expr(binary("Neq", left, right)), not expected)


# --- ordering ---------------------------------------------------------------------

LESS = (True, True, False, False)
EQUAL = (False, True, False, True)
GREATER = (False, False, True, True)
UNORDERED = (False, False, False, False)


@pytest.mark.parametrize(
    "a, b, results",
    [
        (1, 2, LESS),
        (2, 2, EQUAL),
        (3, 2, GREATER),
        (INT64_MIN, INT64_MAX, LESS),
        (1, 1.5, LESS),
        (2.0, 2, EQUAL),
        (2.5, 2, GREATER),
        (-INF, INF, LESS),
        (0.0, -0.0, EQUAL),
        (NAN, 1, UNORDERED),
        (1, NAN, UNORDERED),
        (NAN, NAN, UNORDERED),
        ("apple", "banana", LESS),
        ("b", "a", GREATER),
        ("ab", "abc", LESS),
        ("", "a", LESS),
        ("same", "same", EQUAL),
        ("Z", "a", LESS),
        ("é", "z", GREATER),
        (False, True, UNORDERED),
        (True, True, UNORDERED),
        (None, None, UNORDERED),
        ([1], [2], UNORDERED),
        ({}, {}, UNORDERED),
        (1, "a", UNORDERED),
        ("1", 1, UNORDERED),
    ],
)
def test_ordering(a, b, results):
    got = tuple(on_fields(op, a, b) for op in ("Lt", "Le", "Gt", "Ge"))
    assert_same(list(got), list(results))


@pytest.mark.parametrize(
    "left, right, results",
    [
        (lit_dur(1000), lit_dur(2000), LESS),
        (lit_dur(1, "Minutes"), lit_dur(60, "Seconds"), EQUAL),
        (lit_dur(1, "Days"), lit_dur(23, "Hours"), GREATER),
        (lit_dur(1000), lit_int(2000), UNORDERED),
        (lit_int(2000), lit_dur(1000), UNORDERED),
        (lit_dur(1000), lit_float(2000.0), UNORDERED),
    ],
)
def test_ordering_of_durations(left, right, results):
    got = [eval_expr(binary(op, left, right)) for op in ("Lt", "Le", "Gt", "Ge")]
    assert_same(got, list(results))


# --- membership --------------------------------------------------------------------


@pytest.mark.parametrize(
    "a, b, expected",
    [
        (2, [1, 2.0], True),
        (2.0, [1, 2], True),
        (3, [1, 2], False),
        (1, [], False),
        (None, [None], True),
        ("a", ["b", "a"], True),
        ([1], [[1]], False),
        ({}, [{}], False),
        ("a", {"a": 1}, True),
        ("b", {"a": 1}, False),
        ("", {"": 0}, True),
        (1, {"1": 0}, False),
        ("x", "xyz", False),
        ("xyz", "xyz", False),
        (1, 1, False),
        (1, None, False),
    ],
)
def test_in(a, b, expected):
    assert_same(on_fields("In", a, b), expected)


def test_in_with_a_duration_list():
    expr = binary("In", lit_dur(1, "Seconds"), list_expr(lit_int(1000), lit_dur(1000)))
    assert_same(eval_expr(expr), True)


# --- logical operators ------------------------------------------------------------


@pytest.mark.parametrize(
    "op, a, b, expected",
    [
        # A falsy left decides And without the right side: False, never the
        # right's truth value and never the left value itself.
        ("And", None, True, False),
        ("And", 0, True, False),
        ("And", False, True, False),
        ("And", "", [1], False),
        ("And", 1, 0, False),
        ("And", 1, "a", True),
        ("And", [1], {"k": 1}, True),
        ("And", 1, None, False),
        # A truthy left decides Or: True even when the right side is falsy.
        ("Or", 1, False, True),
        ("Or", "x", None, True),
        ("Or", 0, [], False),
        ("Or", 0, [1], True),
        ("Or", None, None, False),
        # A falsy left makes Implies True whatever the right side is.
        ("Implies", 0, False, True),
        ("Implies", None, None, True),
        ("Implies", 1, 0, False),
        ("Implies", 1, "a", True),
        ("Implies", True, False, False),
    ],
)
def test_logical_operators(op, a, b, expected):
    assert_same(on_fields(op, a, b), expected)


@pytest.mark.parametrize(
    "op, left, expected",
    [
        ("And", lit_int(0), False),
        ("And", NULL, False),
        ("Or", lit_int(7), True),
        ("Or", lit_str("x"), True),
        ("Implies", lit_int(0), True),
        ("Implies", NULL, True),
    ],
)
def test_logical_short_cut_ignores_the_right_side(op, left, expected):
    # The right side would flip the result if it were consulted.
    right = lit_bool(not expected)
    assert_same(eval_expr(binary(op, left, right)), expected)


# --- unary operators -------------------------------------------------------------


@pytest.mark.parametrize(
    "op, value, expected",
    [
        ("Not", None, True),
        ("Not", True, False),
        ("Not", False, True),
        ("Not", 0, True),
        ("Not", 2, False),
        ("Not", NAN, False),
        ("Not", -0.0, True),
        ("Not", "", True),
        ("Not", "a", False),
        ("Not", [], True),
        ("Not", {"a": 1}, False),
        ("Neg", 5, -5),
        ("Neg", -5, 5),
        ("Neg", 0, 0),
        ("Neg", INT64_MAX, -INT64_MAX),
        ("Neg", INT64_MIN, INT64_MIN),
        ("Neg", 2.5, -2.5),
        ("Neg", 0.0, -0.0),
        ("Neg", -INF, INF),
        ("Neg", NAN, NAN),
        ("Neg", "a", None),
        ("Neg", True, None),
        ("Neg", None, None),
        ("Neg", [1], None),
    ],
)
def test_unary(op, value, expected):
    assert_same(eval_expr(unary(op, field("v")), fields={"v": value}), expected)


@pytest.mark.parametrize(
    "op, operand, expected",
    [
        ("Neg", lit_dur(5), None),
        ("Not", lit_dur(0), True),
        ("Not", lit_dur(5), False),
    ],
)
def test_unary_on_durations(op, operand, expected):
    assert_same(eval_expr(unary(op, operand)), expected)


# --- predicates ------------------------------------------------------------------


@pytest.mark.parametrize(
    "kind, subject, argument, expected",
    [
        ("Contains", [1, 2], 2, True),
        ("Contains", [1, 2], 2.0, False),
        ("Contains", "abc", "b", True),
        ("Contains", "abc", 1, False),
        ("Contains", {"a": 1}, "a", False),
        ("Contains", None, None, False),
        ("Matches", "x", 1, True),
        ("Matches", 1, "1", False),
        ("Matches", "file.txt", ".*.txt", True),
        ("StartsWith", "hello", "he", True),
        ("StartsWith", "hello", "", True),
        ("StartsWith", "hello", "hello", True),
        ("StartsWith", "hello", "lo", False),
        ("StartsWith", "he", "hello", False),
        ("StartsWith", 12, "1", False),
        ("StartsWith", "12", 1, False),
        ("StartsWith", ["a"], "a", False),
        ("EndsWith", "hello", "lo", True),
        ("EndsWith", "hello", "", True),
        ("EndsWith", "hello", "he", False),
        ("EndsWith", "lo", "hello", False),
        ("EndsWith", "héllo", "llo", True),
        ("EndsWith", None, "", False),
        ("EndsWith", "1", 1, False),
    ],
)
def test_predicates(kind, subject, argument, expected):
    expr = predicate(kind, field("s"), field("a"))
    assert_same(eval_expr(expr, fields={"s": subject, "a": argument}), expected)


def test_contains_uses_structural_equality_while_in_does_not():
    items = {"list": [1, 2.0]}
    assert_same(
        eval_expr(predicate("Contains", field("list"), lit_int(2)), fields=items),
        False,
    )
    assert_same(eval_expr(binary("In", lit_int(2), field("list")), fields=items), True)
