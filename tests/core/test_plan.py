"""The compiled evaluation plan: every shape it specialises gives the values
and truths of the evaluator's rules, as an action argument (a value), as a
rule condition (a test) and as a verdict message; and the rule index picks
the rules the event filter does.

In the oracle build (CORVANTH_PLAN_ORACLE, run by .ci/run) every evaluation
here and in the rest of the suite is also checked against the tree
evaluator, which aborts at the first difference.
"""

import math

import pytest
from helpers import NAN, assert_same, engine_for, outcome
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from plan_cases import (
    FIELD_TESTS,
    IN_CASES,
    JOINS,
    LARGE,
    LENGTHS,
    METHOD_CASES,
    PATTERNS,
    PREDICATES,
    SPLIT_QUANTIFIERS,
    WHOLE_EVENT_ENTRIES,
)
from policy_strategies import check_result

from corvanth_core.ir import (
    action,
    binary,
    call,
    count,
    field,
    list_expr,
    lit_bool,
    lit_dur,
    lit_float,
    lit_int,
    lit_regex,
    lit_str,
    machine,
    method,
    policy,
    predicate,
    quantifier,
    ref,
    rule,
    state,
    transition,
    unary,
    verdict,
)


def run_shape(expr, fields):
    """The value of `expr` as an action argument, whether it holds as a
    condition, and the reason it gives as an Allow message."""
    doc = policy(
        rules=[
            rule(1, condition=expr),
            rule(2, verdicts=[verdict("Allow", expr)], actions=[action("Log", v=expr)]),
        ]
    )
    result = engine_for(doc).evaluate("t", fields)
    value = result["actions"][0]["args"]["v"]
    return value, 1 in result["triggered_rules"], result["reason"]


def check_shape(expr, fields, expected):
    value, held, reason = run_shape(expr, fields)
    assert_same(value, expected)
    truthy = expected is not None and (
        (isinstance(expected, float) and (math.isnan(expected) or expected != 0))
        or (not isinstance(expected, float) and bool(expected))
    )
    assert held is truthy
    assert reason == (expected if isinstance(expected, str) else "")


# --- a field compared with a constant ---------------------------------------


@pytest.mark.parametrize("op, fields, constant, expected", FIELD_TESTS)
def test_field_against_constant(op, fields, constant, expected):
    check_shape(binary(op, field("f"), constant), fields, expected)


MIRRORED = [
    ("Lt", 1, 2, True),
    ("Lt", 2, 1, False),
    ("Gt", 2, 1, True),
    ("Ge", 1, 1.0, True),
    ("Neq", 1, 2, True),
]


@pytest.mark.parametrize("op, constant, value, expected", MIRRORED)
def test_constant_against_field_keeps_the_operand_order(op, constant, value, expected):
    check_shape(binary(op, lit_int(constant), field("f")), {"f": value}, expected)


def test_field_path_below_the_event():
    expr = binary("Eq", field("a", "b"), lit_int(7))
    check_shape(expr, {"a": {"b": 7}}, True)
    check_shape(expr, {"a": [7]}, False)
    check_shape(expr, {"a": {}}, False)


# --- predicates of a field and a constant -----------------------------------


@pytest.mark.parametrize("kind, fields, argument, expected", PREDICATES)
def test_predicate_of_field_and_constant(kind, fields, argument, expected):
    check_shape(predicate(kind, field("f"), argument), fields, expected)


@pytest.mark.parametrize("pattern", [lit_str, lit_regex])
@pytest.mark.parametrize("text, expected", PATTERNS)
def test_constant_patterns_are_classified_as_the_rules_say(text, expected, pattern):
    check_shape(
        predicate("Matches", field("f"), pattern(text)), {"f": "report.pdf"}, expected
    )


MATCH_SUBJECTS = [
    ({"f": ""}, lit_str("^$"), True),
    ({"f": 5}, lit_str(""), False),
    ({}, lit_str(""), False),
    ({"f": "anything"}, lit_int(3), True),
    ({"f": "anything"}, lit_bool(False), True),
]


