"""Limits the engine cannot hold, carried to the guard beside the IR.

The engine counts an event type in one window. A limit keyed by a field of
the event or a context value (`per: event.tool`, `per: context.tenant`)
needs a window per key, which the guard holds (`corvanth_core.limits`):
the compiler leaves such limits out of the IR and hands them over here.

    compiled = compile_with_limits(open("policy.yaml").read())
    compiled.json         # the IR, as `compile` returns it
    compiled.host_limits  # (HostLimit("Quota", "tool_call", 5, 60000, "event.tool"),)
"""

from dataclasses import dataclass

from corvanth_core.ir import ConstraintKind

REFERENCE_ROOTS = ("event", "context")


@dataclass(frozen=True, slots=True)
class HostLimit:
    """One limit held outside the engine: the constraint's `kind`,
    `target` (an event type), `limit` and `window_ms`, and the reference
    its windows are keyed by (`per`, "event.tool" or "context.tenant"), or
    None for one window per target."""

    kind: ConstraintKind
    target: str
    limit: int
    window_ms: int
    per: str | None = None


@dataclass(frozen=True, slots=True)
class CompiledLimits:
    """A compiled policy: its IR JSON, and the limits held beside it."""

    json: str
    host_limits: tuple[HostLimit, ...]


def reference_error(reference: str, what: str) -> str | None:
    """Why `reference` is not a key reference (`event.FIELD[.FIELD...]` or
    `context.KEY[...]`), None when it is one."""
    root, _, rest = reference.partition(".")
    if root in REFERENCE_ROOTS and rest and all(rest.split(".")):
        return None
    return (
        f"{what} {reference!r} is not a reference: write event.FIELD or "
        "context.KEY (e.g. 'event.tool', 'context.tenant')"
    )
