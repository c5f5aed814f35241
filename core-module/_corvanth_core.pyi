# Type stub of the extension module. Whoever adds a member to PolicyEngine
# adds it here in the same commit; CI checks the two agree with stubtest.
# The dict shapes are the TypedDicts of the corvanth_core package.

import os
from collections.abc import Callable, Iterator, Mapping
from typing import Any, Final, final

from corvanth_core.results import (
    Diagnostic,
    EvaluationResult,
    ExplainResult,
    ReplaySummary,
)

__version__: Final[str]
__all__ = ["PolicyEngine", "__version__"]

@final
class PolicyEngine:
    @staticmethod
    def from_file(
        path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    ) -> PolicyEngine:
        """Load a policy engine from a compiled .halvoc file.

        The path is a str, bytes or os.PathLike, as os.fspath takes it.
        """
    @staticmethod
    def from_bytes(data: bytes) -> PolicyEngine: ...
    @staticmethod
    def from_json(json_str: str) -> PolicyEngine: ...
    def evaluate(
        self, event_type: str, fields: Mapping[str, object] | None = None
    ) -> EvaluationResult: ...
    def set_context(self, key: str, value: object) -> None:
        """Set a persistent context value.

        Values may nest lists and dicts at most 1000 levels deep, and no
        deeper than the calling thread's stack has room for; the
        interpreter's recursion limit plays no part.
        """
    def set_config(self, key: str, value: object) -> None:
        """Set a policy configuration value (nesting as set_context)."""
    @property
    def policy_name(self) -> str: ...
    @property
    def event_count(self) -> int: ...
    def reset(self) -> None: ...
    def status(self) -> str: ...
    def evaluate_at(
        self,
        timestamp_ms: int,
        event_type: str,
        fields: Mapping[str, object] | None = None,
    ) -> EvaluationResult: ...
    def reset_at(self, timestamp_ms: int) -> None: ...
    def explain(
        self,
        event_type: str,
        fields: Mapping[str, object] | None = None,
        timestamp_ms: int | None = None,
    ) -> ExplainResult: ...
    def snapshot(self, *, key: bytes | bytearray | memoryview | None = None) -> bytes:
        """The runtime state as bytes, for restore().

        With a key (non-empty), the snapshot is signed with HMAC-SHA256
        under it: flag bit 0 is set at offset 12, and the 32-byte MAC of
        every byte before it sits between the body and the checksum.
        Without one the bytes are the unsigned format, unchanged.
        RecursionError if the held values are nested deeper than this
        thread's stack has room for.
        """
    def restore(
        self,
        data: bytes,
        *,
        key: bytes | bytearray | memoryview | None = None,
        max_bytes: int | None = None,
    ) -> None:
        """Put back a state saved by snapshot(); a refusal changes nothing.

        With a key, only snapshots signed with that key are accepted
        (ValueError "Invalid snapshot: ..." for an unsigned or changed one);
        without one, a signed snapshot is refused. max_bytes bounds the
        memory the restored state may take, by default 32 times len(data)
        (every snapshot that snapshot() writes fits that). Values nested
        deeper than this thread's stack has room for (checked before
        anything is built) raise RecursionError: restore on a thread with a
        larger stack.
        """
    def to_json(self) -> str: ...
    def to_bytes(self) -> bytes: ...
    def diagnostics(self) -> list[Diagnostic]: ...
    def __copy__(self) -> PolicyEngine: ...
    def __deepcopy__(self, memo: object) -> PolicyEngine: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def replay(
        self, trace: bytes, *, results: bool = False, lines: bool = False
    ) -> ReplaySummary:
        """Replay a recorded session (the bytes of a JSON Lines trace) natively.

        Event lines are evaluated at their recorded time (the engine is reset
        to the first one's), setting lines set configuration and context, bad
        lines are reported and skipped. The interpreter lock is released
        meanwhile.
        """
    def replay_file(
        self,
        path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
        *,
        results: bool = False,
        lines: bool = False,
    ) -> ReplaySummary:
        """replay() of the trace file at path, read by blocks."""
    def decider(
        self,
        template: object,
        serials: Iterator[int],
        settle: Callable[[Any], object],
        *,
        admit: bool = False,
        clock: Callable[[], int] | None = None,
    ) -> Callable[..., Any]:
        """A native evaluate() that answers a copy of template (whose class
        has __slots__, _serial and _result among them) with the next serial
        and the result, or settle(decision) when the result holds actions.

        With admit=True an allowing result without actions answers its
        verdict alone. The call takes (event_type, fields=None,
        surface=None); surface is ignored.
        """