@pytest.mark.parametrize("fields, argument, expected", MATCH_SUBJECTS)
def test_match_of_constant_against_odd_subjects(fields, argument, expected):
    check_shape(predicate("Matches", field("f"), argument), fields, expected)


def test_match_of_a_computed_subject():
    subject = method(field("f"), "trim")
    check_shape(
        predicate("Matches", subject, lit_str("sudo .*")), {"f": "  sudo ls "}, True
    )


# --- In over a constant list ------------------------------------------------


@pytest.mark.parametrize("items, needle, expected", IN_CASES)
def test_in_over_a_constant_list(items, needle, expected):
    check_shape(binary("In", field("f"), items), {"f": needle}, expected)


def test_in_over_a_constant_list_with_a_computed_needle():
    needle = method(field("f"), "to_lower")
    check_shape(binary("In", needle, LARGE), {"f": "J"}, True)


# --- len of a field, and a constant joined to a field -----------------------


@pytest.mark.parametrize("name", ["len", "length"])
@pytest.mark.parametrize("fields, expected", LENGTHS)
def test_len_of_a_field(fields, expected, name):
    check_shape(call(name, field("f")), fields, expected)


@pytest.mark.parametrize("expr, fields, expected", JOINS)
def test_constant_joined_to_a_field(expr, fields, expected):
    check_shape(expr, fields, expected)


# --- constants --------------------------------------------------------------


def test_constant_lists_come_back_as_fresh_lists():
    nested = list_expr(lit_int(1), list_expr(lit_str("a"), lit_dur(2, "Seconds")))
    engine = engine_for(policy(rules=[rule(actions=[action("Log", v=nested)])]))
    first = engine.evaluate("t")["actions"][0]["args"]["v"]
    assert_same(first, [1, ["a", 2000]])
    first[1].append("changed")
    first.append("changed")
    assert_same(engine.evaluate("t")["actions"][0]["args"]["v"], [1, ["a", 2000]])


def test_a_list_with_a_reference_is_built_per_event():
    expr = list_expr(lit_int(1), field("f"))
    check_shape(expr, {"f": "x"}, [1, "x"])
    check_shape(expr, {}, [1, None])


def test_quantifier_over_a_constant_list():
    items = list_expr(lit_str(".pem"), lit_str(".key"))
    body = predicate("EndsWith", field("f"), ref(0))
    check_shape(quantifier("Any", items, body), {"f": "id.key"}, True)
    check_shape(quantifier("All", items, body), {"f": "id.key"}, False)
    check_shape(quantifier("None", items, body), {"f": "id.txt"}, True)


@pytest.mark.parametrize("expr, fields, expected", SPLIT_QUANTIFIERS)
def test_a_quantifier_over_a_split(expr, fields, expected):
    check_shape(expr, fields, expected)


def test_count_filter_sees_each_element():
    items = list_expr(lit_int(1), lit_int(5), lit_int(9))
    check_shape(count(items, binary("Gt", ref(0), field("f"))), {"f": 4}, 2)
    check_shape(count(items), {}, 3)


# --- functions and methods by code ------------------------------------------


@pytest.mark.parametrize("expr, fields, expected", METHOD_CASES)
def test_functions_and_methods_resolved_once(expr, fields, expected):
    check_shape(expr, fields, expected)


@pytest.mark.parametrize("expr, fields, expected", WHOLE_EVENT_ENTRIES)
def test_entries_of_the_whole_event(expr, fields, expected):
    doc = policy(
        rules=[
            rule(1, condition=expr),
            rule(2, actions=[action("Log", v=expr)]),
        ]
    )
    result = engine_for(doc).evaluate_at(1234, "t", fields)
    assert_same(result["actions"][0]["args"]["v"], expected)
    assert (1 in result["triggered_rules"]) is bool(expected)


def test_logical_operators_answer_bools():
    cases = [
        (binary("And", field("a"), field("b")), {"a": 1, "b": 0}, False),
        (binary("Or", field("a"), field("b")), {"a": 0, "b": "x"}, True),
        (binary("Implies", field("a"), field("b")), {"a": 0}, True),
        (unary("Not", field("a")), {"a": NAN}, False),
        (unary("Neg", field("a")), {"a": 2}, -2),
    ]
    for expr, fields, expected in cases:
        check_shape(expr, fields, expected)


