"""The package and the module used as a typed host program would use them.

`mypy --strict` checks this file in CI, so a stub or package change that
breaks ordinary typed code fails there; `tests/test_typing.py` also runs it,
so that what type-checks here is also what the engine does. Not a test
module itself (pytest collects only test_*.py).

    mypy --strict tests/typed_usage.py
"""

import copy
import pathlib
import pickle
import tempfile

from _corvanth_core import PolicyEngine

import corvanth_core
from corvanth_core import (
    Action,
    ConstraintViolation,
    Diagnostic,
    EvaluationResult,
    ExplainResult,
    Violation,
)

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
POLICY = EXAMPLES / "coding_agent_guard.json"


def configured(engine: PolicyEngine) -> PolicyEngine:
    """`engine` with the configuration and context the example policy reads."""
    engine.set_config("allowed_hosts", ["pypi.org", "github.com"])
    engine.set_config("secret_suffixes", [".env", ".pem", "id_rsa"])
    engine.set_context("session_id", "typed-usage")
    return engine


def engines() -> list[PolicyEngine]:
    """The example policy loaded every way the package and module offer."""
    text: str = POLICY.read_text(encoding="utf-8")
    container: bytes = corvanth_core.pack(text)
    assert corvanth_core.unpack(container) == text
    assert corvanth_core.unpack(memoryview(container)) == text
    loaded = [
        corvanth_core.load(POLICY),
        corvanth_core.load(str(POLICY)),
        corvanth_core.loads(text),
        corvanth_core.loads(text.encode("utf-8")),
        corvanth_core.loads(bytearray(container)),
        PolicyEngine.from_json(text),
        PolicyEngine.from_bytes(container),
    ]
    with tempfile.TemporaryDirectory() as scratch:
        path = pathlib.Path(scratch, "guard.halvoc")
        path.write_bytes(container)
        loaded.append(PolicyEngine.from_file(str(path)))
        loaded.append(PolicyEngine.from_file(path))
        loaded.append(corvanth_core.load(path))
    return [configured(engine) for engine in loaded]


def describe(result: EvaluationResult) -> str:
    """One line for a result, reading every nested shape by its keys."""
    parts: list[str] = [result["verdict"]]
    if result["reason"] is not None:
        parts.append(result["reason"])
    rules: list[int] = result["triggered_rules"]
    parts.extend(f"rule {rule_id}" for rule_id in rules)
    action: Action
    for action in result["actions"]:
        parts.append(f"{action['verb']} {sorted(action['args'])}")
    violation: Violation
    for violation in result["violations"]:
        parts.append(
            f"{violation['kind']} {violation['proof']}: {violation['invariant']}"
        )
    limit: ConstraintViolation
    for limit in result["constraint_violations"]:
        parts.append(
            f"{limit['kind']} {limit['target']} {limit['current']}/{limit['limit']}"
            f" in {limit['window_ms']} ms"
        )
    elapsed: int = result["eval_time_us"]
    assert elapsed >= 0
    return "; ".join(parts)


def guard(engine: PolicyEngine, event_type: str, fields: dict[str, object]) -> bool:
    """Whether the host may carry out the action: anything but a denial."""
    result = engine.evaluate(event_type, fields)
    return result["verdict"] != "deny"


def replay(engine: PolicyEngine) -> list[str]:
    """A short session at explicit times, one second apart."""
    engine.reset_at(0)
    session: list[tuple[str, dict[str, object]]] = [
        ("file_access", {"path": "/work/app/.env", "mode": "read"}),
        ("web_request", {"host": "pypi.org", "method": "GET"}),
        ("tool_call", {"tool": "shell", "command": "rm -rf /"}),
    ]
    return [
        describe(engine.evaluate_at(1000 * n, event_type, fields))
        for n, (event_type, fields) in enumerate(session, start=1)
    ]


def why(engine: PolicyEngine) -> list[str]:
    """The rules and machines of the explanation of one web request."""
    explained: ExplainResult = engine.explain("web_request", {"host": "x.test"}, 5000)
    result: EvaluationResult = explained
    trace = explained["trace"]
    lines = [describe(result)]
    lines.extend(
        f"rule {rule['id']}: matched {rule['matched']}" for rule in trace["rules"]
    )
    lines.extend(f"machine {m['proof']}: state {m['state']}" for m in trace["machines"])
    return lines


def findings(engine: PolicyEngine) -> list[str]:
    """The policy's diagnostics, one line each."""
    diagnostics: list[Diagnostic] = engine.diagnostics()
    return [
        f"{d['severity']} {d['code']} at {d['path']}: {d['message']}"
        for d in diagnostics
    ]


def persisted(engine: PolicyEngine) -> PolicyEngine:
    """A new engine of the same policy with `engine`'s state: a snapshot
    restored, then checked against a copy and a pickle."""
    saved: bytes = engine.snapshot()
    restored = corvanth_core.loads(engine.to_bytes())
    restored.restore(saved)
    key = b"host secret"
    restored.restore(engine.snapshot(key=key), key=bytearray(key), max_bytes=None)
    twin: PolicyEngine = copy.deepcopy(engine)
    unpickled: PolicyEngine = pickle.loads(pickle.dumps(engine))
    assert twin.snapshot() == unpickled.snapshot() == restored.snapshot() == saved
    assert restored.event_count == engine.event_count
    return restored


def main() -> list[str]:
    """Every engine of `engines()` answers the same; returns what one said."""
    said: list[list[str]] = []
    for engine in engines():
        lines = [repr(engine), engine.policy_name, *replay(engine), *why(engine)]
        lines += findings(engine)
        lines.append(engine.status())
        restored = persisted(engine)
        lines.append(str(guard(restored, "tool_call", {"tool": "editor"})))
        restored.reset()
        lines.append(f"{restored.event_count} events after reset")
        assert PolicyEngine.from_json(engine.to_json()).to_json() == engine.to_json()
        said.append(lines)
    assert all(lines == said[0] for lines in said)
    return said[0]


if __name__ == "__main__":
    print("\n".join(main()))
