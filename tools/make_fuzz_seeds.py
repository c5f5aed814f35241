"""Writes the seed corpora of the fuzz harnesses to fuzz/corpus/<harness>/.

    python tools/make_fuzz_seeds.py        # from the repository root

The seeds are the documents of the reader's case tables (valid and
invalid), the example policy, the same documents in .halvoc containers with
the header and payload cases of the container tables, and, for the
evaluate-path harness, policies followed by operation streams in the
harness's input layout (fuzz/fuzz_engine.cc, fuzz/value_decoder.h); for the
plan harness the same streams and the shape tables of cases/plan_cases.py;
for the restore harness, policies followed by snapshots
(fuzz/fuzz_restore.cc); and, for the trace reader's harness, pairs of
lines (fuzz/fuzz_trace_line.cc): the example sessions' lines after one
another and the odd lines of cases/trace_line_cases.py after an event. The
tables are the tests' own, read from the repository's cases/ directory. Each seed is named by the hash of its bytes;
the directories are rewritten from scratch, so the committed corpora are
exactly this script's output. Needs the built module.
"""

import hashlib
import itertools
import json
import pathlib
import shutil
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "cases"))

import container_cases
import plan_cases
import reader_cases as reader
import snapshot_cases
import trace_line_cases
from _corvanth_core import PolicyEngine
from halvoc import container

from corvanth_core import ir as b

CORPUS = ROOT / "fuzz" / "corpus"
# Larger inputs the harnesses ignore (kMaxFuzzInput in fuzz/fuzz_input.h).
MAX_FUZZ_INPUT = 64 * 1024


def engine_for(doc):
    """A fresh engine for `doc`, started at time 0 rather than now: its
    snapshots, and so the seeds, are then the same on every run."""
    engine = PolicyEngine.from_json(json.dumps(doc))
    engine.reset_at(0)
    return engine


# --- policy documents --------------------------------------------------------


def reader_documents():
    """Texts for the JSON reader: valid documents, every expression form,
    and the malformed documents of the error tables."""
    texts = [text for _, text in reader.VALID_DOCUMENTS]
    texts += [reader.dump(reader.with_condition(e)) for e in reader.VALID_EXPRESSIONS]
    texts += [text for text, _ in reader.SYNTAX_ERRORS]
    texts += [text for text, _, _ in reader.RECORD_ERRORS]
    texts += [reader.dump(doc) for doc, _ in reader.MISSING_FIELDS]
    texts += [reader.dump(doc) for _, doc in reader.UNKNOWN_KEY_DOCUMENTS]
    texts.append((ROOT / "examples" / "coding_agent_guard.json").read_text())
    return [t.encode("utf-8") for t in texts]


def container_inputs(documents):
    """Containers around the valid documents, and the header and payload
    cases of the container tables."""
    valid = [d for d in documents if is_policy(d)]
    inputs = [container(d) for d in valid]
    inputs += [data for _, data, _ in container_cases.HEADER_ERRORS]
    inputs += [data for _, data, _ in container_cases.PAYLOAD_ERRORS]
    inputs.append(container(valid[0], reserved=0xFFFF) + b"\x00trailing")
    return inputs


def is_policy(text):
    try:
        PolicyEngine.from_json(text.decode("utf-8"))
    except (ValueError, UnicodeDecodeError):
        return False
    return True


# --- operation streams of the evaluate-path harness --------------------------


class Ops:
    """Encodes operations in the input layout of fuzz/fuzz_engine.cc; the
    names table is built from the policy text exactly as the decoder does."""

    EVALUATE, RESET, STATUS, SET_CONTEXT, SET_CONFIG = range(5)

    def __init__(self, policy_text):
        self.names = names_of(policy_text)
        self.out = bytearray()

    def name(self, text):
        if text in self.names:
            self.out.append(self.names.index(text))
        else:
            raw = text.encode("utf-8")[:15]
            self.out += bytes([0xF0, len(raw)]) + raw

    def number(self, n):
        if -128 <= n < 128:
            self.out += bytes([1, n & 0xFF])
        else:
            self.out += bytes([0]) + struct.pack("<Q", n & (2**64 - 1))

    def value(self, v):
        if v is None:
            self.out.append(0)
        elif isinstance(v, bool):
            self.out += bytes([1, int(v)])
        elif isinstance(v, int):
            self.out.append(2)
            self.number(v)
        elif isinstance(v, float):
            self.out.append(3)
            self.out += struct.pack("<d", v)
        elif isinstance(v, str):
            self.out.append(4)
            self.name(v)
        elif isinstance(v, Duration):
            self.out.append(5)
            self.number(v.millis)
        elif isinstance(v, list):
            self.out += bytes([6, len(v)])
            for item in v:
                self.value(item)
        else:
            self.out += bytes([7, len(v)])
            for key, item in v.items():
                self.name(key)
                self.value(item)
        return self

    def evaluate(self, event_type, step_ms=0, **fields):
        self.out.append(self.EVALUATE)
        self.out += bytes([(step_ms >> 8) & 0x7F, step_ms & 0xFF])
        self.name(event_type)
        self.out.append(len(fields))
        for key, v in fields.items():
            self.name(key)
            self.value(v)
        return self

    def at(self, event_type, timestamp_ms):
        """An evaluate at an absolute timestamp, with no fields."""
        self.out += bytes([self.EVALUATE, 0xFF]) + struct.pack("<Q", timestamp_ms)
        self.name(event_type)
        self.out.append(0)
        return self

    def simple(self, op):
        self.out.append(op)
        return self

    def set(self, op, key, v):
        self.out.append(op)
        self.name(key)
        return self.value(v)