# --- the rule index ---------------------------------------------------------


def triggered(doc, event_type):
    return engine_for(doc).evaluate(event_type)["triggered_rules"]


INDEX_RULES = [
    rule(1, on_events=["a"]),
    rule(2),
    rule(3, on_events=["b", "a", "b"]),
    rule(4, on_events=["a", "a"]),
    rule(5),
    rule(6, on_events=["c"]),
]

INDEX_CASES = [
    ("a", [1, 2, 3, 4, 5]),
    ("b", [2, 3, 5]),
    ("c", [2, 5, 6]),
    ("d", [2, 5]),
    ("A", [2, 5]),
    ("", [2, 5]),
]


@pytest.mark.parametrize("event_type, expected", INDEX_CASES)
def test_rule_index_picks_the_rules_in_order(event_type, expected):
    assert triggered(policy(rules=INDEX_RULES), event_type) == expected


def test_rule_index_without_rules_for_every_event():
    doc = policy(rules=[rule(1, on_events=["a"]), rule(2, on_events=["b"])])
    assert triggered(doc, "a") == [1]
    assert triggered(doc, "z") == []


def test_many_rules_for_other_types_change_nothing():
    others = [rule(100 + i, on_events=[f"other{i}"]) for i in range(1000)]
    mine = [rule(1, on_events=["t"], condition=binary("Eq", field("f"), lit_int(1)))]
    engine = engine_for(policy(rules=others[:500] + mine + others[500:]))
    assert engine.evaluate("t", {"f": 1})["triggered_rules"] == [1]
    assert engine.evaluate("other7", {"f": 1})["triggered_rules"] == [107]


def test_guards_run_through_the_plan():
    guard = binary("Ge", field("n"), lit_int(3))
    doc = policy(
        state_machines=[
            machine(
                states=[state("s"), state("bad", "Violated")],
                transitions=[
                    transition(0, 0, ("NegatedPredicate", guard)),
                    transition(0, 1, "Always"),
                ],
                violating=[1],
            )
        ]
    )
    engine = engine_for(doc)
    assert engine.evaluate("t", {"n": 1})["verdict"] == "allow"
    assert engine.evaluate("t", {"n": 3})["verdict"] == "deny"


# --- fields read by slot ----------------------------------------------------


class LooseKey(str):
    """A str key that a dict keeps beside an equal str: it equals only itself."""

    def __eq__(self, other):
        return self is other

    def __hash__(self):
        return 7


class Boom:
    def __str__(self):
        raise ValueError("boom")


def fresh(text):
    """A str of `text` that is a new object, not the interned literal."""
    return "".join(list(text))


# One engine sees every dict in turn: the fields it reads by slot must be
# those of the dict at hand, whatever the keys' order, objects or kinds.
SLOT_DICTS = [
    ({"f": 1, "g": {"h": 2}}, [1, 2]),
    ({"g": {"h": 3}, "x": 0, "f": "a"}, ["a", 3]),
    ({"f": 1}, [1, None]),
    ({}, [None, None]),
    ({"g": [1]}, [None, None]),
    ({fresh("f"): 4, fresh("g"): {fresh("h"): 5}}, [4, 5]),
    # Of two keys of one text the later in the dict stands.
    ({LooseKey("f"): 1, "f": 2}, [2, None]),
    ({"f": 1, LooseKey("f"): 2}, [2, None]),
    ({"f": 6, "g": {"h": 7}}, [6, 7]),
]


def test_fields_read_by_slot_are_those_of_each_dict():
    args = {"v": field("f"), "w": field("g", "h")}
    engine = engine_for(policy(rules=[rule(1, actions=[action("Log", **args)])]))
    for fields, expected in SLOT_DICTS * 3:
        got = engine.evaluate("t", fields)["actions"][0]["args"]
        assert [got["v"], got["w"]] == expected, fields
    # A call that fails halfway leaves nothing behind for the next.
    with pytest.raises(ValueError, match="boom"):
        engine.evaluate("t", {"f": 9, "g": Boom()})
    assert engine.evaluate("t", {})["actions"][0]["args"] == {"v": None, "w": None}
    # Past the keys an engine remembers, fresh key objects still read right.
    for n in range(40):
        assert engine.evaluate("t", {fresh("f"): n})["actions"][0]["args"]["v"] == n


