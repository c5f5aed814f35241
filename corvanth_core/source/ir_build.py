"""Builders of IR values for the compiler: the records and expressions of
a compiled policy as the plain dicts and lists of `corvanth_core.ir`, keys
in declared order, so that `canonical_json` of the result is the engine's
canonical text. The compiler builds IR through these functions and nowhere
else; they take the names the parser found as plain strings.

    cond = binary("Eq", ref("Event", ["tool"]), string("shell"))
    rule(1, ["tool_call"], cond, [verdict("Deny", None)], [], None)
"""

from typing import Any, cast

from corvanth_core import ir as model

IR = Any  # a dict, list, str, int, float, bool or None of the IR's JSON shape

# --- literals and expressions -------------------------------------------------


def boolean(value: bool) -> IR:
    return model.lit_bool(value)


def integer(value: int) -> IR:
    return model.lit_int(value)


def floating(value: float) -> IR:
    return model.lit_float(value)


def string(text: str) -> IR:
    return model.lit_str(text)


def regex(pattern: str) -> IR:
    return model.lit_regex(pattern)


def duration(value: int, unit: str) -> IR:
    return model.lit_dur(value, cast(model.DurationUnit, unit))


def ref(root: IR, fields: list[str]) -> IR:
    return model.ref(root, *fields)


def local_root(index: int) -> IR:
    return model.local(index)


def binary(op: str, left: IR, right: IR) -> IR:
    return model.binary(cast(model.BinaryOp, op), left, right)


def unary(op: str, operand: IR) -> IR:
    return model.unary(cast(model.UnaryOp, op), operand)


def predicate(kind: str, subject: IR, argument: IR) -> IR:
    return model.predicate(cast(model.PredicateKind, kind), subject, argument)


def quantifier(kind: str, collection: IR, param: str, body: IR) -> IR:
    return model.quantifier(cast(model.QuantifierKind, kind), collection, body, param)


def count(collection: IR, param: str | None, filter: IR) -> IR:
    return model.count(collection, filter, param)


def call(function: str, args: list[IR]) -> IR:
    return model.call(function, *args)


def method_call(obj: IR, method: str, args: list[IR]) -> IR:
    return model.method(obj, method, *args)


def decision_tree(node: IR) -> IR:
    return model.decision_tree(node)


def list_expr(items: list[IR]) -> IR:
    return model.list_expr(*items)


# --- decision nodes -----------------------------------------------------------


def switch(subject: IR, cases: list[IR], default: IR) -> IR:
    return model.switch(subject, cases, default)


def case(test: IR, body: IR) -> IR:
    return model.case(test, body)


def leaf(expr: IR) -> IR:
    return model.leaf(expr)


def verdict_leaf(v: IR) -> IR:
    return {"VerdictLeaf": v}


def literal_test(lit: IR) -> IR:
    return model.literal_test(lit)


def constructor_test(name: str) -> IR:
    return model.constructor_test(name)


def guard_test(expr: IR) -> IR:
    return model.guard_test(expr)


# --- policy records -----------------------------------------------------------


def verdict(name: str, message: IR) -> IR:
    return model.verdict(cast(model.Verdict, name), message)


def action(verb: str, args: list[list[IR]]) -> IR:
    # Not model.action: its keyword arguments cannot repeat a name, and an
    # action's arguments may (the later value wins at run time).
    return {"verb": verb, "args": args}


def rule(
    id: int,
    on_events: list[str],
    condition: IR,
    verdicts: list[IR],
    actions: list[IR],
    severity: str | None,
) -> IR:
    level = cast(model.SeverityLevel | None, severity)
    return model.rule(id, on_events, condition, verdicts, actions, level)


def constraint(kind: str, target: str, limit: int, window_millis: int) -> IR:
    return model.constraint(
        target, limit, window_millis, cast(model.ConstraintKind, kind)
    )


def state(id: int, label: str, kind: str) -> IR:
    return model.state(label, cast(model.StateKind, kind), id)


def transition(source: int, target: int, guard: IR) -> IR:
    return model.transition(source, target, guard)


def machine(
    id: int,
    name: str,
    invariant_name: str,
    kind: str,
    states: list[IR],
    transitions: list[IR],
    initial_state: int,
    accepting_states: list[int],
    violating_states: list[int],
    deadline_millis: int | None,
) -> IR:
    return model.machine(
        name,
        invariant_name,
        cast(model.TemporalKind, kind),
        states,
        transitions,
        initial_state,
        accepting_states,
        violating_states,
        deadline_millis,
        id,
    )


def metadata(annotations: list[list[str]], source_hash: int, version: str) -> IR:
    pairs = [(key, value) for key, value in annotations]
    return model.metadata(pairs, source_hash, version)


def policy(
    name: str,
    severity: str,
    scopes: list[str],
    rules: list[IR],
    constraints: list[IR],
    machines: list[IR],
    meta: IR,
) -> IR:
    level = cast(model.SeverityLevel, severity)
    return model.policy(name, level, rules, constraints, machines, scopes, meta)
