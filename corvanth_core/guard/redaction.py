"""What a guarded tool returns when the policy's verdict is redact.

The default hook keeps the shape of the result and hides its text: every
string inside it, through lists, tuples and dicts, becomes "[redacted]".
Numbers, booleans and None stay; any other object (bytes, a dataclass, a
model object) is replaced whole, since text may hide inside it where this
walk cannot see.

    redact_strings({"rows": [("alice", 3)], "more": True})
    # {"rows": [("[redacted]", 3)], "more": True}
"""

from typing import Any, Final

REDACTED: Final = "[redacted]"

# Values that carry no text and pass through unchanged (bool is an int).
_KEPT = (int, float, type(None))


def redact_strings(value: Any) -> Any:
    """`value` with every string inside it replaced by "[redacted]"; dict
    keys stay, as the shape of the result rather than its content."""
    if isinstance(value, _KEPT):
        return value
    if isinstance(value, dict):
        return {key: redact_strings(item) for key, item in value.items()}
    if isinstance(value, list):
        return [redact_strings(item) for item in value]
    if isinstance(value, tuple):
        items = [redact_strings(item) for item in value]
        make = getattr(type(value), "_make", None)
        return make(items) if callable(make) else tuple(items)
    return REDACTED
