"""The shapes of the IR records and variants, and a reader that brings any
JSON form the engine reads (object or array form, `{"Deny": null}`,
integers for floats, extra keys) to the canonical one `ir_build` makes.
The printer reads policies through it, so it prints every policy the
engine loads without loading it.

    canonical = normalize_policy(json.loads(text))
"""

import math
from typing import Any, Final

from corvanth_core import ir as model
from corvanth_core.source.names import I64_MAX, I64_MIN, U32_MAX, U64_MAX

# A type is a word ("str", "u32", "u64", "i64", "f64", "bool"), a record or
# variant-set name, or a tuple ("list", T), ("pair", A, B), ("opt", T).
Type = Any

RECORDS: Final[dict[str, tuple[tuple[str, Type], ...]]] = {
    "CompiledPolicy": (
        ("name", "str"),
        ("severity", "SeverityLevel"),
        ("scopes", ("list", "str")),
        ("rules", ("list", "CompiledRule")),
        ("constraints", ("list", "CompiledConstraint")),
        ("state_machines", ("list", "StateMachine")),
        ("metadata", "PolicyMetadata"),
    ),
    "PolicyMetadata": (
        ("annotations", ("list", ("pair", "str", "str"))),
        ("source_hash", "u64"),
        ("compiler_version", "str"),
    ),
    "CompiledRule": (
        ("id", "u32"),
        ("on_events", ("list", "str")),
        ("condition", ("opt", "IRExpr")),
        ("verdicts", ("list", "IRVerdict")),
        ("actions", ("list", "IRAction")),
        ("severity", ("opt", "SeverityLevel")),
    ),
    "IRAction": (("verb", "ActionVerb"), ("args", ("list", ("pair", "str", "IRExpr")))),
    "CompiledConstraint": (
        ("kind", "ConstraintKind"),
        ("target", "str"),
        ("limit", "u64"),
        ("window_millis", "u64"),
    ),
    "StateMachine": (
        ("id", "u32"),
        ("name", "str"),
        ("invariant_name", "str"),
        ("kind", "TemporalKind"),
        ("states", ("list", "State")),
        ("transitions", ("list", "Transition")),
        ("initial_state", "u32"),
        ("accepting_states", ("list", "u32")),
        ("violating_states", ("list", "u32")),
        ("deadline_millis", ("opt", "u64")),
    ),
    "State": (("id", "u32"), ("label", "str"), ("kind", "StateKind")),
    "Transition": (("from", "u32"), ("to", "u32"), ("guard", "TransitionGuard")),
    "RefPath": (("root", "RefRoot"), ("fields", ("list", "str"))),
    "DurationLit": (("value", "u64"), ("unit", "DurationUnit")),
    "DecisionCase": (("test", "CaseTest"), ("body", "DecisionNode")),
    "IRVerdict": (("verdict", "Verdict"), ("message", ("opt", "IRExpr"))),
    "Binary": (("op", "BinaryOp"), ("left", "IRExpr"), ("right", "IRExpr")),
    "Unary": (("op", "UnaryOp"), ("operand", "IRExpr")),
    "Predicate": (
        ("kind", "PredicateKind"),
        ("subject", "IRExpr"),
        ("argument", "IRExpr"),
    ),
    "Quantifier": (
        ("kind", "QuantifierKind"),
        ("collection", "IRExpr"),
        ("param", "str"),
        ("body", "IRExpr"),
    ),
    "Count": (
        ("collection", "IRExpr"),
        ("param", ("opt", "str")),
        ("filter", ("opt", "IRExpr")),
    ),
    "Call": (("function", "str"), ("args", ("list", "IRExpr"))),
    "MethodCall": (
        ("object", "IRExpr"),
        ("method", "str"),
        ("args", ("list", "IRExpr")),
    ),
    "Switch": (
        ("subject", "IRExpr"),
        ("cases", ("list", "DecisionCase")),
        ("default", ("opt", "DecisionNode")),
    ),
}

