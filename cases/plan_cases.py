"""The shape tables of the compiled plan's tests: each row an expression
shape the plan specialises (a field against a constant, a predicate with a
constant argument, a constant pattern, In over a constant list, len of a
field, a constant joined to a field, functions and methods by name, entries
of the whole event), the event fields and the value the evaluator's rules
give.

Used by tests/core/test_plan.py, which checks every row as a value, a
condition and a message, and by tools/make_fuzz_seeds.py, which makes one
seed policy per table for the plan's fuzz harness:

    from plan_cases import FIELD_TESTS

    for op, fields, constant, expected in FIELD_TESTS:
        ...
"""

from helpers import INF, NAN

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
    method,
    predicate,
    quantifier,
    ref,
)

# --- a field compared with a constant ----------------------------------------

FIELD_TESTS = [
    ("Eq", {"f": 1}, lit_float(1.0), True),
    ("Eq", {"f": 0.1 + 0.2}, lit_float(0.3), True),
    ("Eq", {"f": NAN}, lit_float(1.0), False),
    ("Eq", {}, lit_int(0), False),
    ("Neq", {}, lit_int(0), True),
    ("Eq", {"f": "a"}, lit_regex("a"), True),
    ("Eq", {"f": "shell"}, lit_str("shell"), True),
    ("Eq", {"f": "shell"}, lit_str("shells"), False),
    ("Eq", {"f": "shelL"}, lit_str("shell"), False),
    ("Neq", {"f": "shell"}, lit_str("shell"), False),
    ("Neq", {"f": ""}, lit_str("shell"), True),
    ("Eq", {"f": "x" * 40}, lit_str("x" * 40), True),
    ("Eq", {"f": "5"}, lit_int(5), False),
    ("Neq", {"f": 5}, lit_str("5"), True),
    ("Eq", {"f": 5}, lit_dur(5), False),
    ("Lt", {"f": "apple"}, lit_str("banana"), True),
    ("Lt", {"f": 1000}, lit_dur(2000), False),
    ("Le", {"f": 3}, lit_float(3.0), True),
    ("Gt", {"f": NAN}, lit_float(1.0), False),
    ("Ge", {"f": INF}, lit_float(1e308), True),
    ("Gt", {"f": True}, lit_bool(False), False),
    ("In", {"f": "x"}, lit_str("xyz"), False),
    ("Lt", {"f": [1]}, lit_int(2), False),
]


# --- predicates of a field and a constant ------------------------------------

PREDICATES = [
    ("StartsWith", {"f": "/etc/passwd"}, lit_str("/etc/"), True),
    ("StartsWith", {"f": 5}, lit_str(""), False),
    ("EndsWith", {"f": "a.pem"}, lit_str(".pem"), True),
    ("EndsWith", {}, lit_str(""), False),
    ("Contains", {"f": "rm -rf /"}, lit_str("rm -rf"), True),
    ("Contains", {"f": "abc"}, lit_str(""), True),
    ("Contains", {"f": [1, 2]}, lit_int(2), True),
    ("Contains", {"f": [1, 2]}, lit_float(2.0), False),
    ("Contains", {"f": {"k": 1}}, lit_str("k"), False),
    ("StartsWith", {"f": "ab"}, lit_int(1), False),
]


PATTERNS = [
    ("^report.pdf$", True),
    ("report.*", True),
    (".*.pdf", True),
    ("port", True),
    ("^report", False),
    (".*port.*", False),
    ("", True),
    ("^$", False),
    ("^", False),
    ("$", False),
    (".*", True),
    ("^report.pdf$x", False),
]


# --- In over a constant list -------------------------------------------------

SMALL = list_expr(lit_str("a"), lit_int(2), lit_float(3.5))
LARGE = list_expr(*[lit_str(s) for s in "abcdefghij"], lit_str("a"))
MIXED_LARGE = list_expr(*[lit_str(s) for s in "abcdefgh"], lit_float(2.0))

IN_CASES = [
    (SMALL, "a", True),
    (SMALL, 2.0, True),
    (SMALL, 3.5, True),
    (SMALL, "b", False),
    (SMALL, None, False),
    (LARGE, "j", True),
    (LARGE, "a", True),
    (LARGE, "k", False),
    (LARGE, "", False),
    (LARGE, 1, False),
    (LARGE, None, False),
    (LARGE, ["a"], False),
    (MIXED_LARGE, 2, True),
    (MIXED_LARGE, "h", True),
    (MIXED_LARGE, "z", False),
]


# --- len of a field, and a constant joined to a field ------------------------

LENGTHS = [
    ({"f": "héllo"}, 6),
    ({"f": [1, 2, 3]}, 3),
    ({"f": {"a": 1}}, 1),
    ({"f": ""}, 0),
    ({"f": 12}, 0),
    ({}, 0),
]


