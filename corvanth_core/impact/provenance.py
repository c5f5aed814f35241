"""Which recorded events a replay can decide honestly.

A decision log may have masked field values before writing them down
(they read "[masked]"), and each of its records names the policy that
decided it by the digest of its canonical form. A replay of a masked
event evaluates a placeholder, not what the agent sent; a record decided
by another policy than the one the replay starts from was part of a
different session history. Both are counted as not replayable rather
than guessed.

    digest = policy_digest(old_engine)
    reason = unreplayable_reason(event, digest)  # None: replayable
"""

import hashlib
from typing import Any, Final

from _corvanth_core import PolicyEngine

from corvanth_core._trace import Event

# What the decision log writes in place of a masked value (the guard's
# `corvanth_core.guard.masking.MASKED`; checked equal by the tests).
MASKED: Final = "[masked]"


def policy_digest(engine: PolicyEngine) -> str:
    """ "sha256:" and the hex digest of the policy's canonical form, as the
    decision log names the policy that decided."""
    return "sha256:" + hashlib.sha256(engine.to_json().encode("utf-8")).hexdigest()


def masked_paths(value: Any, prefix: str = "") -> list[str]:
    """The dotted paths of the masked values inside `value`."""
    if isinstance(value, str):
        return [prefix] if value == MASKED else []
    if isinstance(value, list):
        return [path for item in value for path in masked_paths(item, prefix)]
    if isinstance(value, dict):
        return [
            path
            for key, item in value.items()
            for path in masked_paths(item, f"{prefix}.{key}" if prefix else str(key))
        ]
    return []


def unreplayable_reason(event: Event, digest: str) -> str | None:
    """Why a decision-log record cannot be replayed honestly against the
    policy of `digest`, or None. Plain trace lines (no decision logged)
    are taken as they are."""
    if event.decision is None and event.policy is None:
        return None
    logged = (event.policy or {}).get("digest")
    if isinstance(logged, str) and logged != digest:
        return f"decided by policy {logged}, not {digest}"
    masked = sorted(set(masked_paths(event.fields)))
    if masked:
        return "masked field " + ", ".join(f"`{path}`" for path in masked)
    return None
