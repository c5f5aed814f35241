"""The printer: any policy the engine loads, as source in the one
canonical format, such that compiling the text gives the policy again.

    text = decompile(engine)            # or IR JSON text, or container bytes
    assert compile(text) == engine.to_json()

What the compiler would fill in by itself (rule and invariant ids in
sequence, the default state kinds, the transitions `repeats: deny` adds) is
left out; everything else is written, metadata included.
"""

import json
import re
from typing import Any, Final, Protocol

from corvanth_core.container import HEADER, MAGIC_BYTES
from corvanth_core.source.expr_printer import ExprPrinter, template_pieces
from corvanth_core.source.ir_build import IR
from corvanth_core.source.ir_shapes import ShapeError, normalize_policy
from corvanth_core.source.machines import default_kind, split_repeats
from corvanth_core.source.names import DURATION_UNITS, UNIT_SUFFIXES
from corvanth_core.source.yaml_text import plain_ok, quoted, scalar

_INT_OR_FLOAT: Final = re.compile(r"-?[0-9]+(\.[0-9]+)?([eE][+-]?[0-9]+)?\Z")
_STATE_NUMBER: Final = re.compile(r"#[0-9]+\Z")
_LONGEST_KEY: Final = 500  # YAML keys must stay short; longer ones take other forms


class HasToJson(Protocol):
    def to_json(self) -> str: ...


PolicyInput = str | bytes | bytearray | memoryview | HasToJson


def decompile(policy: PolicyInput) -> str:
    """The source text of a policy given as IR JSON text, container bytes
    or anything with `to_json()` (a `PolicyEngine`)."""
    return print_policy(normalize_policy(_load_json(_policy_text(policy))))


def _policy_text(policy: PolicyInput) -> str:
    if isinstance(policy, str):
        return policy
    if isinstance(policy, (bytes, bytearray, memoryview)):
        raw = bytes(policy)
        if raw[:1] == MAGIC_BYTES[:1]:
            if len(raw) < HEADER.size or raw[:4] != MAGIC_BYTES:
                raise ValueError("not a policy container: bad header")
            length = HEADER.unpack_from(raw)[3]
            raw = raw[HEADER.size : HEADER.size + length]
        return raw.decode("utf-8")
    to_json = getattr(policy, "to_json", None)
    if to_json is None:
        raise TypeError(
            "decompile() takes IR JSON text, container bytes or an engine, "
            f"not {type(policy).__name__}"
        )
    text = to_json()
    if not isinstance(text, str):
        raise TypeError("to_json() must return str")
    return text


def _no_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    found: dict[str, Any] = {}
    for key, value in pairs:
        if key in found:
            raise ShapeError(f"duplicate field `{key}`", key)
        found[key] = value
    return found


def _load_json(text: str) -> Any:
    def refuse(name: str) -> Any:
        raise ShapeError(f"{name} is not a JSON number", "")

    return json.loads(text, object_pairs_hook=_no_duplicates, parse_constant=refuse)


def duration_text(millis: int) -> str:
    """The largest unit that writes `millis` exactly: 90000 -> 90s."""
    if millis == 0:
        return "0s"
    for suffix in ("d", "h", "m", "s"):
        factor = DURATION_UNITS[suffix][1]
        if millis % factor == 0:
            return f"{millis // factor}{suffix}"
    return f"{millis}ms"


def _looks_typed(text: str) -> bool:
    """Whether a plain scalar would compile to a number or a boolean."""
    return bool(_INT_OR_FLOAT.match(text)) or text in ("true", "false")


