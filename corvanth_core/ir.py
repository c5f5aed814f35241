"""The policy model in its JSON form: one TypedDict per record and per
expression variant, one small builder per variant, and the names of every
enumeration in declared order.

A compiled policy is plain JSON data: the dicts built here are exactly what
`PolicyEngine.from_json(json.dumps(doc))` reads and what
`json.loads(engine.to_json())` gives back (records in object form, fields
in their declared order, optional fields written as None). The TypedDicts
let a type checker follow a policy built by hand; at run time they are
ordinary dicts and lists.

    import json
    from corvanth_core import PolicyEngine
    from corvanth_core.ir import action, field, lit_str, policy, predicate
    from corvanth_core.ir import rule, verdict

    doc = policy(
        name="guard",
        rules=[
            rule(
                1,
                on_events=["tool_call"],
                condition=predicate("Contains", field("command"), lit_str("rm")),
                verdicts=[verdict("Deny", lit_str("destructive command"))],
                actions=[action("Log", tool=field("tool"))],
            )
        ],
    )
    engine = PolicyEngine.from_json(json.dumps(doc))

The builders check nothing: a document they build is refused or flagged by
the engine (`from_json`, `diagnostics()`) as one written by hand would be.
"""

from collections.abc import Iterable, Mapping
from typing import Literal, NotRequired, TypeAlias, TypedDict, cast

# --- enumerations ------------------------------------------------------------

BinaryOp: TypeAlias = Literal[
    "Add",
    "Sub",
    "Mul",
    "Div",
    "Mod",
    "Eq",
    "Neq",
    "Lt",
    "Le",
    "Gt",
    "Ge",
    "And",
    "Or",
    "Implies",
    "In",
]
UnaryOp: TypeAlias = Literal["Not", "Neg"]
PredicateKind: TypeAlias = Literal["Contains", "Matches", "StartsWith", "EndsWith"]
QuantifierKind: TypeAlias = Literal["All", "Any", "None", "Exists"]
DurationUnit: TypeAlias = Literal["Milliseconds", "Seconds", "Minutes", "Hours", "Days"]
Verdict: TypeAlias = Literal["Allow", "Deny", "Audit", "Redact"]
ActionVerb: TypeAlias = Literal["Log", "Notify", "Escalate", "Block", "Tag"]
SeverityLevel: TypeAlias = Literal["Critical", "High", "Medium", "Low", "Info"]
ConstraintKind: TypeAlias = Literal["RateLimit", "Quota"]
TemporalKind: TypeAlias = Literal["Always", "Eventually", "Never", "Until", "Next"]
StateKind: TypeAlias = Literal["Active", "Satisfied", "Violated"]

# The names of each enumeration, in declared order: a name's position is its
# ordinal, and the engine lists them in this order when it refuses a name.
BINARY_OPS: tuple[BinaryOp, ...] = (
    "Add",
    "Sub",
    "Mul",
    "Div",
    "Mod",
    "Eq",
    "Neq",
    "Lt",
    "Le",
    "Gt",
    "Ge",
    "And",
    "Or",
    "Implies",
    "In",
)
UNARY_OPS: tuple[UnaryOp, ...] = ("Not", "Neg")
PREDICATE_KINDS: tuple[PredicateKind, ...] = (
    "Contains",
    "Matches",
    "StartsWith",
    "EndsWith",
)
QUANTIFIER_KINDS: tuple[QuantifierKind, ...] = ("All", "Any", "None", "Exists")
DURATION_UNITS: tuple[DurationUnit, ...] = (
    "Milliseconds",
    "Seconds",
    "Minutes",
    "Hours",
    "Days",
)
VERDICTS: tuple[Verdict, ...] = ("Allow", "Deny", "Audit", "Redact")
ACTION_VERBS: tuple[ActionVerb, ...] = ("Log", "Notify", "Escalate", "Block", "Tag")
SEVERITY_LEVELS: tuple[SeverityLevel, ...] = (
    "Critical",
    "High",
    "Medium",
    "Low",
    "Info",
)
CONSTRAINT_KINDS: tuple[ConstraintKind, ...] = ("RateLimit", "Quota")
TEMPORAL_KINDS: tuple[TemporalKind, ...] = (
    "Always",
    "Eventually",
    "Never",
    "Until",
    "Next",
)
STATE_KINDS: tuple[StateKind, ...] = ("Active", "Satisfied", "Violated")

