"""The policy model module against the engine: every enumeration's names are
the ones the reader accepts, in its declared order, and every builder's
output loads and reads back unchanged, in object and in array form."""

import json
import re

import pytest
from _corvanth_core import PolicyEngine

from corvanth_core import ir

BOGUS = "Bogus"


def load(doc):
    return PolicyEngine.from_json(json.dumps(doc))


def in_rule(expr):
    return ir.policy(rules=[ir.rule(condition=expr)])


def in_machine(**fields):
    return ir.policy(state_machines=[ir.machine(**fields)])


def with_guard(guard):
    return in_machine(
        states=[ir.state("a")], transitions=[{"from": 0, "to": 0, "guard": guard}]
    )


# Where each enumeration's name is written: a policy holding `name` there.
PLACES = {
    "BinaryOp": lambda n: in_rule(ir.binary(n, ir.lit_int(1), ir.lit_int(2))),
    "UnaryOp": lambda n: in_rule(ir.unary(n, ir.lit_int(1))),
    "PredicateKind": lambda n: in_rule(ir.predicate(n, ir.lit_str(""), ir.lit_str(""))),
    "QuantifierKind": lambda n: in_rule(
        ir.quantifier(n, ir.list_expr(), ir.lit_bool(True))
    ),
    "DurationUnit": lambda n: in_rule(ir.lit_dur(1, n)),
    "Verdict": lambda n: ir.policy(rules=[ir.rule(verdicts=[ir.verdict(n)])]),
    "ActionVerb": lambda n: ir.policy(rules=[ir.rule(actions=[ir.action(n)])]),
    "SeverityLevel": lambda n: ir.policy(severity=n),
    "ConstraintKind": lambda n: ir.policy(constraints=[ir.constraint("t", 1, 1, n)]),
    "TemporalKind": lambda n: in_machine(kind=n),
    "StateKind": lambda n: in_machine(states=[ir.state("s", n)]),
    "IRExpr": lambda n: in_rule({n: EXPR_PAYLOADS.get(n, 0)}),
    "Literal": lambda n: in_rule({"Literal": {n: LITERAL_PAYLOADS.get(n, 0)}}),
    "RefRoot": lambda n: in_rule(
        {"Ref": {"root": {n: 0} if n == "Local" else n, "fields": []}}
    ),
    "CaseTest": lambda n: in_rule(
        ir.decision_tree(
            ir.switch(
                ir.lit_int(1),
                [ir.case({n: CASE_PAYLOADS.get(n, 0)}, ir.leaf(ir.lit_int(2)))],
            )
        )
    ),
    "DecisionNode": lambda n: in_rule({"DecisionTree": {n: NODE_PAYLOADS.get(n, 0)}}),
    "TransitionGuard": lambda n: with_guard(
        {n: ir.lit_bool(True)} if n in ("Predicate", "NegatedPredicate") else n
    ),
}

ONE = ir.lit_int(1)
EXPR_PAYLOADS = {
    "Literal": {"Int": 1},
    "Ref": {"root": "Event", "fields": []},
    "Binary": {"op": "Add", "left": ONE, "right": ONE},
    "Unary": {"op": "Neg", "operand": ONE},
    "Predicate": {"kind": "Contains", "subject": ONE, "argument": ONE},
    "Quantifier": {"kind": "All", "collection": ONE, "param": "x", "body": ONE},
    "Count": {"collection": ONE},
    "Call": {"function": "len", "args": []},
    "MethodCall": {"object": ONE, "method": "len", "args": []},
    "DecisionTree": {"Leaf": ONE},
    "List": [],
}
LITERAL_PAYLOADS = {
    "Bool": True,
    "String": "",
    "Regex": "",
    "Float": 0.5,
    "Duration": {"value": 1, "unit": "Seconds"},
}
CASE_PAYLOADS = {"Literal": {"Int": 1}, "Constructor": "t", "Guard": ONE}
NODE_PAYLOADS = {
    "Switch": {"subject": ONE, "cases": []},
    "Leaf": ONE,
    "VerdictLeaf": {"verdict": "Deny"},
}

ALL_ENUMERATIONS = {**ir.ENUM_NAMES, **ir.VARIANT_NAMES}


def listed_alternatives(message):
    """The names an "unknown variant" message offers, in its order."""
    expected = re.search(r"expected (.*) at line", message)
    assert expected is not None, message
    return tuple(re.findall(r"`([^`]*)`", expected.group(1)))


def test_every_enumeration_has_a_place():
    assert sorted(PLACES) == sorted(ALL_ENUMERATIONS)


@pytest.mark.parametrize("enumeration", sorted(ALL_ENUMERATIONS))
def test_a_name_outside_the_list_is_refused_with_the_list_in_order(enumeration):
    with pytest.raises(ValueError) as info:
        load(PLACES[enumeration](BOGUS))
    message = str(info.value)
    assert message.startswith(f"Invalid policy JSON: unknown variant `{BOGUS}`")
    assert listed_alternatives(message) == ALL_ENUMERATIONS[enumeration]


@pytest.mark.parametrize(
    ("enumeration", "name"),
    [(e, n) for e, names in sorted(ALL_ENUMERATIONS.items()) for n in names],
)
def test_every_listed_name_is_accepted_and_written_back(enumeration, name):
    engine = load(PLACES[enumeration](name))
    assert f'"{name}"' in engine.to_json()


