"""Hiding chosen field values before a decision is written down.

A mask path names a value inside an event's fields by its keys, joined
with dots: `token` is the field "token", `arguments.password` the entry
"password" of the field "arguments". A list on the way is looked through:
the rest of the path applies to each of its items. A path that leads
nowhere in an event masks nothing there.

    paths = mask_paths(["arguments.password"])
    mask_fields({"arguments": {"password": "hunter2"}}, paths)
    # {"arguments": {"password": "[masked]"}}
"""

from collections.abc import Iterable
from typing import Any, Final

MASKED: Final = "[masked]"

MaskPath = tuple[str, ...]


def mask_paths(paths: Iterable[str]) -> tuple[MaskPath, ...]:
    """The parsed paths; ValueError for a path with an empty key."""
    if isinstance(paths, str):
        raise TypeError("mask must be a collection of paths, not a single str")
    parsed = []
    for path in paths:
        if not isinstance(path, str):
            raise TypeError(f"mask paths must be str, not {type(path).__name__}")
        keys = tuple(path.split("."))
        if not all(keys):
            raise ValueError(f"mask path {path!r} has an empty key")
        parsed.append(keys)
    return tuple(parsed)


def _mask(value: Any, keys: MaskPath) -> None:
    if isinstance(value, list):
        for item in value:
            _mask(item, keys)
        return
    if not isinstance(value, dict) or keys[0] not in value:
        return
    if len(keys) == 1:
        value[keys[0]] = MASKED
    else:
        _mask(value[keys[0]], keys[1:])


def mask_fields(fields: dict[str, Any], paths: tuple[MaskPath, ...]) -> dict[str, Any]:
    """`fields` (a plain copy the caller owns) with the values at `paths`
    replaced by "[masked]", in place; returned for convenience."""
    for keys in paths:
        _mask(fields, keys)
    return fields
