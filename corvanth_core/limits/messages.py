"""The texts the host-side rate phase puts in a result, each written once.

exceeded_reason("Quota", 6, 60000, 5)
# 'Quota exceeded: 6 events in 60000ms window (limit: 5)'
unavailable_reason("Quota", "send_email")
# 'Quota unavailable: the shared window of send_email could not be checked'
"""

from corvanth_core.ir import ConstraintKind


def exceeded_reason(
    kind: ConstraintKind, current: int, window_ms: int, limit: int
) -> str:
    """The reason of an exceeded limit, the engine's own text."""
    return f"{kind} exceeded: {current} events in {window_ms}ms window (limit: {limit})"


def unavailable_reason(kind: ConstraintKind, target: str) -> str:
    """The reason of an event denied because its shared window could not be
    reached (the store down, too slow or answering an error)."""
    return f"{kind} unavailable: the shared window of {target} could not be checked"