# Variant sets: variant name -> payload (None, a type, or a record of fields).
VARIANTS: Final[dict[str, dict[str, Type]]] = {
    "IRExpr": {
        "Literal": "Literal",
        "Ref": "RefPath",
        "Binary": ("fields", "Binary"),
        "Unary": ("fields", "Unary"),
        "Predicate": ("fields", "Predicate"),
        "Quantifier": ("fields", "Quantifier"),
        "Count": ("fields", "Count"),
        "Call": ("fields", "Call"),
        "MethodCall": ("fields", "MethodCall"),
        "DecisionTree": "DecisionNode",
        "List": ("list", "IRExpr"),
    },
    "Literal": {
        "Bool": "bool",
        "Int": "i64",
        "Float": "f64",
        "String": "str",
        "Duration": "DurationLit",
        "Regex": "str",
    },
    "RefRoot": {"Event": None, "Context": None, "Local": "u32", "Policy": None},
    "DecisionNode": {
        "Switch": ("fields", "Switch"),
        "Leaf": "IRExpr",
        "VerdictLeaf": "IRVerdict",
    },
    "CaseTest": {"Literal": "Literal", "Constructor": "str", "Guard": "IRExpr"},
    "TransitionGuard": {
        "Predicate": "IRExpr",
        "NegatedPredicate": "IRExpr",
        "Timeout": None,
        "Always": None,
    },
}
for _name, _variants in model.ENUM_NAMES.items():
    VARIANTS[_name] = {v: None for v in _variants}

_RANGES: Final = {"u32": (0, U32_MAX), "u64": (0, U64_MAX), "i64": (I64_MIN, I64_MAX)}


class ShapeError(ValueError):
    """A JSON value that is not the IR: message and JSON path."""

    def __init__(self, message: str, path: str) -> None:
        super().__init__(f"{message} at `{path or '(document)'}`")
        self.path = path


def normalize_policy(value: Any) -> Any:
    """The canonical form of a whole policy document (json.loads output)."""
    return _read(value, "CompiledPolicy", "")


def _read(value: Any, kind: Type, path: str) -> Any:
    if isinstance(kind, tuple):
        return _read_compound(value, kind, path)
    if kind in _RANGES:
        low, high = _RANGES[kind]
        if (
            isinstance(value, bool)
            or not isinstance(value, int)
            or not low <= value <= high
        ):
            raise ShapeError(f"expected {kind}", path)
        return value
    if kind == "f64":
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise ShapeError("expected f64", path)
        number = float(value)
        if not math.isfinite(number):
            raise ShapeError("expected a finite f64", path)
        return number
    if kind == "str":
        if not isinstance(value, str):
            raise ShapeError("expected a string", path)
        return value
    if kind == "bool":
        if not isinstance(value, bool):
            raise ShapeError("expected a boolean", path)
        return value
    if kind in RECORDS:
        return _read_record(value, RECORDS[kind], kind, path)
    return _read_variant(value, kind, path)


def _read_compound(value: Any, kind: tuple[Any, ...], path: str) -> Any:
    if kind[0] == "opt":
        return None if value is None else _read(value, kind[1], path)
    if kind[0] == "fields":
        return _read_record(value, RECORDS[kind[1]], kind[1], path)
    if not isinstance(value, list):
        raise ShapeError("expected a list", path)
    if kind[0] == "list":
        return [_read(item, kind[1], f"{path}[{i}]") for i, item in enumerate(value)]
    if len(value) != 2:
        raise ShapeError("expected a pair", path)
    return [
        _read(value[0], kind[1], f"{path}[0]"),
        _read(value[1], kind[2], f"{path}[1]"),
    ]


def _read_record(
    value: Any, fields: tuple[tuple[str, Type], ...], name: str, path: str
) -> Any:
    if isinstance(value, list):
        if len(value) != len(fields):
            raise ShapeError(f"expected {name} with {len(fields)} elements", path)
        given = dict(zip((f for f, _ in fields), value, strict=True))
    elif isinstance(value, dict):
        given = value
    else:
        raise ShapeError(f"expected {name}", path)
    result = {}
    for field, kind in fields:
        where = f"{path}.{field}" if path else field
        if field not in given and not (isinstance(kind, tuple) and kind[0] == "opt"):
            raise ShapeError(f"missing field `{field}`", path)
        result[field] = _read(given.get(field), kind, where)
    return result


def _read_variant(value: Any, kind: str, path: str) -> Any:
    variants = VARIANTS[kind]
    if isinstance(value, str):
        if value not in variants or variants[value] is not None:
            raise ShapeError(f"unknown {kind} `{value}`", path)
        return value
    if not isinstance(value, dict) or len(value) != 1:
        raise ShapeError(f"expected {kind}", path)
    ((name, payload),) = value.items()
    if name not in variants:
        raise ShapeError(f"unknown {kind} `{name}`", path)
    shape = variants[name]
    if shape is None:
        if payload is not None:
            raise ShapeError(f"{kind} `{name}` carries nothing", path)
        return name
    return {name: _read(payload, shape, f"{path}.{name}" if path else name)}