def test_many_fields_read_with_the_whole_event():
    fields = {f"k{i}": i for i in range(12)}
    args = {"whole": field(), "last": field("k11"), "first": field("k0")}
    engine = engine_for(policy(rules=[rule(1, actions=[action("Log", **args)])]))
    got = engine.evaluate("t", fields)["actions"][0]["args"]
    assert (got["last"], got["first"]) == (11, 0)
    assert got["whole"] == {
        **fields,
        "type": "t",
        "timestamp": got["whole"]["timestamp"],
    }


# --- generated policies of the specialised shapes ----------------------------

KEYS = ["f", "g"]
CONSTANTS = [
    lit_int(1),
    lit_int(2),
    lit_float(2.0),
    lit_float(-0.0),
    lit_str("a"),
    lit_str(""),
    lit_regex("a.*"),
    lit_dur(1),
    lit_bool(True),
    list_expr(lit_str("a"), lit_int(1)),
    list_expr(*[lit_str(s) for s in "abcdefghi"]),
]
FIELD_VALUES = [1, 2, 2.0, NAN, -0.0, "a", "", "abc", True, None, ["a"], {"a": 1}]

field_refs = st.sampled_from(KEYS).map(field)
constants = st.sampled_from(CONSTANTS)
shapes = st.one_of(
    st.builds(
        binary,
        st.sampled_from(["Eq", "Neq", "Lt", "Le", "Gt", "Ge", "In"]),
        field_refs,
        constants,
    ),
    st.builds(binary, st.sampled_from(["Eq", "Lt", "In"]), constants, field_refs),
    st.builds(
        predicate,
        st.sampled_from(["Contains", "Matches", "StartsWith", "EndsWith"]),
        field_refs,
        constants,
    ),
    st.builds(lambda f: call("len", f), field_refs),
    st.builds(lambda c, f: binary("Add", c, f), constants, field_refs),
    st.builds(lambda f, c: binary("Add", f, c), field_refs, constants),
)
shaped = st.recursive(
    shapes,
    lambda inner: (
        st.builds(binary, st.sampled_from(["And", "Or"]), inner, inner)
        | inner.map(lambda e: unary("Not", e))
    ),
    max_leaves=4,
)
shaped_rules = st.builds(
    lambda rule_id, on_events, condition, message, arg: rule(
        rule_id,
        on_events,
        condition,
        [verdict("Audit", message), verdict("Deny", message)],
        [action("Log", v=arg, w=arg)],
    ),
    st.integers(0, 9),
    st.lists(st.sampled_from(["t", "u"]), max_size=2),
    st.none() | shaped,
    st.none() | shaped,
    shaped,
)
shaped_events = st.lists(
    st.tuples(
        st.sampled_from(["t", "u", "v"]),
        st.dictionaries(st.sampled_from(KEYS), st.sampled_from(FIELD_VALUES)),
    ),
    min_size=1,
    max_size=4,
)


@settings(
    max_examples=150,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow],
)
@given(rules=st.lists(shaped_rules, max_size=4), events=shaped_events)
def test_shaped_policies_evaluate_alike_on_fresh_engines(rules, events):
    doc = policy(rules=rules)
    first, second = engine_for(doc), engine_for(doc)
    for event_type, fields in events:
        result = first.evaluate(event_type, fields)
        check_result(result)
        expected_rules = [
            r["id"]
            for r in rules
            if (not r["on_events"] or event_type in r["on_events"])
            and r["condition"] is None
        ]
        assert all(rule_id in result["triggered_rules"] for rule_id in expected_rules)
        again = outcome(second.evaluate(event_type, fields))
        assert repr(again) == repr(outcome(result))
