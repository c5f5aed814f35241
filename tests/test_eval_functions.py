"""The built-in functions and the methods of String, List and Map."""

import pytest
from helpers import INT64_MAX, INT64_MIN, NAN, assert_same, eval_expr

from corvanth_core.ir import (
    call,
    field,
    list_expr,
    lit_dur,
    lit_float,
    lit_int,
    lit_str,
    method,
)


def call_on(function, *values):
    """`function` called with the given values as event fields, in order."""
    names = [f"a{i}" for i in range(len(values))]
    expr = call(function, *(field(name) for name in names))
    return eval_expr(expr, fields=dict(zip(names, values)))


def method_on(obj, name, *values):
    """Method `name` of the field value `obj`, with values as arguments."""
    names = [f"a{i}" for i in range(len(values))]
    expr = method(field("obj"), name, *(field(n) for n in names))
    return eval_expr(expr, fields={"obj": obj, **dict(zip(names, values))})


# --- functions ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "function, args, expected",
    [
        ("len", ("héllo",), 6),
        ("len", ("",), 0),
        ("len", ([1, 2, 3],), 3),
        ("len", ([],), 0),
        ("len", ({"a": 1, "b": 2},), 2),
        ("len", (5,), 0),
        ("len", (2.5,), 0),
        ("len", (True,), 0),
        ("len", (None,), 0),
        ("len", (), 0),
        ("len", ("ab", [1, 2, 3]), 2),
        ("len", ("ab", [1], {"k": [2]}), 2),
        ("str", ([1], "x", {"k": 1}, None), "[1 items]"),
        ("length", ("abc",), 3),
        ("length", ([1],), 1),
        ("length", (), 0),
        ("str", (), ""),
        ("str", (12,), "12"),
        ("str", ("x", 1), "x"),
        ("to_string", (2.0,), "2"),
        ("to_string", ([1, 2, 3],), "[3 items]"),
        ("to_string", (), ""),
        ("abs", (-5,), 5),
        ("abs", (5,), 5),
        ("abs", (0,), 0),
        ("abs", (INT64_MIN,), INT64_MIN),
        ("abs", (-INT64_MAX,), INT64_MAX),
        ("abs", (-2.5,), 2.5),
        ("abs", (-0.0,), 0.0),
        ("abs", (NAN,), NAN),
        ("abs", (-3, 1), 3),
        ("abs", ("-1",), None),
        ("abs", (None,), None),
        ("abs", (True,), None),
        ("abs", (), None),
        ("min", (3, 3.0), 3),
        ("min", (3.0, 3), 3.0),
        ("min", (2, 1), 1),
        ("min", (1, 2), 1),
        ("min", (1.5, 2), 1.5),
        ("min", ("b", "a"), "a"),
        ("min", ("ab", "abc"), "ab"),
        ("min", (1, "a"), None),
        ("min", (NAN, 1), None),
        ("min", (None, None), None),
        ("min", ([1], [2]), None),
        ("min", (1,), None),
        ("min", (1, 2, 3), None),
        ("min", (), None),
        ("max", (1, 2), 2),
        ("max", (2, 1), 2),
        ("max", (3, 3.0), 3),
        ("max", (3.0, 3), 3.0),
        ("max", (-1.5, -2), -1.5),
        ("max", ("a", "b"), "b"),
        ("max", (1, "a"), None),
        ("max", (True, False), None),
        ("max", (1,), None),
        ("max", (1, 2, 3), None),
        ("max", (), None),
        ("nope", (1,), None),
        ("LEN", ("abc",), None),
        ("", (), None),
    ],
)
def test_functions(function, args, expected):
    assert_same(call_on(function, *args), expected)


@pytest.mark.parametrize(
    "expr, expected",
    [
        (call("str", lit_dur(90000)), "1m"),
        (call("len", lit_dur(90000)), 0),
        (call("abs", lit_dur(5)), None),
        (call("min", lit_dur(5), lit_dur(6)), 5),
        (call("max", lit_dur(5), lit_dur(6)), 6),
        (call("min", lit_dur(5), lit_int(6)), None),
        (call("max", lit_int(1), lit_float(1.0)), 1),
        (call("min", list_expr(lit_int(1)), lit_int(2)), None),
    ],
)
def test_functions_on_literals(expr, expected):
    assert_same(eval_expr(expr), expected)