# The enumerations without payload, by their names in the policy model.
ENUM_NAMES: Mapping[str, tuple[str, ...]] = {
    "BinaryOp": BINARY_OPS,
    "UnaryOp": UNARY_OPS,
    "PredicateKind": PREDICATE_KINDS,
    "QuantifierKind": QUANTIFIER_KINDS,
    "DurationUnit": DURATION_UNITS,
    "Verdict": VERDICTS,
    "ActionVerb": ACTION_VERBS,
    "SeverityLevel": SEVERITY_LEVELS,
    "ConstraintKind": CONSTRAINT_KINDS,
    "TemporalKind": TEMPORAL_KINDS,
    "StateKind": STATE_KINDS,
}

# The variants of the enumerations that carry something, in declared order:
# the one key of an object of that enumeration (or its bare name, for a
# variant without payload).
ExprKind: TypeAlias = Literal[
    "Literal",
    "Ref",
    "Binary",
    "Unary",
    "Predicate",
    "Quantifier",
    "Count",
    "Call",
    "MethodCall",
    "DecisionTree",
    "List",
]
LiteralKind: TypeAlias = Literal["Bool", "Int", "Float", "String", "Duration", "Regex"]
RootKind: TypeAlias = Literal["Event", "Context", "Local", "Policy"]
CaseTestKind: TypeAlias = Literal["Literal", "Constructor", "Guard"]
DecisionNodeKind: TypeAlias = Literal["Switch", "Leaf", "VerdictLeaf"]
GuardKind: TypeAlias = Literal["Predicate", "NegatedPredicate", "Timeout", "Always"]

EXPR_KINDS: tuple[ExprKind, ...] = (
    "Literal",
    "Ref",
    "Binary",
    "Unary",
    "Predicate",
    "Quantifier",
    "Count",
    "Call",
    "MethodCall",
    "DecisionTree",
    "List",
)
LITERAL_KINDS: tuple[LiteralKind, ...] = (
    "Bool",
    "Int",
    "Float",
    "String",
    "Duration",
    "Regex",
)
ROOT_KINDS: tuple[RootKind, ...] = ("Event", "Context", "Local", "Policy")
CASE_TEST_KINDS: tuple[CaseTestKind, ...] = ("Literal", "Constructor", "Guard")
DECISION_NODE_KINDS: tuple[DecisionNodeKind, ...] = ("Switch", "Leaf", "VerdictLeaf")
GUARD_KINDS: tuple[GuardKind, ...] = (
    "Predicate",
    "NegatedPredicate",
    "Timeout",
    "Always",
)

# The enumerations whose variants carry something, by their model names.
VARIANT_NAMES: Mapping[str, tuple[str, ...]] = {
    "IRExpr": EXPR_KINDS,
    "Literal": LITERAL_KINDS,
    "RefRoot": ROOT_KINDS,
    "CaseTest": CASE_TEST_KINDS,
    "DecisionNode": DECISION_NODE_KINDS,
    "TransitionGuard": GUARD_KINDS,
}

# The keys of an evaluation result, in the order the engine inserts them.
RESULT_KEYS: tuple[str, ...] = (
    "verdict",
    "reason",
    "triggered_rules",
    "eval_time_us",
    "actions",
    "violations",
    "constraint_violations",
)
# The keys of an explanation: those of a result, then the trace.
EXPLAIN_KEYS: tuple[str, ...] = (*RESULT_KEYS, "trace")

# --- literals ----------------------------------------------------------------


class DurationLit(TypedDict):
    """A duration: `value` counted in `unit`."""

    value: int
    unit: DurationUnit


BoolLiteral = TypedDict("BoolLiteral", {"Bool": bool})
IntLiteral = TypedDict("IntLiteral", {"Int": int})
FloatLiteral = TypedDict("FloatLiteral", {"Float": float})
StringLiteral = TypedDict("StringLiteral", {"String": str})
DurationLiteral = TypedDict("DurationLiteral", {"Duration": DurationLit})
RegexLiteral = TypedDict("RegexLiteral", {"Regex": str})

LiteralValue: TypeAlias = (
    BoolLiteral
    | IntLiteral
    | FloatLiteral
    | StringLiteral
    | DurationLiteral
    | RegexLiteral
)

# --- expressions -------------------------------------------------------------

LocalRoot = TypedDict("LocalRoot", {"Local": int})
Root: TypeAlias = Literal["Event", "Context", "Policy"] | LocalRoot


