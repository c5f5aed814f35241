"""The `events` section: the event types a policy expects and the fields
each carries, with their types. When a policy declares them, the compiler
checks every rule, limit and guard against them: an event type or a field
that is not declared is an error naming the closest declared one, and a
comparison of a field with a value of another type (`bytes > "4096"`) is
an error, since it is always false at run time.

    events:
      tool_call: {tool: string, command: string, bytes: int}
      web_request: {host: string}

    checker = schema.checker(["tool_call"])
    checker.problem("comand")     # ("unknown field `comand` of tool_call", "did you mean `command`?")
"""

from dataclasses import dataclass
from typing import Final

from corvanth_core.source.ir_build import IR
from corvanth_core.source.names import did_you_mean

FIELD_TYPES: Final = (
    "string",
    "int",
    "float",
    "number",
    "bool",
    "duration",
    "list",
    "map",
    "any",
)
_NUMERIC: Final = frozenset({"int", "float", "number"})
_LITERAL_TYPES: Final = {
    "Bool": "bool",
    "Int": "int",
    "Float": "float",
    "String": "string",
    "Duration": "duration",
    "Regex": "string",
}
_CALL_TYPES: Final = {
    "len": "int",
    "length": "int",
    "str": "string",
    "to_string": "string",
}


def compatible(left: str | None, right: str | None) -> bool:
    """Whether values of the two types can compare equal or be ordered."""
    if left is None or right is None or "any" in (left, right):
        return True
    if left in _NUMERIC and right in _NUMERIC:
        return True
    return left == right


@dataclass(frozen=True)
class FieldChecker:
    """The fields of the event types one rule (or guard) sees."""

    fields: dict[str, str]
    what: str

    def problem(self, name: str) -> tuple[str, str | None] | None:
        if name in self.fields:
            return None
        return f"unknown field `{name}` of {self.what}", did_you_mean(name, self.fields)

    def type_of(self, expr: IR) -> str | None:
        """The type of an expression where it is plain to see, else None."""
        if not isinstance(expr, dict):
            return None
        if "Literal" in expr:
            ((kind, _),) = expr["Literal"].items()
            return _LITERAL_TYPES[kind]
        if "Ref" in expr:
            ref = expr["Ref"]
            if ref["root"] == "Event" and len(ref["fields"]) == 1:
                return self.fields.get(ref["fields"][0])
        if "Call" in expr:
            return _CALL_TYPES.get(expr["Call"]["function"])
        return None


@dataclass(frozen=True)
class EventSchema:
    """Declared event types, each with its fields and their types."""

    types: dict[str, dict[str, str]]

    def checker(self, event_types: list[str]) -> FieldChecker:
        """The fields seen by a rule on `event_types` (every type for [])."""
        chosen = event_types or list(self.types)
        fields: dict[str, str] = {}
        for event_type in chosen:
            for name, kind in self.types.get(event_type, {}).items():
                fields[name] = kind if fields.get(name, kind) == kind else "any"
        what = " or ".join(f"`{t}`" for t in chosen) if event_types else "any event"
        return FieldChecker(fields, what)

    def type_problem(self, event_type: str) -> tuple[str, str | None] | None:
        if event_type in self.types:
            return None
        return (
            f"event type `{event_type}` is not declared in `events`",
            did_you_mean(event_type, self.types),
        )
