"""Reading a recorded session: a JSON Lines file, one object per line.

An event line is `{"type": str, "fields": {...}, "timestamp_ms": int}`
(`fields` and `timestamp_ms` optional, and the entries a decision log
writes beside them); a setting line `{"config": {...}}`
and/or `{"context": {...}}` sets engine values from that point on, as the
host did when the session was recorded. Blank lines are skipped. Every other
line is a `BadLine`, with its number and what is wrong with it.

    for item in read_trace(open("session.jsonl", "rb")):
        ...  # an Event, a Setting or a BadLine, in file order

The trace of an explained event is written for people by `explain_lines`,
which shows each rule's condition and each guard as the policy's source
writes them, beside the value it gave:

    shown = normalize_policy(json.loads(engine.to_json()))
    lines = explain_lines(engine.explain("t", {})["trace"], shown)
"""

import json
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import Any

from _corvanth_core import PolicyEngine

from corvanth_core._inspect import state_text
from corvanth_core._replay import action_text, value_text
from corvanth_core.results import Trace
from corvanth_core.source.expr_printer import guard_text, print_expr

MAX_TIMESTAMP = 2**64 - 1
EVENT_KEYS = ("type", "fields", "timestamp_ms")
# What a decision log adds to an event line: read past by a replay.
DECISION_KEYS = ("decision_id", "decision", "policy", "surface", "shadow")
SETTING_KEYS = ("config", "context")


@dataclass(frozen=True)
class Event:
    """One event of the session, at line `line`; from a decision log, the
    decision recorded with it and what decided it."""

    line: int
    type: str
    fields: dict[str, Any]
    timestamp_ms: int | None
    decision: dict[str, Any] | None = None
    decision_id: str | None = None
    policy: dict[str, Any] | None = None


@dataclass(frozen=True)
class Setting:
    """Configuration and context values set at line `line`."""

    line: int
    config: dict[str, Any]
    context: dict[str, Any]

    def apply(self, engine: PolicyEngine) -> None:
        """Set the line's configuration values, then its context values."""
        for key, value in self.config.items():
            engine.set_config(key, value)
        for key, value in self.context.items():
            engine.set_context(key, value)


@dataclass(frozen=True)
class BadLine:
    """A line that is neither an event nor a setting, and why."""

    line: int
    error: str

    def __str__(self) -> str:
        return f"line {self.line}: {self.error}"


Item = Event | Setting | BadLine


def json_type(value: object) -> str:
    """The JSON name of a decoded value's type, for messages."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


def parse_line(number: int, raw: bytes) -> Item | None:
    """The item on line `number` (None for a blank line)."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        return BadLine(number, f"not UTF-8 text ({error.reason} at byte {error.start})")
    text = text.rstrip("\r\n")
    if number == 1:
        text = text.removeprefix("\ufeff")
    if not text.strip():
        return None
    try:
        value = json.loads(text)
    except json.JSONDecodeError as error:
        return BadLine(number, f"invalid JSON: {error.msg} at column {error.colno}")
    except RecursionError:
        return BadLine(number, "invalid JSON: nested too deeply")
    if not isinstance(value, dict):
        return BadLine(number, f"expected a JSON object, got {json_type(value)}")
    return parse_object(number, value)


