"""Values and events: truthiness, structural equality, containment, the
pattern rules, text forms, and how an event's fields, type and timestamp are
seen by expressions."""

import time

import pytest
from helpers import INF, INT64_MAX, INT64_MIN, NAN, assert_same, eval_expr

from corvanth_core.ir import (
    binary,
    call,
    field,
    list_expr,
    lit_bool,
    lit_dur,
    lit_float,
    lit_int,
    lit_regex,
    lit_str,
    predicate,
)


def truthy(expr, **fields):
    return eval_expr(binary("Or", expr, lit_bool(False)), fields=fields)


# --- truthiness ---------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, False),
        (True, True),
        (False, False),
        (0, False),
        (1, True),
        (-1, True),
        (0.0, False),
        (-0.0, False),
        (NAN, True),
        (0.5, True),
        (INF, True),
        ("", False),
        ("a", True),
        (" ", True),
        ([], False),
        ([0], True),
        ({}, False),
        ({"k": 0}, True),
    ],
)
def test_truthiness_of_field_values(value, expected):
    assert_same(truthy(field("v"), v=value), expected)


@pytest.mark.parametrize(
    "expr, expected",
    [
        (lit_dur(0), False),
        (lit_dur(1), True),
        (lit_dur(0, "Days"), False),
        (field("missing"), False),
    ],
)
def test_truthiness_of_durations_and_missing_fields(expr, expected):
    assert_same(truthy(expr), expected)


# --- structural equality (seen through list containment) ------------------------


@pytest.mark.parametrize(
    "element, needle, expected",
    [
        (None, None, True),
        (True, True, True),
        (True, 1, False),
        (1, 1, True),
        (1, 1.0, False),
        (1.0, 1, False),
        (0.0, -0.0, True),
        (NAN, NAN, False),
        (0.1 + 0.2, 0.3, False),
        ("a", "a", True),
        ("a", "A", False),
        ([1], [1], True),
        ([1], [1.0], False),
        ([1, 2], [2, 1], False),
        ([1], [1, 1], False),
        ({"a": 1, "b": [2]}, {"b": [2], "a": 1}, True),
        ({"a": 1}, {"a": 1, "b": 2}, False),
        ({"a": 1}, {"b": 1}, False),
        ({"a": 1}, {"a": 1.0}, False),
        ({}, {}, True),
        ({}, [], False),
    ],
)
def test_structural_equality(element, needle, expected):
    expr = predicate("Contains", field("list"), field("needle"))
    assert_same(eval_expr(expr, fields={"list": [element], "needle": needle}), expected)


@pytest.mark.parametrize(
    "items, needle, expected",
    [
        ([lit_dur(5)], lit_dur(5), True),
        ([lit_dur(5)], lit_int(5), False),
        ([lit_dur(1, "Seconds")], lit_dur(1000), True),
        ([lit_int(5)], lit_dur(5), False),
        ([lit_regex("a.*")], lit_str("a.*"), True),
    ],
)
def test_structural_equality_of_literals(items, needle, expected):
    expr = predicate("Contains", list_expr(*items), needle)
    assert_same(eval_expr(expr), expected)


# --- containment ------------------------------------------------------------------


@pytest.mark.parametrize(
    "subject, needle, expected",
    [
        ([1, 2], 2, True),
        ([1, 2], 2.0, False),
        ([1, 2], 3, False),
        ([], None, False),
        ([None], None, True),
        ([[1, 2]], [1, 2], True),
        ("abc", "", True),
        ("", "", True),
        ("abc", "bc", True),
        ("abc", "abc", True),
        ("abc", "ac", False),
        ("abc", "abcd", False),
        ("héllo", "é", True),
        ("1", 1, False),
        ({"a": 1}, "a", False),
        ({"a": 1}, 1, False),
        (5, 5, False),
        (None, None, False),
    ],
)
def test_contains(subject, needle, expected):
    expr = predicate("Contains", field("s"), field("n"))
    assert_same(eval_expr(expr, fields={"s": subject, "n": needle}), expected)


# --- pattern rules -------------------------------------------------------------


@pytest.mark.parametrize(
    "pattern, expected",
    [
        ("^report.pdf$", True),
        ("report.*", True),
        (".*.pdf", True),
        ("port", True),
        ("^report", False),
        (".*port.*", False),
        ("", True),
        ("^$", False),
        ("^report.pdf", False),
        ("report.pdf$", False),
        ("^report.pd$", False),
        ("REPORT", False),
        (".*", True),
        ("report.pdf.*", True),
        (".*report.pdf", True),
        ("r.*f", False),
        ("^", False),
        ("$", False),
        ("report.pdfx", False),
    ],
)
def test_patterns_against_report_pdf(pattern, expected):
    expr = predicate("Matches", lit_str("report.pdf"), lit_str(pattern))
    assert_same(eval_expr(expr), expected)


@pytest.mark.parametrize(
    "subject, pattern, expected",
    [
        ("", "^$", True),
        ("", "", True),
        ("", ".*", True),
        ("a^b", "^", True),
        ("a.*b", "a.*b", True),
        ("aXb", "a.*b", False),
        ("x.*", "x.*.*", True),
        ("ab", "^ab$", True),
        ("^ab$", "^ab$", False),
        ("abc", "b", True),
    ],
)
def test_patterns(subject, pattern, expected):
    expr = predicate("Matches", lit_str(subject), lit_str(pattern))
    assert_same(eval_expr(expr), expected)