JOINS = [
    (binary("Add", lit_str("host: "), field("f")), {"f": "x.org"}, "host: x.org"),
    (binary("Add", field("f"), lit_str("!")), {"f": "hi"}, "hi!"),
    (
        binary("Add", lit_str("y" * 30), field("f")),
        {"f": "z" * 30},
        "y" * 30 + "z" * 30,
    ),
    (binary("Add", lit_str("n"), field("f")), {"f": 1}, None),
    (binary("Add", lit_str(""), field("f")), {}, None),
    (binary("Add", field("f"), lit_str("")), {"f": ""}, ""),
    (binary("Add", lit_int(1), field("f")), {"f": 2.5}, 3.5),
]


# --- functions and methods by code -------------------------------------------

METHOD_CASES = [
    (method(field("f"), "first"), {"f": {"first": 7}}, 7),
    (method(field("f"), "is_empty"), {"f": {"is_empty": "e"}}, "e"),
    (method(field("f"), "trim"), {"f": {"trim": 1}}, 1),
    (method(field("f"), "keys"), {"f": {"keys": 1}}, ["keys"]),
    (method(field("f"), "length"), {"f": {"length": 9}}, 1),
    (method(field("f"), "contains_key", lit_str("a")), {"f": {"a": 1}}, True),
    (method(field("f"), "first"), {"f": [4, 5]}, 4),
    (method(field("f"), "first"), {"f": "ab"}, None),
    (method(field("f"), "to_uppercase"), {"f": "straße"}, "STRASSE"),
    (method(field("f"), "split"), {"f": "a,b"}, ["a", "b"]),
    (method(field("f"), "nope"), {"f": "a"}, None),
    (call("to_string", field("f")), {"f": 2.0}, "2"),
    (call("max", field("f"), lit_int(3)), {"f": 1}, 3),
    (call("nope", field("f")), {"f": 1}, None),
    (call("len"), {}, 0),
]


WHOLE_EVENT = ref("Event")


# An entry of the whole event read by name: the event's own type and
# timestamp win over fields of those names, as in the whole-event map.
WHOLE_EVENT_ENTRIES = [
    (method(WHOLE_EVENT, "type"), {}, "t"),
    (method(WHOLE_EVENT, "type"), {"type": "field"}, "t"),
    (method(WHOLE_EVENT, "timestamp"), {"timestamp": "field"}, 1234),
    (method(WHOLE_EVENT, "f"), {"f": [1, "x"]}, [1, "x"]),
    (method(WHOLE_EVENT, "missing"), {"f": 1}, None),
    (method(WHOLE_EVENT, "type", lit_int(1)), {}, "t"),
    (method(WHOLE_EVENT, "len"), {"a": 1, "b": 2}, 4),
    (method(WHOLE_EVENT, "has_key", lit_str("timestamp")), {}, True),
    (binary("Eq", method(WHOLE_EVENT, "type"), lit_str("t")), {}, True),
    (binary("Eq", method(WHOLE_EVENT, "type"), lit_str("u")), {}, False),
]


# --- quantifiers over a split ---------------------------------------------------


def over_split(kind, body, *separator):
    return quantifier(kind, method(field("f"), "split", *separator), body)


IS_RM = binary("Eq", ref(0), lit_str("rm"))
EMPTY_PIECE = binary("Eq", ref(0), lit_str(""))

# A quantifier over `f.split(...)` walks the pieces as it cuts them: each
# kind, each way to give the separator (none: ","; a non-String: ","; an
# empty one: between characters and at both ends), and objects that are not
# Strings (a Map reads its "split" entry; anything else splits to Null).
SPLIT_QUANTIFIERS = [
    (over_split("Any", IS_RM, lit_str(" ")), {"f": "sudo rm -rf /"}, True),
    (over_split("Any", IS_RM, lit_str(" ")), {"f": "ls -l"}, False),
    (over_split("Exists", IS_RM, lit_str(" ")), {"f": "rm"}, True),
    (over_split("All", IS_RM, lit_str(" ")), {"f": "rm rm"}, True),
    (over_split("All", IS_RM, lit_str(" ")), {"f": "rm  rm"}, False),
    (over_split("None", IS_RM, lit_str(" ")), {"f": "a b"}, True),
    (over_split("None", IS_RM, lit_str(" ")), {"f": "a rm"}, False),
    (over_split("Any", IS_RM), {"f": "a,rm"}, True),
    (over_split("Any", IS_RM, lit_int(1)), {"f": "a,rm"}, True),
    (over_split("Any", IS_RM, field("sep")), {"f": "a;rm", "sep": ";"}, True),
    (over_split("All", EMPTY_PIECE, lit_str("")), {"f": ""}, True),
    (over_split("Any", EMPTY_PIECE, lit_str("")), {"f": "ab"}, True),
    (
        over_split("All", predicate("StartsWith", lit_str("éa"), ref(0)), lit_str("")),
        {"f": "é"},
        True,
    ),
    (over_split("Any", IS_RM, lit_str(" ")), {"f": {"split": ["rm"]}}, True),
    (over_split("Any", IS_RM, lit_str(" ")), {"f": ["rm"]}, False),
    (over_split("None", IS_RM, lit_str(" ")), {"f": 5}, True),
    (over_split("All", IS_RM, lit_str(" ")), {}, False),
]