def parse_object(number: int, value: dict[str, Any]) -> Item:
    """The item of a decoded line object."""
    is_setting = any(key in value for key in SETTING_KEYS)
    named = SETTING_KEYS if is_setting else EVENT_KEYS
    allowed = named if is_setting else named + DECISION_KEYS
    unknown = [key for key in value if key not in allowed]
    if unknown:
        expected = ", ".join(f"`{key}`" for key in named)
        return BadLine(number, f"unknown key `{unknown[0]}` (expected {expected})")
    if is_setting:
        maps: list[dict[str, Any]] = []
        for key in SETTING_KEYS:
            entries = value.get(key, {})
            if not isinstance(entries, dict):
                return BadLine(
                    number, f"`{key}` must be an object, got {json_type(entries)}"
                )
            maps.append(entries)
        return Setting(number, maps[0], maps[1])
    event_type = value.get("type")
    if not isinstance(event_type, str):
        if "type" not in value:
            return BadLine(number, "missing key `type`")
        return BadLine(number, f"`type` must be a string, got {json_type(event_type)}")
    fields = value.get("fields", {})
    if not isinstance(fields, dict):
        return BadLine(number, f"`fields` must be an object, got {json_type(fields)}")
    timestamp = value.get("timestamp_ms")
    if timestamp is not None and (
        isinstance(timestamp, bool)
        or not isinstance(timestamp, int)
        or not 0 <= timestamp <= MAX_TIMESTAMP
    ):
        return BadLine(
            number,
            f"`timestamp_ms` must be an integer from 0 to {MAX_TIMESTAMP}, "
            f"got {json.dumps(timestamp)}",
        )
    logged = []
    for key in ("decision", "policy"):
        entry = value.get(key)
        if entry is not None and not isinstance(entry, dict):
            return BadLine(number, f"`{key}` must be an object, got {json_type(entry)}")
        logged.append(entry)
    decision_id = value.get("decision_id")
    if decision_id is not None and not isinstance(decision_id, str):
        return BadLine(
            number, f"`decision_id` must be a string, got {json_type(decision_id)}"
        )
    return Event(
        number, event_type, fields, timestamp, logged[0], decision_id, logged[1]
    )


def read_trace(lines: Iterable[bytes]) -> Iterator[Item]:
    """The items of a trace's lines (bytes, as a binary file yields them)."""
    for number, raw in enumerate(lines, start=1):
        item = parse_line(number, raw)
        if item is not None:
            yield item


def explain_lines(trace: Trace, policy: dict[str, Any]) -> list[str]:
    """An explanation's trace as indented text lines; `policy` is the
    explained policy in normalized form (`normalize_policy`), whose rules
    and transitions the trace counts by position."""
    lines = [_limit_line(trace)]
    rules = policy["rules"]
    for rule in trace["rules"]:
        if not rule["applies"]:
            lines.append(f"rule {rule['id']}: filtered out by event type")
            continue
        matched = "matched" if rule["matched"] else "not matched"
        condition = "no condition"
        if rule["has_condition"]:
            source = print_expr(rules[rule["index"]]["condition"])
            condition = f"when {source} gave {value_text(rule['condition'])}"
        lines.append(f"rule {rule['id']}: {condition}, {matched}")
        for v in rule["verdicts"]:
            taken = "taken" if v["taken"] else "dropped"
            lines.append(
                f"  verdict {v['verdict']} {value_text(v['message'])} over "
                f"{v['before']}: {taken}"
            )
        for action in rule["actions"]:
            lines.append(f"  action {action_text(action)}")
    for m, machine in zip(trace["machines"], policy["state_machines"], strict=True):
        states = machine["states"]
        active = "active" if m["active"] else "not active"
        deadline = ", deadline reached" if m["deadline_reached"] else ""
        lines.append(
            f"machine {m['proof']}: state {state_text(states, m['state'])}, "
            f"{active}{deadline}"
        )
        for g in m["guards"]:
            allows = "allows" if g["allows"] else "does not allow"
            guard = guard_text(machine["transitions"][g["transition"]]["guard"])
            lines.append(
                f"  transition {g['transition']} to {state_text(states, g['to'])} "
                f"{guard} gave {value_text(g['value'])}, {allows}"
            )
        taken = "none" if m["taken"] is None else str(m["taken"])
        lines.append(
            f"  transition taken: {taken}; state after: "
            f"{state_text(states, m['state_after'])}"
        )
    return ["        " + line for line in lines]


def _limit_line(trace: Trace) -> str:
    limit = trace["rate_limit"]
    if limit is None:
        return "rate limit: none for this event type"
    exceeded = "exceeded" if limit["exceeded"] else "not exceeded"
    return (
        f"rate limit: {limit['kind']} {limit['target']} {limit['count']} of "
        f"{limit['limit']} in {limit['window_ms']} ms, {exceeded}"
    )