class RefPath(TypedDict):
    """A path of map keys read from a root."""

    root: Root
    fields: list[str]


class Binary(TypedDict):
    op: BinaryOp
    left: "Expr"
    right: "Expr"


class Unary(TypedDict):
    op: UnaryOp
    operand: "Expr"


class Predicate(TypedDict):
    kind: PredicateKind
    subject: "Expr"
    argument: "Expr"


class Quantifier(TypedDict):
    kind: QuantifierKind
    collection: "Expr"
    param: str
    body: "Expr"


class Count(TypedDict):
    collection: "Expr"
    param: NotRequired[str | None]
    filter: NotRequired["Expr | None"]


class Call(TypedDict):
    function: str
    args: list["Expr"]


class MethodCall(TypedDict):
    object: "Expr"
    method: str
    args: list["Expr"]


LiteralExpr = TypedDict("LiteralExpr", {"Literal": LiteralValue})
RefExpr = TypedDict("RefExpr", {"Ref": RefPath})
BinaryExpr = TypedDict("BinaryExpr", {"Binary": Binary})
UnaryExpr = TypedDict("UnaryExpr", {"Unary": Unary})
PredicateExpr = TypedDict("PredicateExpr", {"Predicate": Predicate})
QuantifierExpr = TypedDict("QuantifierExpr", {"Quantifier": Quantifier})
CountExpr = TypedDict("CountExpr", {"Count": Count})
CallExpr = TypedDict("CallExpr", {"Call": Call})
MethodCallExpr = TypedDict("MethodCallExpr", {"MethodCall": MethodCall})
DecisionTreeExpr = TypedDict("DecisionTreeExpr", {"DecisionTree": "DecisionNode"})
ListExpr = TypedDict("ListExpr", {"List": list["Expr"]})

Expr: TypeAlias = (
    LiteralExpr
    | RefExpr
    | BinaryExpr
    | UnaryExpr
    | PredicateExpr
    | QuantifierExpr
    | CountExpr
    | CallExpr
    | MethodCallExpr
    | DecisionTreeExpr
    | ListExpr
)

# --- verdicts and decision trees ---------------------------------------------


class IRVerdict(TypedDict):
    """A verdict a rule offers, with the expression of its reason."""

    verdict: Verdict
    message: NotRequired[Expr | None]


LiteralTest = TypedDict("LiteralTest", {"Literal": LiteralValue})
ConstructorTest = TypedDict("ConstructorTest", {"Constructor": str})
GuardTest = TypedDict("GuardTest", {"Guard": Expr})
CaseTest: TypeAlias = LiteralTest | ConstructorTest | GuardTest


class DecisionCase(TypedDict):
    test: CaseTest
    body: "DecisionNode"


class Switch(TypedDict):
    subject: Expr
    cases: list[DecisionCase]
    default: NotRequired["DecisionNode | None"]


SwitchNode = TypedDict("SwitchNode", {"Switch": Switch})
LeafNode = TypedDict("LeafNode", {"Leaf": Expr})
VerdictLeafNode = TypedDict("VerdictLeafNode", {"VerdictLeaf": IRVerdict})
DecisionNode: TypeAlias = SwitchNode | LeafNode | VerdictLeafNode

# --- policy records ----------------------------------------------------------

# A pair of the JSON form: written as a two-element list, so that a built
# record equals the same record read back from `to_json()`.
ActionArg: TypeAlias = tuple[str, Expr]
Annotation: TypeAlias = tuple[str, str]


class IRAction(TypedDict):
    """An action reported when its rule fires; args are evaluated in order."""

    verb: ActionVerb
    args: list[ActionArg]


class CompiledRule(TypedDict):
    id: int
    on_events: list[str]
    condition: NotRequired[Expr | None]
    verdicts: list[IRVerdict]
    actions: list[IRAction]
    severity: NotRequired[SeverityLevel | None]


class CompiledConstraint(TypedDict):
    kind: ConstraintKind
    target: str
    limit: int
    window_millis: int


class State(TypedDict):
    id: int
    label: str
    kind: StateKind


PredicateGuard = TypedDict("PredicateGuard", {"Predicate": Expr})
NegatedPredicateGuard = TypedDict("NegatedPredicateGuard", {"NegatedPredicate": Expr})
TransitionGuard: TypeAlias = (
    PredicateGuard | NegatedPredicateGuard | Literal["Timeout", "Always"]
)