class Duration:
    def __init__(self, millis):
        self.millis = millis


def names_of(text):
    """The distinct quoted strings without backslashes, up to 64 bytes and
    64 names, in order (value_decoder.h, collect_names)."""
    names, pos = [], 0
    while len(names) < 64:
        start = text.find('"', pos)
        end = text.find('"', start + 1) if start >= 0 else -1
        if end < 0:
            return names
        name = text[start + 1 : end]
        if len(name.encode("utf-8")) <= 64 and "\\" not in name and name not in names:
            names.append(name)
        pos = end + 1
    return names


def engine_policies():
    shell = b.binary("Eq", b.field("tool"), b.lit_str("shell"))
    rules = [
        b.rule(1, ["tool_call"], shell, [b.verdict("Deny", b.lit_str("no shell"))]),
        b.rule(
            2,
            [],
            b.predicate("Contains", b.field("url"), b.lit_str("internal")),
            [b.verdict("Audit")],
            [b.action("Log", v=b.field("payload"), n=b.call("len", b.field("items")))],
        ),
        b.rule(
            3,
            ["data_access"],
            b.quantifier(
                "Any", b.field("items"), b.binary("Gt", b.ref(0), b.lit_int(3))
            ),
            [b.verdict("Redact")],
            [b.action("Tag", ctx=b.ref("Context"), cfg=b.ref("Policy", "level"))],
        ),
    ]
    machine = b.machine(
        name="approval",
        kind="Eventually",
        states=[b.state("waiting"), b.state("done", "Satisfied", 1)],
        transitions=[
            b.transition(
                0, 1, ("Predicate", b.binary("Eq", b.field("ok"), b.lit_bool(True)))
            ),
            b.transition(0, 0, "Timeout"),
        ],
        accepting=[1],
        deadline_millis=5000,
    )
    return [
        b.policy(rules=rules),
        b.policy(constraints=[b.constraint("tool_call", 2, 1000)], rules=rules[:1]),
        b.policy(state_machines=[machine], rules=rules[2:]),
        reader.full_policy(),
        json.loads((ROOT / "examples" / "coding_agent_guard.json").read_text()),
    ]


def engine_inputs():
    deep = None
    for level in range(40):
        deep = [deep] if level % 2 else {"k": deep}
    inputs = []
    for doc in engine_policies():
        text = json.dumps(doc)
        ops = (
            Ops(text)
            .evaluate("tool_call", 0, tool="shell", url="http://internal/x")
            .evaluate("tool_call", 400, tool="browser", items=[1, 5, 2.5])
            .evaluate(
                "data_access", 30000, items=[7, "a"], payload={"a": [None]}, ok=True
            )
            .set(Ops.SET_CONTEXT, "user", {"name": "ada", "roles": ["admin"]})
            .set(Ops.SET_CONFIG, "level", Duration(1500))
            .evaluate("tool_call", 1, tool="shell", payload=deep)
            .simple(Ops.STATUS)
            .simple(Ops.RESET)
            .at("tool_call", 2**64 - 1)
            .at("tool_call", 0)
            .evaluate("x", 0, tool=float("nan"), items=-(2**63))
            .simple(Ops.STATUS)
        )
        inputs.append(text.encode("utf-8"))
        inputs.append(text.encode("utf-8") + b"\x00" + bytes(ops.out))
    return inputs


def plan_inputs():
    """For the plan harness: the operation streams of the evaluate-path
    harness, and one policy per table of the plan's shape tests, each shape
    a condition, a message and an argument, evaluated with each case's
    fields."""
    tables = [
        [(b.binary(op, b.field("f"), c), f) for op, f, c, _ in plan_cases.FIELD_TESTS],
        [(b.predicate(k, b.field("f"), a), f) for k, f, a, _ in plan_cases.PREDICATES],
        [
            (b.predicate("Matches", b.field("f"), b.lit_str(p)), {"f": "report.pdf"})
            for p, _ in plan_cases.PATTERNS
        ],
        [
            (b.binary("In", b.field("f"), i), {"f": n})
            for i, n, _ in plan_cases.IN_CASES
        ],
        [(b.call("len", b.field("f")), f) for f, _ in plan_cases.LENGTHS]
        + [(e, f) for e, f, _ in plan_cases.JOINS],
        [(e, f) for e, f, _ in plan_cases.METHOD_CASES]
        + [(e, f) for e, f, _ in plan_cases.WHOLE_EVENT_ENTRIES],
        [(e, f) for e, f, _ in plan_cases.SPLIT_QUANTIFIERS],
    ]
    inputs = engine_inputs()
    for table in tables:
        rules = [
            b.rule(
                i,
                ["t"] if i % 2 else [],
                expr,
                [b.verdict("Audit", expr), b.verdict("Deny", expr)],
                [b.action("Log", v=expr)],
            )
            for i, (expr, _) in enumerate(table)
        ]
        text = json.dumps(b.policy(rules=rules))
        ops = Ops(text).set(Ops.SET_CONTEXT, "f", 1).set(Ops.SET_CONFIG, "f", "a")
        for _, fields in table:
            ops.evaluate("t", 10, **fields)
        ops.simple(Ops.STATUS)
        inputs.append(text.encode("utf-8") + b"\x00" + bytes(ops.out))
    return inputs


