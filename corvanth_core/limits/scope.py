"""The keys a window is split by: a reference to a field of the event or to
a context value, read into a text that tells values apart.

    read = scope_reader("event.tool")
    read({"tool": "send_email"}, {})   # -> '"send_email"'
    read({}, {})                       # -> 'null' (missing: a window of its own)
"""

import json
from collections.abc import Callable, Mapping
from typing import Any

from corvanth_core.source.host_limits import reference_error

ScopeReader = Callable[[Mapping[str, Any] | None, Mapping[str, Any]], str]


def check_reference(reference: str, what: str) -> tuple[str, tuple[str, ...]]:
    """The root and path of `reference` ("event.tool", "context.tenant",
    "event.args.to"); ValueError naming `what` otherwise."""
    if not isinstance(reference, str):
        raise TypeError(f"{what} must be a str, not {type(reference).__name__}")
    error = reference_error(reference, what)
    if error is not None:
        raise ValueError(error)
    root, _, rest = reference.partition(".")
    return root, tuple(rest.split("."))


def key_text(value: Any) -> str:
    """A window key for `value`: its JSON text, so that "1" and 1 differ."""
    return json.dumps(value, sort_keys=True, ensure_ascii=False, default=str)


def scope_reader(reference: str, what: str = "scope") -> ScopeReader:
    """A function of (event fields, context) giving the key text of the
    value `reference` names; a missing value reads as null."""
    root, path = check_reference(reference, what)

    def read(fields: Mapping[str, Any] | None, context: Mapping[str, Any]) -> str:
        value: Any = context if root == "context" else (fields or {})
        for name in path:
            value = value.get(name) if isinstance(value, Mapping) else None
        return key_text(value)

    return read
