"""The canonical form of a policy: what `corvanth-core fmt` writes.

A JSON file is the engine's canonical JSON (`to_json()`: every record in
object form, fields in declared order, optional fields as null, unknown
keys dropped) indented by DEFAULT_INDENT spaces, with a final newline; a
container holds the compact canonical JSON (`to_bytes()`). Either can be
asked for at another width, or compact (indent None).

    engine = corvanth_core.load("guard.json")
    data = formatted_bytes(engine, container=False)   # what fmt -w writes
"""

import json
from typing import Final

from _corvanth_core import PolicyEngine

from corvanth_core.loading import pack

DEFAULT_INDENT: Final = 2


def canonical_text(engine: PolicyEngine, indent: int | None) -> str:
    """The policy's canonical JSON, compact (indent None) or indented."""
    text = engine.to_json()
    if indent is None:
        return text
    return json.dumps(json.loads(text), ensure_ascii=False, indent=indent)


def default_indent(container: bool) -> int | None:
    """The width a file of this form is written with when none is asked."""
    return None if container else DEFAULT_INDENT


def canonical_bytes(
    engine: PolicyEngine, *, container: bool, indent: int | None
) -> bytes:
    """The bytes of a canonical file at width `indent` (None: compact): JSON
    text with a final newline, or a container."""
    text = canonical_text(engine, indent)
    return pack(text) if container else (text + "\n").encode("utf-8")


def formatted_bytes(engine: PolicyEngine, *, container: bool) -> bytes:
    """The bytes `fmt` writes for a file of this form by default."""
    return canonical_bytes(
        engine, container=container, indent=default_indent(container)
    )