# --- snapshots -----------------------------------------------------------------


def restore_inputs():
    """Policies followed by snapshots in the restore harness's layout
    (fuzz/fuzz_restore.cc): the canonical JSON, NUL, a mode byte (1: the
    harness fixes length, fingerprint and checksum first), the snapshot.
    Snapshots of fresh and busy engines, as they are, damaged and cut, and
    the crafted snapshots of the refusal table."""
    docs = [
        snapshot_cases.STATEFUL,
        b.policy(),
        b.policy(
            state_machines=[
                b.machine(
                    states=[b.state("a")],
                    transitions=[b.transition(0, 9, "Always")],
                    initial=5,
                )
            ]
        ),
        json.loads((ROOT / "examples" / "coding_agent_guard.json").read_text()),
    ]
    inputs = []
    for doc in docs:
        engine = engine_for(doc)
        text = engine.to_json().encode("utf-8")
        snapshots = [engine.snapshot()]
        engine.reset_at(1000)
        engine.set_context("user", {"name": "ana", "roles": ["dev", None, 1.5, True]})
        engine.set_config("limit", [[[]], {"": float("nan")}, -3])
        for stamp, event_type, fields in snapshot_cases.SESSION + snapshot_cases.LATER:
            engine.evaluate_at(stamp, event_type, fields)
            engine.evaluate_at(stamp, "web_request", {"url": "x"})
        snapshots.append(engine.snapshot())
        for data in snapshots:
            inputs.append(text + b"\x00\x01" + data)
            inputs.append(text + b"\x00\x00" + data)
            inputs.append(text + b"\x00\x01" + data[:-9] + b"\x07" + data[-8:])
            inputs.append(text + b"\x00\x00" + data[: len(data) // 2])
    stateful = engine_for(snapshot_cases.STATEFUL)
    fingerprint = struct.unpack_from("<Q", stateful.snapshot(), 24)[0]
    text = stateful.to_json().encode("utf-8")
    for _name, make, _reason in snapshot_cases.REFUSED:
        inputs.append(text + b"\x00\x00" + make(fingerprint))
        inputs.append(text + b"\x00\x01" + make(fingerprint))
    # Deep values, for the reader's depth budget on a small stack, and
    # snapshots the harness signs (mode 3).
    for depth in (30, 200, 1000):
        for kind in (list, dict):
            deep = engine_with_deep_context(kind, depth)
            data = deep.snapshot()
            inputs.append(text + b"\x00\x01" + data)
            inputs.append(text + b"\x00\x03" + data + bytes(32))
    inputs.append(text + b"\x00\x03" + stateful.snapshot(key=b"fuzz key"))
    return inputs


def engine_with_deep_context(kind, depth):
    engine = engine_for(snapshot_cases.STATEFUL)
    value = None
    for _ in range(depth):
        value = [value] if kind is list else {"k": value}
    engine.set_context("deep", value)
    return engine


# --- writing -----------------------------------------------------------------


def trace_line_inputs():
    """Pairs of trace lines: each example session's first lines, each after
    the one before it, and every odd line after an event line."""
    lines = []
    for session in sorted((ROOT / "examples").glob("*_session.jsonl")):
        lines += session.read_bytes().splitlines()[:8]
    pairs = [first + b"\n" + second for first, second in itertools.pairwise(lines)]
    event = b'{"type": "tool_call", "fields": {"tool": "shell"}, "timestamp_ms": 1}'
    odd = [event + b"\n" + line for line in trace_line_cases.ODD_LINES]
    return pairs + [pair for pair in odd if len(pair) <= MAX_FUZZ_INPUT]


def write(harness, inputs):
    directory = CORPUS / harness
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    for data in inputs:
        (directory / hashlib.sha1(data).hexdigest()[:16]).write_bytes(data)
    print(f"{harness}: {len(list(directory.iterdir()))} seeds")


def main():
    documents = reader_documents()
    write("fuzz_policy_reader", documents)
    write("fuzz_bytecode", container_inputs(documents))
    write("fuzz_engine", engine_inputs())
    write("fuzz_plan", plan_inputs())
    write("fuzz_restore", restore_inputs())
    write("fuzz_trace_line", trace_line_inputs())


if __name__ == "__main__":
    main()