# --- String methods ------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, name, args, expected",
    [
        ("héllo", "len", (), 6),
        ("héllo", "length", (), 6),
        ("", "len", (), 0),
        ("", "is_empty", (), True),
        (" ", "is_empty", (), False),
        ("  a b \t\n", "trim", (), "a b"),
        ("a", "trim", (), "a"),
        ("", "trim", (), ""),
        ("   ", "trim", (), ""),
        ("Hello, World", "to_upper", (), "HELLO, WORLD"),
        ("Hello", "to_uppercase", (), "HELLO"),
        ("Hello, World", "to_lower", (), "hello, world"),
        ("HELLO", "to_lowercase", (), "hello"),
        ("a,b,,", "split", (), ["a", "b", "", ""]),
        (",a", "split", (), ["", "a"]),
        ("a", "split", (), ["a"]),
        ("", "split", (), [""]),
        (",", "split", (), ["", ""]),
        ("a b c", "split", (" ",), ["a", "b", "c"]),
        ("a--b----c", "split", ("--",), ["a", "b", "", "c"]),
        ("aaa", "split", ("aa",), ["", "a"]),
        ("abc", "split", ("abc",), ["", ""]),
        ("abc", "split", ("x",), ["abc"]),
        ("a,b;c", "split", (";",), ["a,b", "c"]),
        ("a,b", "split", (1,), ["a", "b"]),
        ("a,b", "split", (None,), ["a", "b"]),
        ("a,b", "split", ([","],), ["a", "b"]),
        ("abc", "split", ("",), ["", "a", "b", "c", ""]),
        ("héllo", "split", ("",), ["", "h", "é", "l", "l", "o", ""]),
        ("a€😀", "split", ("",), ["", "a", "€", "😀", ""]),
        ("", "split", ("",), ["", ""]),
        ("aéb", "split", ("é",), ["a", "b"]),
        ("abc", "first", (), None),
        ("abc", "keys", (), None),
        ("abc", "LEN", (), None),
        ("abc", "upper", (), None),
    ],
)
def test_string_methods(text, name, args, expected):
    assert_same(method_on(text, name, *args), expected)


def test_split_keeps_long_pieces():
    text = "x" * 30 + "|" + "y" * 40
    assert_same(method_on(text, "split", "|"), ["x" * 30, "y" * 40])


# --- List methods ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "items, name, expected",
    [
        ([1, 2, 3], "len", 3),
        ([], "length", 0),
        ([], "is_empty", True),
        ([0], "is_empty", False),
        ([1, 2, 3], "first", 1),
        ([1, 2, 3], "last", 3),
        ([[1, 2], "x"], "first", [1, 2]),
        (["x", {"k": [None]}], "last", {"k": [None]}),
        ([], "first", None),
        ([], "last", None),
        ([None], "first", None),
        ([1], "keys", None),
        ([1], "trim", None),
        ([1], "FIRST", None),
    ],
)
def test_list_methods(items, name, expected):
    assert_same(method_on(items, name), expected)


# --- Map methods -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "entries, name, args, expected",
    [
        ({"a": 1, "b": 2}, "len", (), 2),
        ({}, "length", (), 0),
        ({"b": 1, "a": [2]}, "keys", (), ["b", "a"]),
        ({"b": 1, "a": [2]}, "values", (), [1, [2]]),
        ({}, "keys", (), []),
        ({}, "values", (), []),
        ({"a": 1}, "has_key", ("a",), True),
        ({"a": 1}, "has_key", ("z",), False),
        ({"a": 1}, "contains_key", ("a",), True),
        ({"a": 1}, "has_key", (), False),
        ({"": 1}, "has_key", (), True),
        ({"": 1}, "has_key", (5,), True),
        ({"5": 1}, "has_key", (5,), False),
        ({"a": 1}, "has_key", ("a", "z"), True),
        ({"a": 1}, "has_key", ("a", {"z": [1]}, [2]), True),
        ({"name": "bob"}, "name", (), "bob"),
        ({"name": {"first": "bob"}}, "name", (), {"first": "bob"}),
        ({"name": "bob"}, "missing", (), None),
        ({"keys": 7, "x": 1}, "keys", (), ["keys", "x"]),
        ({"values": 7}, "values", (), [7]),
        ({"len": 7}, "len", (), 1),
        ({"length": 7, "a": 1}, "length", (), 2),
        ({"has_key": 7}, "has_key", (), False),
        ({"is_empty": 7}, "is_empty", (), 7),
        ({}, "is_empty", (), None),
        ({"first": "f"}, "first", (), "f"),
        ({"trim": " t "}, "trim", (), " t "),
        ({"Keys": 1}, "Keys", (), 1),
    ],
)
def test_map_methods(entries, name, args, expected):
    assert_same(method_on(entries, name, *args), expected)


def test_keys_and_values_follow_insertion_order():
    entries = {f"k{i}": i for i in range(20)}
    keys = method_on(entries, "keys")
    values = method_on(entries, "values")
    assert_same(keys, list(entries))
    assert_same(values, list(entries.values()))


# --- other kinds -----------------------------------------------------------------------


@pytest.mark.parametrize("name", ["len", "length", "is_empty", "first", "keys", "x"])
@pytest.mark.parametrize("value", [None, True, 5, 2.5])
def test_methods_on_other_kinds_are_null(value, name):
    assert_same(method_on(value, name), None)


@pytest.mark.parametrize("name", ["len", "is_empty", "to_upper"])
def test_methods_on_durations_are_null(name):
    assert_same(eval_expr(method(lit_dur(5), name)), None)


def test_method_on_a_literal_object():
    assert_same(eval_expr(method(lit_str("a;b"), "split", lit_str(";"))), ["a", "b"])