@pytest.mark.parametrize(
    ("literal", "names"),
    [
        (ir.BinaryOp, ir.BINARY_OPS),
        (ir.UnaryOp, ir.UNARY_OPS),
        (ir.PredicateKind, ir.PREDICATE_KINDS),
        (ir.QuantifierKind, ir.QUANTIFIER_KINDS),
        (ir.DurationUnit, ir.DURATION_UNITS),
        (ir.Verdict, ir.VERDICTS),
        (ir.ActionVerb, ir.ACTION_VERBS),
        (ir.SeverityLevel, ir.SEVERITY_LEVELS),
        (ir.ConstraintKind, ir.CONSTRAINT_KINDS),
        (ir.TemporalKind, ir.TEMPORAL_KINDS),
        (ir.StateKind, ir.STATE_KINDS),
        (ir.ExprKind, ir.EXPR_KINDS),
        (ir.LiteralKind, ir.LITERAL_KINDS),
        (ir.RootKind, ir.ROOT_KINDS),
        (ir.CaseTestKind, ir.CASE_TEST_KINDS),
        (ir.DecisionNodeKind, ir.DECISION_NODE_KINDS),
        (ir.GuardKind, ir.GUARD_KINDS),
    ],
)
def test_each_literal_type_names_its_tuple_in_order(literal, names):
    assert literal.__args__ == names


def test_result_keys_are_those_of_a_result_in_order():
    engine = load(ir.policy())
    assert tuple(engine.evaluate("t")) == ir.RESULT_KEYS
    assert tuple(engine.explain("t")) == ir.EXPLAIN_KEYS


X = ir.ref(0)
SWITCH = ir.switch(
    ir.field(),
    [
        ir.case(ir.literal_test(ir.lit_int(2)["Literal"]), ir.leaf(ir.lit_str("two"))),
        ir.case(ir.constructor_test("t"), ir.verdict_leaf("Audit", ir.lit_str("m"))),
        ir.case(ir.guard_test(ir.lit_bool(False)), ir.leaf(ir.lit_regex("r.*"))),
    ],
    ir.leaf(ir.lit_float(2.5)),
)
EXPRESSIONS = [
    ir.lit_bool(True),
    ir.lit_int(-(2**63)),
    ir.lit_float(-0.5),
    ir.lit_str("é"),
    ir.lit_regex("^a$"),
    ir.lit_dur(3, "Days"),
    ir.ref("Context", "a", "b"),
    ir.ref("Policy"),
    ir.ref(ir.local(0)),
    ir.field("tool"),
    ir.binary("In", ir.field("a"), ir.list_expr(ir.lit_int(1))),
    ir.unary("Not", ir.field("a")),
    ir.predicate("EndsWith", ir.field("p"), ir.lit_str(".env")),
    ir.quantifier("Any", ir.field("xs"), X, param="a"),
    ir.count(ir.field("xs")),
    ir.count(ir.field("xs"), X, "a"),
    ir.call("len", ir.field("xs")),
    ir.method(ir.field(), "type"),
    ir.decision_tree(SWITCH),
    ir.decision_tree(ir.switch(ir.lit_int(1))),
    ir.list_expr(),
]
KITCHEN_SINK = ir.policy(
    name="all",
    severity="Critical",
    scopes=["a", "b"],
    rules=[
        ir.rule(
            7,
            ["t", "u"],
            expr,
            [ir.verdict("Deny", expr), ir.verdict("Allow")],
            [ir.action("Tag", v=expr, w=ir.lit_int(1))],
            "High",
        )
        for expr in EXPRESSIONS
    ]
    + [ir.rule()],
    constraints=[ir.constraint("t", 3, 60000), ir.constraint("u", 0, 1, "Quota")],
    state_machines=[
        ir.machine(
            "m",
            "inv",
            "Always",
            [ir.state("a"), ir.state("b", "Violated", 1)],
            [
                ir.transition(0, 1, ("Predicate", ir.field("x"))),
                ir.transition(0, 1, ("NegatedPredicate", ir.field("y"))),
                ir.transition(0, 1, ir.negated_guard(ir.field("z"))),
                ir.transition(0, 1, ir.predicate_guard(ir.field("z"))),
                ir.transition(0, 1, ir.timeout_guard()),
                ir.transition(1, 0, ir.always_guard()),
            ],
            initial=0,
            accepting=[0],
            violating=[1],
            deadline_millis=5000,
            machine_id=3,
        ),
        ir.machine(),
    ],
    meta=ir.metadata([("owner", "sec"), ("owner", "ops")], 42, "1.2"),
)


def array_form(value):
    """The same document with every record written as an array of its
    fields (a variant wrapper, one capitalised key, stays an object)."""
    if isinstance(value, list):
        return [array_form(item) for item in value]
    if not isinstance(value, dict):
        return value
    if len(value) == 1 and next(iter(value))[0].isupper():
        return {key: array_form(item) for key, item in value.items()}
    return [array_form(item) for item in value.values()]


def test_every_builder_output_reads_back_unchanged():
    assert json.loads(load(KITCHEN_SINK).to_json()) == KITCHEN_SINK


def test_the_builders_write_fields_in_their_declared_order():
    # The array form takes fields by position: it reads back as the same
    # document only when each builder's keys are in the declared order.
    from_arrays = load(array_form(KITCHEN_SINK))
    assert json.loads(from_arrays.to_json()) == KITCHEN_SINK


def test_a_document_without_the_optional_fields_reads_back_with_them_as_none():
    sparse = {
        **ir.policy(),
        "rules": [{"id": 1, "on_events": [], "verdicts": [], "actions": []}],
    }
    assert json.loads(load(sparse).to_json()) == ir.policy(rules=[ir.rule()])
