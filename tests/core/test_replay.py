"""Native replay: `PolicyEngine.replay` against the loop of `evaluate_at`
over the package's trace reader, line texts of bad lines included, and the
engine lock it holds without the interpreter lock."""

import functools
import io
import json
import threading
from collections import Counter
from pathlib import Path
from typing import Any

import pytest
from _corvanth_core import PolicyEngine
from helpers import outcome
from hypothesis import given, settings
from hypothesis import strategies as st
from trace_line_cases import ODD_LINES

from corvanth_core._trace import BadLine, Setting, read_trace
from corvanth_core.cli._common import ENGINE_ERRORS, now_ms
from corvanth_core.loading import read_policy

EXAMPLES = Path(__file__).parents[2] / "examples"
SESSIONS = sorted(
    p.name.removesuffix("_session.jsonl") for p in EXAMPLES.glob("*_session.jsonl")
)
VERDICTS = ("allow", "deny", "audit", "redact")


@functools.cache
def example_policy(name: str) -> str:
    path = EXAMPLES / f"{name}_guard.yaml"
    return read_policy(path.read_bytes(), str(path), check=False).to_json()


def example_engine(name: str) -> PolicyEngine:
    return PolicyEngine.from_json(example_policy(name))


def python_replay(engine: PolicyEngine, trace: bytes) -> dict[str, Any]:
    """The summary (with results) of the Python loop: the trace reader,
    settings through set_config/set_context, evaluate_at per event."""
    results: list[Any] = []
    bad: list[dict[str, Any]] = []
    started = False
    for item in read_trace(io.BytesIO(trace)):
        if isinstance(item, BadLine):
            bad.append({"line": item.line, "error": item.error})
            continue
        if isinstance(item, Setting):
            try:
                item.apply(engine)
            except ENGINE_ERRORS as error:
                bad.append(
                    {"line": item.line, "error": f"value cannot be set: {error}"}
                )
            continue
        if item.timestamp_ms is None:
            stamp = now_ms()
        else:
            stamp = item.timestamp_ms
            if not started:
                engine.reset_at(stamp)
        started = True
        try:
            results.append(engine.evaluate_at(stamp, item.type, item.fields))
        except ENGINE_ERRORS as error:
            bad.append(
                {"line": item.line, "error": f"fields cannot be evaluated: {error}"}
            )
    rules: Counter[int] = Counter()
    invariants: dict[str, int] = {}
    limits: dict[str, int] = {}
    for r in results:
        rules.update(set(r["triggered_rules"]))
        for name in dict.fromkeys(v["invariant"] for v in r["violations"]):
            invariants[name] = invariants.get(name, 0) + 1
        for target in dict.fromkeys(c["target"] for c in r["constraint_violations"]):
            limits[target] = limits.get(target, 0) + 1
    return {
        "events": len(results),
        "verdicts": {v: sum(r["verdict"] == v for r in results) for v in VERDICTS},
        "rules": dict(sorted(rules.items())),
        "invariants": invariants,
        "limits": limits,
        "bad_lines": bad,
        "results": results,
    }


def comparable(summary: dict[str, Any]) -> dict[str, Any]:
    """A summary with its results' evaluation times left out."""
    plain = dict(summary)
    plain["results"] = [outcome(r) for r in summary["results"]]
    return plain


def assert_same_replay(name: str, trace: bytes) -> None:
    native, reference = example_engine(name), example_engine(name)
    got = native.replay(trace, results=True)
    assert list(got) == [
        "events",
        "verdicts",
        "rules",
        "invariants",
        "limits",
        "bad_lines",
        "results",
    ]
    assert comparable(got) == comparable(python_replay(reference, trace))
    assert native.snapshot() == reference.snapshot()


@pytest.mark.parametrize("name", SESSIONS)
def test_example_sessions_replay_as_the_python_loop(name: str) -> None:
    trace = (EXAMPLES / f"{name}_session.jsonl").read_bytes()
    assert_same_replay(name, trace)
    engine = example_engine(name)
    summary = engine.replay(trace)
    assert "results" not in summary
    assert engine.replay_file(EXAMPLES / f"{name}_session.jsonl") == summary