# `from` is a Python keyword: this record is declared by its key list.
Transition = TypedDict("Transition", {"from": int, "to": int, "guard": TransitionGuard})


class StateMachine(TypedDict):
    id: int
    name: str
    invariant_name: str
    kind: TemporalKind
    states: list[State]
    transitions: list[Transition]
    initial_state: int
    accepting_states: list[int]
    violating_states: list[int]
    deadline_millis: NotRequired[int | None]


class PolicyMetadata(TypedDict):
    annotations: list[Annotation]
    source_hash: int
    compiler_version: str


class CompiledPolicy(TypedDict):
    """The whole document: what `from_json` reads and `to_json` writes."""

    name: str
    severity: SeverityLevel
    scopes: list[str]
    rules: list[CompiledRule]
    constraints: list[CompiledConstraint]
    state_machines: list[StateMachine]
    metadata: PolicyMetadata


# --- literal builders --------------------------------------------------------


def lit_bool(value: bool) -> LiteralExpr:
    return {"Literal": {"Bool": value}}


def lit_int(value: int) -> LiteralExpr:
    return {"Literal": {"Int": value}}


def lit_float(value: float) -> LiteralExpr:
    return {"Literal": {"Float": value}}


def lit_str(value: str) -> LiteralExpr:
    return {"Literal": {"String": value}}


def lit_regex(pattern: str) -> LiteralExpr:
    return {"Literal": {"Regex": pattern}}


def duration(value: int, unit: DurationUnit = "Milliseconds") -> DurationLit:
    return {"value": value, "unit": unit}


def lit_dur(value: int, unit: DurationUnit = "Milliseconds") -> LiteralExpr:
    return {"Literal": {"Duration": duration(value, unit)}}


# --- expression builders -----------------------------------------------------


def local(index: int = 0) -> LocalRoot:
    """The root of the element a quantifier body or count filter visits."""
    return {"Local": index}


def ref(root: Root | int, *fields: str) -> RefExpr:
    """A reference; `root` is "Event", "Context", "Policy", a local root or
    an int (the index of a local)."""
    root_json: Root = local(root) if isinstance(root, int) else root
    return {"Ref": {"root": root_json, "fields": list(fields)}}


def field(*path: str) -> RefExpr:
    """A field of the event, by its path of keys."""
    return ref("Event", *path)


def binary(op: BinaryOp, left: Expr, right: Expr) -> BinaryExpr:
    return {"Binary": {"op": op, "left": left, "right": right}}


def unary(op: UnaryOp, operand: Expr) -> UnaryExpr:
    return {"Unary": {"op": op, "operand": operand}}


def predicate(kind: PredicateKind, subject: Expr, argument: Expr) -> PredicateExpr:
    return {"Predicate": {"kind": kind, "subject": subject, "argument": argument}}


def quantifier(
    kind: QuantifierKind, collection: Expr, body: Expr, param: str = "x"
) -> QuantifierExpr:
    return {
        "Quantifier": {
            "kind": kind,
            "collection": collection,
            "param": param,
            "body": body,
        }
    }


def count(
    collection: Expr, filter: Expr | None = None, param: str | None = None
) -> CountExpr:
    return {"Count": {"collection": collection, "param": param, "filter": filter}}


def call(function: str, *args: Expr) -> CallExpr:
    return {"Call": {"function": function, "args": list(args)}}


def method(obj: Expr, name: str, *args: Expr) -> MethodCallExpr:
    return {"MethodCall": {"object": obj, "method": name, "args": list(args)}}


def list_expr(*items: Expr) -> ListExpr:
    return {"List": list(items)}


def decision_tree(node: "DecisionNode") -> DecisionTreeExpr:
    return {"DecisionTree": node}


# --- decision tree builders --------------------------------------------------


def switch(
    subject: Expr,
    cases: Iterable[DecisionCase] = (),
    default: DecisionNode | None = None,
) -> SwitchNode:
    return {"Switch": {"subject": subject, "cases": list(cases), "default": default}}


def leaf(expr: Expr) -> LeafNode:
    return {"Leaf": expr}


def verdict_leaf(name: Verdict, message: Expr | None = None) -> VerdictLeafNode:
    return {"VerdictLeaf": verdict(name, message)}


def case(test: CaseTest, body: DecisionNode) -> DecisionCase:
    return {"test": test, "body": body}


