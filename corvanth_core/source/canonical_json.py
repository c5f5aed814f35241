"""The canonical JSON text of a policy, byte for byte what the engine's
`to_json()` writes: compact, every record in object form with its keys in
declared order (the insertion order of the dicts built by `ir_build`),
payload-less variants as bare names, strings escaped only where JSON
requires (quote, backslash, control characters; `\\b \\f \\n \\r \\t` by name,
the others as `\\u00xx`), integers in decimal and floats in their shortest
round-trip form as Python's `repr` writes them.

    canonical_json({"Literal": {"Float": 1e20}})   # '{"Literal":{"Float":1e+20}}'
"""

import json
from typing import Any

_ENCODER = json.JSONEncoder(
    ensure_ascii=False, separators=(",", ":"), allow_nan=False, check_circular=False
)


def canonical_json(value: Any) -> str:
    """The canonical text of an IR value (dicts, lists, str, int, float,
    bool, None). Floats must be finite and strings free of lone surrogates,
    as every value the compiler builds is."""
    return _ENCODER.encode(value)
