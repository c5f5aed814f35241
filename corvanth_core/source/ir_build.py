"""Builders of IR values: the records and expressions of a compiled policy
as plain dicts and lists, keys in declared order, so that
`canonical_json` of the result is the engine's canonical text. Every part
of the compiler builds IR through these functions and nowhere else.

    cond = binary("Eq", ref("Event", ["tool"]), string("shell"))
    rule(1, ["tool_call"], cond, [verdict("Deny", None)], [], None)
"""

from typing import Any

IR = Any  # a dict, list, str, int, float, bool or None of the IR's JSON shape

# --- literals and expressions -------------------------------------------------


def literal(kind: str, value: IR) -> IR:
    return {"Literal": {kind: value}}


def boolean(value: bool) -> IR:
    return literal("Bool", value)


def integer(value: int) -> IR:
    return literal("Int", value)


def floating(value: float) -> IR:
    return literal("Float", value)


def string(text: str) -> IR:
    return literal("String", text)


def regex(pattern: str) -> IR:
    return literal("Regex", pattern)


def duration_payload(value: int, unit: str) -> IR:
    return {"value": value, "unit": unit}


def duration(value: int, unit: str) -> IR:
    return literal("Duration", duration_payload(value, unit))


def ref(root: IR, fields: list[str]) -> IR:
    return {"Ref": {"root": root, "fields": fields}}


def local_root(index: int) -> IR:
    return {"Local": index}


def binary(op: str, left: IR, right: IR) -> IR:
    return {"Binary": {"op": op, "left": left, "right": right}}


def unary(op: str, operand: IR) -> IR:
    return {"Unary": {"op": op, "operand": operand}}


def predicate(kind: str, subject: IR, argument: IR) -> IR:
    return {"Predicate": {"kind": kind, "subject": subject, "argument": argument}}


def quantifier(kind: str, collection: IR, param: str, body: IR) -> IR:
    return {
        "Quantifier": {
            "kind": kind,
            "collection": collection,
            "param": param,
            "body": body,
        }
    }


def count(collection: IR, param: str | None, filter: IR) -> IR:
    return {"Count": {"collection": collection, "param": param, "filter": filter}}


def call(function: str, args: list[IR]) -> IR:
    return {"Call": {"function": function, "args": args}}


def method_call(obj: IR, method: str, args: list[IR]) -> IR:
    return {"MethodCall": {"object": obj, "method": method, "args": args}}


def decision_tree(node: IR) -> IR:
    return {"DecisionTree": node}


def list_expr(items: list[IR]) -> IR:
    return {"List": items}


# --- decision nodes -----------------------------------------------------------


def switch(subject: IR, cases: list[IR], default: IR) -> IR:
    return {"Switch": {"subject": subject, "cases": cases, "default": default}}


def case(test: IR, body: IR) -> IR:
    return {"test": test, "body": body}


def leaf(expr: IR) -> IR:
    return {"Leaf": expr}


def verdict_leaf(v: IR) -> IR:
    return {"VerdictLeaf": v}


def literal_test(lit: IR) -> IR:
    return {"Literal": lit}


def constructor_test(name: str) -> IR:
    return {"Constructor": name}


def guard_test(expr: IR) -> IR:
    return {"Guard": expr}


# --- policy records -----------------------------------------------------------


def verdict(name: str, message: IR) -> IR:
    return {"verdict": name, "message": message}


def action(verb: str, args: list[list[IR]]) -> IR:
    return {"verb": verb, "args": args}


def rule(
    id: int,
    on_events: list[str],
    condition: IR,
    verdicts: list[IR],
    actions: list[IR],
    severity: str | None,
) -> IR:
    return {
        "id": id,
        "on_events": on_events,
        "condition": condition,
        "verdicts": verdicts,
        "actions": actions,
        "severity": severity,
    }


def constraint(kind: str, target: str, limit: int, window_millis: int) -> IR:
    return {
        "kind": kind,
        "target": target,
        "limit": limit,
        "window_millis": window_millis,
    }


def state(id: int, label: str, kind: str) -> IR:
    return {"id": id, "label": label, "kind": kind}


def transition(source: int, target: int, guard: IR) -> IR:
    return {"from": source, "to": target, "guard": guard}


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
    return {
        "id": id,
        "name": name,
        "invariant_name": invariant_name,
        "kind": kind,
        "states": states,
        "transitions": transitions,
        "initial_state": initial_state,
        "accepting_states": accepting_states,
        "violating_states": violating_states,
        "deadline_millis": deadline_millis,
    }


def metadata(annotations: list[list[str]], source_hash: int, version: str) -> IR:
    return {
        "annotations": annotations,
        "source_hash": source_hash,
        "compiler_version": version,
    }


def policy(
    name: str,
    severity: str,
    scopes: list[str],
    rules: list[IR],
    constraints: list[IR],
    machines: list[IR],
    meta: IR,
) -> IR:
    return {
        "name": name,
        "severity": severity,
        "scopes": scopes,
        "rules": rules,
        "constraints": constraints,
        "state_machines": machines,
        "metadata": meta,
    }