def literal_test(value: LiteralValue) -> LiteralTest:
    """Matches a subject equal to the literal (`lit_int(2)["Literal"]`)."""
    return {"Literal": value}


def constructor_test(name: str) -> ConstructorTest:
    """Matches the string `name`, or a map whose "type" entry is `name`."""
    return {"Constructor": name}


def guard_test(expr: Expr) -> GuardTest:
    """Matches when `expr` is truthy."""
    return {"Guard": expr}


# --- record builders ---------------------------------------------------------


def verdict(name: Verdict, message: Expr | None = None) -> IRVerdict:
    return {"verdict": name, "message": message}


def _pair(key: str, value: Expr) -> ActionArg:
    # A list at run time (see ActionArg), typed as the pair it stands for.
    return cast(ActionArg, [key, value])


def action(verb: ActionVerb, **args: Expr) -> IRAction:
    """An action whose arguments are the keyword arguments, in order."""
    return {"verb": verb, "args": [_pair(k, v) for k, v in args.items()]}


def rule(
    rule_id: int = 1,
    on_events: Iterable[str] = (),
    condition: Expr | None = None,
    verdicts: Iterable[IRVerdict] = (),
    actions: Iterable[IRAction] = (),
    severity: SeverityLevel | None = None,
) -> CompiledRule:
    return {
        "id": rule_id,
        "on_events": list(on_events),
        "condition": condition,
        "verdicts": list(verdicts),
        "actions": list(actions),
        "severity": severity,
    }


def constraint(
    target: str, limit: int, window_millis: int, kind: ConstraintKind = "RateLimit"
) -> CompiledConstraint:
    return {
        "kind": kind,
        "target": target,
        "limit": limit,
        "window_millis": window_millis,
    }


def state(label: str, kind: StateKind = "Active", state_id: int = 0) -> State:
    return {"id": state_id, "label": label, "kind": kind}


def predicate_guard(expr: Expr) -> PredicateGuard:
    return {"Predicate": expr}


def negated_guard(expr: Expr) -> NegatedPredicateGuard:
    return {"NegatedPredicate": expr}


def timeout_guard() -> Literal["Timeout"]:
    return "Timeout"


def always_guard() -> Literal["Always"]:
    return "Always"


def transition(
    frm: int,
    to: int,
    guard: TransitionGuard | tuple[GuardKind, Expr | None],
) -> Transition:
    """`guard` is a guard record, or a pair (kind, payload) written as the
    object {kind: payload}: ("Predicate", expr) is predicate_guard(expr)."""
    if isinstance(guard, tuple):
        kind, payload = guard
        guard = cast(TransitionGuard, {kind: payload})
    return {"from": frm, "to": to, "guard": guard}


def machine(
    name: str = "m",
    invariant: str = "inv",
    kind: TemporalKind = "Never",
    states: Iterable[State] = (),
    transitions: Iterable[Transition] = (),
    initial: int = 0,
    accepting: Iterable[int] = (),
    violating: Iterable[int] = (),
    deadline_millis: int | None = None,
    machine_id: int = 0,
) -> StateMachine:
    return {
        "id": machine_id,
        "name": name,
        "invariant_name": invariant,
        "kind": kind,
        "states": list(states),
        "transitions": list(transitions),
        "initial_state": initial,
        "accepting_states": list(accepting),
        "violating_states": list(violating),
        "deadline_millis": deadline_millis,
    }


def metadata(
    annotations: Iterable[tuple[str, str]] = (),
    source_hash: int = 0,
    compiler_version: str = "x",
) -> PolicyMetadata:
    """Annotations are (key, value) pairs, kept in order (keys may repeat)."""
    pairs = [cast(Annotation, [key, value]) for key, value in annotations]
    return {
        "annotations": pairs,
        "source_hash": source_hash,
        "compiler_version": compiler_version,
    }


def policy(
    name: str = "p",
    severity: SeverityLevel = "Low",
    rules: Iterable[CompiledRule] = (),
    constraints: Iterable[CompiledConstraint] = (),
    state_machines: Iterable[StateMachine] = (),
    scopes: Iterable[str] = (),
    meta: PolicyMetadata | None = None,
) -> CompiledPolicy:
    return {
        "name": name,
        "severity": severity,
        "scopes": list(scopes),
        "rules": list(rules),
        "constraints": list(constraints),
        "state_machines": list(state_machines),
        "metadata": metadata() if meta is None else meta,
    }