@pytest.mark.parametrize("line", ODD_LINES, ids=range(len(ODD_LINES)))
def test_odd_lines_replay_as_the_python_loop(line: bytes) -> None:
    trace = b'{"type": "tool_call", "timestamp_ms": 1000}\n' + line + b"\n"
    assert_same_replay("coding_agent", trace)


def json_values() -> st.SearchStrategy[Any]:
    scalars = (
        st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=6)
    )
    return st.recursive(
        scalars,
        lambda inner: (
            st.lists(inner, max_size=3)
            | st.dictionaries(st.text(max_size=4), inner, max_size=3)
        ),
        max_leaves=6,
    )


FIELD_NAMES = ["tool", "command", "host", "path", "mode", "method", "url", "x"]
EVENT_TYPES = ["tool_call", "file_access", "web_request", "data_access", "other"]


@st.composite
def trace_lines(draw: st.DrawFn) -> bytes:
    kind = draw(
        st.sampled_from(["event", "event", "event", "setting", "odd", "garbled"])
    )
    if kind == "odd":
        return draw(st.sampled_from(ODD_LINES))
    if kind == "garbled":
        return draw(st.binary(max_size=12))
    if kind == "setting":
        which = draw(st.sampled_from(["config", "context"]))
        entries = draw(
            st.dictionaries(st.sampled_from(FIELD_NAMES), json_values(), max_size=2)
        )
        return json.dumps({which: entries}).encode()
    event: dict[str, Any] = {
        "type": draw(st.sampled_from(EVENT_TYPES)),
        "timestamp_ms": draw(st.integers(0, 10_000)),
    }
    fields = draw(
        st.dictionaries(
            st.sampled_from(FIELD_NAMES),
            st.sampled_from(
                ["shell", "git status", "pypi.org", "/etc/passwd", ".env", "GET"]
            )
            | json_values(),
            max_size=4,
        )
    )
    if fields or draw(st.booleans()):
        event["fields"] = fields
    return json.dumps(event, ensure_ascii=draw(st.booleans())).encode()


@settings(max_examples=60, deadline=None)
@given(
    name=st.sampled_from(SESSIONS),
    lines=st.lists(trace_lines(), min_size=1, max_size=25),
)
def test_random_sessions_replay_as_the_python_loop(
    name: str, lines: list[bytes]
) -> None:
    first = b'{"type": "tool_call", "timestamp_ms": 0}\n'
    assert_same_replay(name, first + b"\n".join(lines))


def test_replay_file_refuses_a_missing_file(tmp_path: Path) -> None:
    engine = example_engine("coding_agent")
    with pytest.raises(FileNotFoundError) as caught:
        engine.replay_file(tmp_path / "none.jsonl")
    assert caught.value.filename == tmp_path / "none.jsonl"
    assert engine.event_count == 0


def test_a_line_spanning_blocks_reads_whole(tmp_path: Path) -> None:
    padding = "p" * (3 << 20)
    line = json.dumps(
        {"type": "tool_call", "fields": {"x": padding}, "timestamp_ms": 5}
    )
    path = tmp_path / "long.jsonl"
    path.write_text(line + "\n" + line)
    summary = example_engine("coding_agent").replay_file(path)
    assert (summary["events"], summary["bad_lines"]) == (2, [])


def test_calls_from_other_threads_wait_for_a_replay_without_deadlock() -> None:
    engine = example_engine("coding_agent")
    trace = (EXAMPLES / "coding_agent_session.jsonl").read_bytes() * 40
    errors: list[BaseException] = []
    done = threading.Event()

    def replays() -> None:
        try:
            for _ in range(3):
                engine.replay(trace)
        except ENGINE_ERRORS + (RuntimeError,) as error:  # checked below
            errors.append(error)
        finally:
            done.set()

    def evaluations() -> None:
        try:
            while not done.is_set():
                engine.evaluate_at(1795510800000, "tool_call", {"tool": "shell"})
                engine.set_context("k", 1)
                engine.status()
        except ENGINE_ERRORS + (RuntimeError,) as error:
            errors.append(error)

    threads = [threading.Thread(target=replays)] + [
        threading.Thread(target=evaluations) for _ in range(2)
    ]
    for thread in threads:
        thread.start()
    # The main thread keeps running Python code while the replay holds the
    # engine: the interpreter lock is free.
    ticks = 0
    while not done.is_set():
        ticks += 1
    for thread in threads:
        thread.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    assert ticks > 0
