"""The decision log: one JSON line per decision, in the format of a
recorded session, so that `corvanth-core replay` reads it back.

A decision line holds the event as the engine saw it (`type`, `fields`,
`timestamp_ms`), then `decision_id`, `decision` (the engine's whole
result), `policy` (its name and the digest of its canonical form),
`surface` (where the decision was asked: "check", "enforce", "decorator",
...) and, when a shadow policy runs, `shadow`. A setting line
(`{"config": ..., "context": ...}`) records values the guard set on its
engines, as a recorded session does.

    log = DecisionLog("decisions.jsonl", mask=["arguments.password"],
                      max_bytes=50_000_000, backups=5)
    guard = Guard("policy.json", decision_log=log)

Each line is written whole by one write on a file opened for appending,
so a process killed mid-stream loses at most its last line, which the
reader reports as torn; nothing earlier. With `max_bytes`, a line that
would make the file larger starts a new one: the file becomes `PATH.1`,
`PATH.1` becomes `PATH.2`, and so on up to `backups` files (0 keeps none).
Each new file starts with the values set so far.
"""

import hashlib
import json
import os
import threading
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Self

from _corvanth_core import PolicyEngine

from corvanth_core.guard.engine_values import as_engine_sees
from corvanth_core.guard.masking import mask_fields, mask_paths
from corvanth_core.results import EvaluationResult

StrPath = str | os.PathLike[str]


@dataclass(frozen=True, slots=True)
class PolicyIdentity:
    """What decided: the policy's name and "sha256:" and the hex digest of
    its canonical JSON (`PolicyEngine.to_json`)."""

    name: str
    digest: str

    @classmethod
    def of(cls, engine: PolicyEngine) -> "PolicyIdentity":
        digest = hashlib.sha256(engine.to_json().encode("utf-8")).hexdigest()
        return cls(engine.policy_name, "sha256:" + digest)

    def as_dict(self) -> dict[str, str]:
        return {"name": self.name, "digest": self.digest}


def shadow_record(
    policy: PolicyIdentity,
    result: EvaluationResult | None,
    differences: Iterable[str],
    error: str | None,
) -> dict[str, Any]:
    """The `shadow` entry of a decision line."""
    return {
        "policy": policy.as_dict(),
        "decision": result,
        "differences": list(differences),
        "error": error,
    }


def decision_record(
    event_type: str,
    fields: dict[str, Any],
    timestamp_ms: int,
    decision_id: str,
    result: EvaluationResult,
    policy: PolicyIdentity,
    surface: str,
    shadow: dict[str, Any] | None,
) -> dict[str, Any]:
    """A decision line, its keys in the order written; `fields` as the
    engine saw them, already masked."""
    record: dict[str, Any] = {
        "type": event_type,
        "fields": fields,
        "timestamp_ms": timestamp_ms,
        "decision_id": decision_id,
        "decision": result,
        "policy": policy.as_dict(),
        "surface": surface,
    }
    if shadow is not None:
        record["shadow"] = shadow
    return record


def encode_line(record: Mapping[str, Any]) -> bytes:
    """One record as a line of UTF-8 JSON."""
    text = json.dumps(record, ensure_ascii=False, separators=(",", ":"))
    return (text + "\n").encode("utf-8")


class DecisionLog:
    """An append-only JSON Lines file of decisions; safe to share between
    threads and between guards (a line is never interleaved with another).
    The file is created readable by its owner only."""

    def __init__(
        self,
        path: StrPath,
        *,
        mask: Iterable[str] = (),
        max_bytes: int | None = None,
        backups: int = 5,
    ) -> None:
        if max_bytes is not None and (isinstance(max_bytes, bool) or max_bytes < 1):
            raise ValueError(f"max_bytes must be at least 1, not {max_bytes!r}")
        if isinstance(backups, bool) or not isinstance(backups, int) or backups < 0:
            raise ValueError(f"backups must be an int of at least 0, not {backups!r}")
        self._path = os.fspath(path)
        self._mask = mask_paths(mask)
        self._max_bytes = max_bytes
        self._backups = backups
        self._lock = threading.Lock()
        self._config: dict[str, Any] = {}
        self._context: dict[str, Any] = {}
        self._fd = -1
        self._size = 0
        self._open()

    @property
    def path(self) -> str:
        return self._path

    @property
    def closed(self) -> bool:
        return self._fd < 0

    def _open(self) -> None:
        flags = os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC
        self._fd = os.open(self._path, flags, 0o600)
        self._size = os.fstat(self._fd).st_size
        if self._size and not self._ends_with_newline():
            # A writer killed mid-line left a torn line: end it, so that the
            # first line written now stays whole.
            self._write_all(b"\n")

    def _ends_with_newline(self) -> bool:
        with open(self._path, "rb") as file:
            file.seek(-1, os.SEEK_END)
            return file.read(1) == b"\n"

    def _write_all(self, data: bytes) -> None:
        view = memoryview(data)
        while view:
            written = os.write(self._fd, view)
            view = view[written:]
        self._size += len(data)

    def _rotate(self) -> None:
        os.close(self._fd)
        self._fd = -1
        if self._backups == 0:
            os.unlink(self._path)
        else:
            for number in range(self._backups - 1, 0, -1):
                older = f"{self._path}.{number}"
                if os.path.exists(older):
                    os.replace(older, f"{self._path}.{number + 1}")
            os.replace(self._path, f"{self._path}.1")
        self._open()
        if self._config or self._context:
            self._write_all(
                encode_line({"config": self._config, "context": self._context})
            )

    def write(self, record: Mapping[str, Any]) -> None:
        """Append `record` as one line (rotating first when it would not
        fit); the line reaches the operating system before this returns."""
        line = encode_line(record)
        with self._lock:
            self._append(line)

    def _append(self, line: bytes) -> None:
        """Append one encoded line (called under the lock)."""
        if self._fd < 0:
            raise ValueError("the decision log is closed")
        limit = self._max_bytes
        if limit is not None and self._size and self._size + len(line) > limit:
            self._rotate()
        self._write_all(line)

    def logged_fields(self, fields: Mapping[str, Any] | None) -> dict[str, Any]:
        """`fields` as a decision line holds them: as the engine sees them,
        with the mask applied. Taken before the event is evaluated: a
        field's `__str__` may run code that asks a guard again, and those
        events must come first in the log as they do in the engine."""
        return mask_fields(as_engine_sees(dict(fields or {})), self._mask)

    def write_decision(
        self,
        event_type: str,
        logged_fields: dict[str, Any],
        timestamp_ms: int,
        decision_id: str,
        result: EvaluationResult,
        policy: PolicyIdentity,
        surface: str,
        shadow: dict[str, Any] | None = None,
    ) -> None:
        """Append one decision line; `logged_fields` from `logged_fields`."""
        self.write(
            decision_record(
                event_type,
                logged_fields,
                timestamp_ms,
                decision_id,
                result,
                policy,
                surface,
                shadow,
            )
        )

    def write_setting(self, kind: str, key: str, value: Any) -> None:
        """Append a setting line for one value set by `set_config` (kind
        "config") or `set_context` (kind "context")."""
        plain = as_engine_sees(value)
        line = encode_line({kind: {key: plain}})
        with self._lock:
            # Remembered first, so that a rotation before this line writes
            # it into the new file's settings too.
            (self._config if kind == "config" else self._context)[key] = plain
            self._append(line)

    def close(self) -> None:
        """Close the file; later writes raise ValueError."""
        with self._lock:
            if self._fd >= 0:
                os.close(self._fd)
                self._fd = -1

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<DecisionLog {self._path!r} {state}>"