@pytest.mark.parametrize(
    "subject, pattern, expected",
    [
        (lit_str("report.pdf"), lit_regex(".*.pdf"), True),
        (lit_str("report.pdf"), lit_regex("^report$"), False),
        (lit_str("anything"), lit_int(5), True),
        (lit_str("anything"), field("missing"), True),
        (lit_int(5), lit_str("5"), False),
        (lit_int(5), lit_str(""), False),
        (field("missing"), lit_str(""), False),
        (list_expr(lit_str("a")), lit_str("a"), False),
    ],
)
def test_pattern_operand_kinds(subject, pattern, expected):
    assert_same(eval_expr(predicate("Matches", subject, pattern)), expected)


# --- text forms --------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, text",
    [
        (None, "null"),
        (True, "true"),
        (False, "false"),
        (0, "0"),
        (42, "42"),
        (-7, "-7"),
        (INT64_MIN, "-9223372036854775808"),
        (INT64_MAX, "9223372036854775807"),
        (2.5, "2.5"),
        (3.0, "3"),
        (2.0, "2"),
        (0.1, "0.1"),
        (0.0, "0"),
        (-0.0, "-0"),
        (-1.5, "-1.5"),
        (0.1 + 0.2, "0.30000000000000004"),
        (1e20, "100000000000000000000"),
        (1e23, "100000000000000000000000"),
        (1.2345678901234567e19, "12345678901234567000"),
        (2.5e-5, "0.000025"),
        (1.5e-7, "0.00000015"),
        (123456789.125, "123456789.125"),
        (1e16, "10000000000000000"),
        (NAN, "NaN"),
        (INF, "inf"),
        (-INF, "-inf"),
        ("", ""),
        ("héllo", "héllo"),
        ("[3 items]", "[3 items]"),
        ([], "[0 items]"),
        ([1], "[1 items]"),
        ([1, [2, 3], "x"], "[3 items]"),
        ({}, "{0 fields}"),
        ({"a": 1}, "{1 fields}"),
        ({"a": 1, "b": {"c": 2}}, "{2 fields}"),
    ],
)
def test_text_form_of_field_values(value, text):
    assert_same(eval_expr(call("str", field("v")), fields={"v": value}), text)


def test_text_form_of_the_largest_float():
    text = eval_expr(call("str", field("v")), fields={"v": 1.7976931348623157e308})
    assert text == "17976931348623157" + "0" * 292


def test_text_form_of_the_smallest_float():
    text = eval_expr(call("str", field("v")), fields={"v": -5e-324})
    assert text == "-0." + "0" * 323 + "5"


@pytest.mark.parametrize(
    "millis, text",
    [
        (0, "0ms"),
        (1, "1ms"),
        (999, "999ms"),
        (1000, "1s"),
        (1999, "1s"),
        (59999, "59s"),
        (60000, "1m"),
        (90000, "1m"),
        (3599999, "59m"),
        (3600000, "1h"),
        (86399999, "23h"),
        (86400000, "1d"),
        (172800000, "2d"),
        (2**64 - 1, "213503982334d"),
    ],
)
def test_text_form_of_durations(millis, text):
    assert_same(eval_expr(call("str", lit_dur(millis))), text)


@pytest.mark.parametrize(
    "expr, text",
    [
        (lit_float(2.0), "2"),
        (lit_int(-3), "-3"),
        (lit_regex("^a$"), "^a$"),
        (list_expr(), "[0 items]"),
        (field(), "{2 fields}"),
    ],
)
def test_text_form_of_literals(expr, text):
    assert_same(eval_expr(call("str", expr)), text)


# --- events ---------------------------------------------------------------------------


def test_event_map_without_fields_holds_type_and_timestamp():
    before = int(time.time() * 1000)
    event = eval_expr(field(), event_type="tool_call")
    after = int(time.time() * 1000)
    assert list(event) == ["type", "timestamp"]
    assert_same(event["type"], "tool_call")
    assert type(event["timestamp"]) is int
    assert before <= event["timestamp"] <= after


def test_event_map_copies_fields_then_type_and_timestamp():
    event = eval_expr(
        field(), fields={"a": 1, "b": [1, {"c": "d"}]}, event_type="data_access"
    )
    assert list(event) == ["a", "b", "type", "timestamp"]
    assert_same(event["a"], 1)
    assert_same(event["b"], [1, {"c": "d"}])
    assert_same(event["type"], "data_access")


def test_event_map_replaces_host_type_and_timestamp():
    before = int(time.time() * 1000)
    event = eval_expr(
        field(), fields={"type": "forged", "timestamp": 5}, event_type="real"
    )
    assert list(event) == ["type", "timestamp"]
    assert_same(event["type"], "real")
    assert event["timestamp"] >= before


@pytest.mark.parametrize(
    "path, fields, expected",
    [
        (("type",), {}, None),
        (("timestamp",), {}, None),
        (("type",), {"type": "host"}, "host"),
        (("timestamp",), {"timestamp": 5}, 5),
        (("a",), {}, None),
        (("a",), {"a": 1}, 1),
        (("a",), {"a": None}, None),
        (("A",), {"a": 1}, None),
        (("a", "b"), {"a": {"b": 5}}, 5),
        (("a", "b"), {"a": {}}, None),
        (("a", "b"), {"a": [{"b": 5}]}, None),
        (("a", "b"), {"a": "b"}, None),
        (("a", "b"), {"a": {"c": 1}}, None),
        (("a", "b", "c"), {"a": {"b": {"c": [1, 2]}}}, [1, 2]),
        (("a", "b", "c"), {"a": {"b": 3}}, None),
        (("a", "0"), {"a": [7]}, None),
    ],
)
def test_event_field_paths(path, fields, expected):
    assert_same(eval_expr(field(*path), fields=fields), expected)


def test_event_field_is_a_copy_of_the_host_value():
    value = {"k": [1, 2.5, "x", None, True, {"n": {}}]}
    assert_same(eval_expr(field("v"), fields={"v": value}), value)
