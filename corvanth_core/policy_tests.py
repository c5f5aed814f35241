"""Policy tests as data: `*.test.yaml` files beside a policy, each test a
sequence of events (with timestamps and settings of config and context)
and what the engine must answer after each one, so that rate windows and
invariants are tested over sequences.

    policy: guard.yaml              # default: the test file's name without .test
    tests:
      - name: a repeated exfiltration is denied
        config: {allowed_hosts: [pypi.org]}
        steps:
          - event: file_access
            fields: {path: /app/.env}
          - event: web_request
            fields: {host: evil.example}
            at: 5000                # ms after the test's start (default: 1000 after the previous)
            expect:
              verdict: deny
              violations: [no_network_after_secret_read]

An `expect` names only what it checks: `verdict`, `reason`, `rules` (the
ids that fired), `actions` (their verbs), `violations` (the invariants'
names) and `limits` (the event types over their limit). A step may instead
be `config: {...}` or `context: {...}`.

    results = run_file(pathlib.Path("guard.test.yaml"))
"""

import json
import pathlib
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, Final

import yaml
from _corvanth_core import PolicyEngine

from corvanth_core.loading import load
from corvanth_core.results import EvaluationResult

START_MS: Final = 1795510800000
STEP_MS: Final = 1000
EXPECT_KEYS: Final = ("verdict", "reason", "rules", "actions", "violations", "limits")


class TestFileError(ValueError):
    """A test file that cannot be read: its name and what is wrong."""


@dataclass
class Failure:
    step: int
    event: str
    key: str
    expected: Any
    found: Any

    def describe(self) -> str:
        return (
            f"step {self.step} ({self.event}): {self.key}: expected "
            f"{self.expected!r}, got {self.found!r}"
        )


@dataclass
class TestResult:
    file: str
    name: str
    failures: list[Failure] = field(default_factory=list)

    @property
    def passed(self) -> bool:
        return not self.failures


_OBSERVED: Final[dict[str, Callable[[EvaluationResult], Any]]] = {
    "verdict": lambda r: r["verdict"],
    "reason": lambda r: r["reason"],
    "rules": lambda r: list(r["triggered_rules"]),
    "actions": lambda r: [a["verb"].lower() for a in r["actions"]],
    "violations": lambda r: [v["invariant"] for v in r["violations"]],
    "limits": lambda r: [c["target"] for c in r["constraint_violations"]],
}


def _normal(key: str, value: Any) -> Any:
    if key == "actions" and isinstance(value, list):
        return [str(v).lower() for v in value]
    if key == "verdict" and isinstance(value, str):
        return value.lower()
    return value


def _mapping(value: Any, what: str, file: str) -> dict[str, Any]:
    if value is None:
        return {}
    if not isinstance(value, dict):
        raise TestFileError(f"{file}: {what} must be a mapping")
    return value


def run_test(engine: PolicyEngine, test: dict[str, Any], file: str) -> TestResult:
    result = TestResult(file, str(test.get("name", "(unnamed)")))
    engine.reset()
    for key, value in _mapping(test.get("config"), "config", file).items():
        engine.set_config(key, value)
    for key, value in _mapping(test.get("context"), "context", file).items():
        engine.set_context(key, value)
    now = START_MS - STEP_MS
    steps = test.get("steps") or []
    if not isinstance(steps, list):
        raise TestFileError(f"{file}: test {result.name}: steps must be a list")
    for number, step in enumerate(steps, start=1):
        step = _mapping(step, "a step", file)
        if "event" not in step:
            for key, value in _mapping(step.get("config"), "config", file).items():
                engine.set_config(key, value)
            for key, value in _mapping(step.get("context"), "context", file).items():
                engine.set_context(key, value)
            continue
        now = START_MS + int(step["at"]) if "at" in step else now + STEP_MS
        event = str(step["event"])
        fields = _mapping(step.get("fields"), "fields", file)
        observed = engine.evaluate_at(now, event, fields)
        for key, expected in _mapping(step.get("expect"), "expect", file).items():
            if key not in _OBSERVED:
                raise TestFileError(
                    f"{file}: test {result.name}: unknown expectation `{key}` "
                    f"(one of {', '.join(EXPECT_KEYS)})"
                )
            found = _OBSERVED[key](observed)
            if _normal(key, expected) != found:
                result.failures.append(Failure(number, event, key, expected, found))
    return result


def policy_of(test_file: pathlib.Path, document: dict[str, Any]) -> pathlib.Path:
    """The policy a test file tests: its `policy` key, or the file of the
    same name without `.test` (`guard.test.yaml` tests `guard.yaml`)."""
    if "policy" in document:
        return test_file.parent / str(document["policy"])
    return test_file.with_name(test_file.name.replace(".test.yaml", ".yaml"))


def run_file(path: pathlib.Path, keyword: str | None = None) -> list[TestResult]:
    """The results of the tests of one file (those whose name holds
    `keyword`, when given)."""
    try:
        document = yaml.safe_load(path.read_text(encoding="utf-8"))
    except (OSError, yaml.YAMLError) as error:
        raise TestFileError(f"{path}: {error}") from None
    document = _mapping(document, "the test file", str(path))
    engine = load(policy_of(path, document))
    tests = document.get("tests") or []
    if not isinstance(tests, list):
        raise TestFileError(f"{path}: tests must be a list")
    chosen = [t for t in tests if keyword is None or keyword in str(t.get("name", ""))]
    return [
        run_test(engine, _mapping(t, "a test", str(path)), str(path)) for t in chosen
    ]


def bootstrap(policy: pathlib.Path) -> str:
    """A starting test file for `policy`: one test per rule, on the rule's
    first event type, expecting the rule to fire with its first verdict;
    the fields that make it fire are left to fill in."""
    engine = load(policy)
    document = json.loads(engine.to_json())
    tests = []
    for rule in document["rules"]:
        expect: dict[str, Any] = {"rules": [rule["id"]]}
        if rule["verdicts"]:
            expect["verdict"] = rule["verdicts"][0]["verdict"].lower()
        event = rule["on_events"][0] if rule["on_events"] else "any_event"
        tests.append(
            {
                "name": f"rule {rule['id']} fires",
                "steps": [{"event": event, "fields": {}, "expect": expect}],
            }
        )
    head = f"# Tests of {policy.name}: fill in the fields that make each rule fire.\n"
    body = yaml.safe_dump(
        {"policy": policy.name, "tests": tests}, sort_keys=False, allow_unicode=True
    )
    return head + body