class _Writer:
    def __init__(self) -> None:
        self.lines: list[str] = []
        self.exprs = ExprPrinter()

    def line(self, indent: int, text: str) -> None:
        self.lines.append(" " * indent + text)

    def key(self, text: str) -> str:
        return scalar(text)

    def flow_list(self, items: list[str]) -> str:
        return "[" + ", ".join(scalar(i, flow=True) for i in items) + "]"

    # --- scalars of the language ----------------------------------------------

    def expression(self, expr: IR) -> str:
        return scalar(self.exprs.expr(expr), typed=False)

    def tagged(self, expr: IR) -> str:
        return "!expr " + self.expression(expr)

    def template_text(self, expr: IR) -> str | None:
        pieces = template_pieces(expr)
        if pieces is None:
            return None
        return self.exprs.template(pieces, None)

    def message(self, expr: IR) -> str:
        text = self.template_text(expr)
        return self.tagged(expr) if text is None else scalar(text)

    def argument(self, expr: IR) -> str:
        literal = expr.get("Literal") if isinstance(expr, dict) else None
        if literal is not None:
            ((kind, value),) = literal.items()
            if kind == "Int":
                return str(value)
            if kind == "Float":
                return repr(value)
            if kind == "Bool":
                return "true" if value else "false"
        text = self.template_text(expr)
        if text is None:
            return self.tagged(expr)
        return quoted(text) if _looks_typed(text) else scalar(text)

    # --- the policy -----------------------------------------------------------

    def policy(self, p: IR) -> None:
        self.line(0, "name: " + scalar(p["name"]))
        self.line(0, "severity: " + p["severity"].lower())
        if p["scopes"]:
            self.line(0, "scopes: " + self.flow_list(p["scopes"]))
        self.annotations(p["metadata"]["annotations"])
        self.line(0, "metadata:")
        self.line(2, f"source_hash: {p['metadata']['source_hash']}")
        self.line(2, "compiler_version: " + scalar(p["metadata"]["compiler_version"]))
        if p["rules"]:
            self.line(0, "rules:")
            previous = 0
            for rule in p["rules"]:
                self.rule(rule, previous + 1)
                previous = rule["id"]
        if p["constraints"]:
            self.line(0, "limits:")
            for limit in p["constraints"]:
                self.limit(limit)
        if p["state_machines"]:
            self.line(0, "invariants:")
            previous = 0
            for machine in p["state_machines"]:
                self.machine(machine, previous + 1)
                previous = machine["id"]

    def annotations(self, pairs: list[list[str]]) -> None:
        if not pairs:
            return
        self.line(0, "annotations:")
        keys = [k for k, _ in pairs]
        if len(set(keys)) == len(keys) and all(len(k) < _LONGEST_KEY for k in keys):
            for key, value in pairs:
                self.line(2, f"{self.key(key)}: {scalar(value)}")
            return
        for key, value in pairs:
            self.line(2, f"- [{scalar(key, flow=True)}, {scalar(value, flow=True)}]")

    def rule(self, rule: IR, default_id: int) -> None:
        head = "  - "
        if rule["id"] != default_id:
            self.line(2, f"- id: {rule['id']}")
            head = "    "
        events = rule["on_events"]
        on = scalar(events[0]) if len(events) == 1 else self.flow_list(events)
        self.lines.append(f"{head}on: {on}")
        if rule["condition"] is not None:
            self.line(4, "when: " + self.expression(rule["condition"]))
        self.verdicts(rule["verdicts"])
        if rule["actions"]:
            self.line(4, "actions:")
            for action in rule["actions"]:
                self.action(action)
        if rule["severity"] is not None:
            self.line(4, "severity: " + rule["severity"].lower())

    def verdicts(self, verdicts: list[IR]) -> None:
        if len(verdicts) == 1 and verdicts[0]["message"] is not None:
            v = verdicts[0]
            self.line(4, f"{v['verdict'].lower()}: {self.message(v['message'])}")
            return
        if not verdicts:
            return
        self.line(4, "verdicts:")
        for v in verdicts:
            word = v["verdict"].lower()
            if v["message"] is None:
                self.line(6, f"- {word}")
            else:
                self.line(6, f"- {word}: {self.message(v['message'])}")

    def action(self, action: IR) -> None:
        verb = action["verb"].lower()
        args = action["args"]
        if not args:
            self.line(6, f"- {verb}")
            return
        self.line(6, f"- {verb}:")
        names = [n for n, _ in args]
        if len(set(names)) == len(names) and all(len(n) < _LONGEST_KEY for n in names):
            for name, expr in args:
                self.line(10, f"{self.key(name)}: {self.argument(expr)}")
            return
        for name, expr in args:
            self.line(10, f"- - {scalar(name)}")
            self.line(10, f"  - {self.argument(expr)}")

    def limit(self, limit: IR) -> None:
        word = "rate" if limit["kind"] == "RateLimit" else "quota"
        self.line(2, f"- {word}: {scalar(limit['target'])}")
        self.line(4, f"max: {limit['limit']}")
        self.line(4, f"per: {duration_text(limit['window_millis'])}")

    # --- invariants -----------------------------------------------------------

    def machine(self, m: IR, default_id: int) -> None:
        self.line(2, "- name: " + scalar(m["name"]))
        if m["invariant_name"] != m["name"]:
            self.line(4, "invariant: " + scalar(m["invariant_name"]))
        if m["id"] != default_id:
            self.line(4, f"id: {m['id']}")
        self.line(4, "kind: " + m["kind"].lower())
        kinds = [s["kind"] for s in m["states"]]
        violating = m["violating_states"]
        transitions = m["transitions"]
        # `deny` only where it adds transitions: a machine that adds none
        # lets a repeated breach through, and says so.
        written = split_repeats(transitions, kinds, violating)
        repeats = "allow"
        if written is not None and written < len(transitions):
            repeats = "deny"
            transitions = transitions[:written]
        self.line(4, "repeats: " + repeats)
        names = _StateRefs(m["states"])
        if m["states"]:
            self.line(4, "states:")
            for index, s in enumerate(m["states"]):
                self.state(index, s, default_kind(index, violating, repeats))
        else:
            self.line(4, "states: []")
        if m["initial_state"] != 0:
            self.line(4, "initial: " + scalar(names.ref(m["initial_state"])))
        for key in ("accepting", "violating"):
            listed = m[f"{key}_states"]
            if listed:
                self.line(
                    4, f"{key}: " + self.flow_list([names.ref(i) for i in listed])
                )
        if m["deadline_millis"] is not None:
            self.line(4, "deadline: " + duration_text(m["deadline_millis"]))
        if transitions:
            self.line(4, "transitions:")
            for t in transitions:
                self.transition(t, names)

    def state(self, index: int, s: IR, default: str) -> None:
        label = s["label"]
        if s["id"] == index and len(label) < _LONGEST_KEY:
            if s["kind"] == default:
                self.line(6, "- " + scalar(label))
            else:
                self.line(6, f"- {self.key(label)}: {s['kind'].lower()}")
            return
        self.line(6, "- label: " + scalar(label))
        self.line(8, "kind: " + s["kind"].lower())
        self.line(8, f"id: {s['id']}")

    def transition(self, t: IR, names: "_StateRefs") -> None:
        arrow = f"{names.ref(t['from'])} -> {names.ref(t['to'])}"
        if len(arrow) >= _LONGEST_KEY:
            arrow = f"#{t['from']} -> #{t['to']}"
        key = scalar(arrow, typed=False)
        guard = t["guard"]
        if guard == "Always":
            self.line(6, "- " + key)
        elif guard == "Timeout":
            self.line(6, f"- {key}:")
            self.line(10, "after: deadline")
        elif "Predicate" in guard:
            self.line(6, f"- {key}: {self.expression(guard['Predicate'])}")
        else:
            self.line(6, f"- {key}:")
            self.line(10, "unless: " + self.expression(guard["NegatedPredicate"]))


class _StateRefs:
    """How the printer names states: by label where the label names one
    state and reads back as itself, by `#N` otherwise."""

    def __init__(self, states: list[IR]) -> None:
        labels = [s["label"] for s in states]
        self.labels = labels
        self.unique = (
            {l for l in labels if labels.count(l) == 1}
            if len(labels) < 64
            else _unique(labels)
        )

    def ref(self, index: int) -> str:
        if 0 <= index < len(self.labels):
            label = str(self.labels[index])
            if (
                label in self.unique
                and label == label.strip()
                and label
                and "->" not in label
                and not _STATE_NUMBER.match(label)
                and len(label) < 100
            ):
                return label
        return f"#{index}"


def _unique(labels: list[str]) -> set[str]:
    counts: dict[str, int] = {}
    for label in labels:
        counts[label] = counts.get(label, 0) + 1
    return {label for label, n in counts.items() if n == 1}


def print_policy(policy: IR) -> str:
    writer = _Writer()
    writer.policy(policy)
    return "\n".join(writer.lines) + "\n"


__all__ = ["UNIT_SUFFIXES", "decompile", "duration_text", "plain_ok", "print_policy"]
