"""Type checkers catch the mistakes the stub and the package's TypedDicts
describe: mypy --strict, run once over a table of small programs, reports
exactly the expected error (line and code) in each, and nothing in the clean
ones, among them tests/typed_usage.py, which is also run."""

import pathlib
import textwrap

import pytest

mypy_api = pytest.importorskip(
    "mypy.api", reason="mypy is not installed (pip install '.[test]' brings it)"
)

HERE = pathlib.Path(__file__).resolve().parent

PRELUDE = """\
import pathlib
from typing import TypedDict

import corvanth_core
from corvanth_core import Action, EvaluationResult, PolicyEngine

engine = corvanth_core.loads('{"name": "p"}')
result: EvaluationResult = engine.evaluate("tool_call", {"tool": "shell"})
"""
PRELUDE_LINES = PRELUDE.count("\n")

# (id, program after PRELUDE, [(line in the program, error code, part of
# the message)]).
MISTAKES = [
    (
        "event-type-not-str",
        'engine.evaluate(1, {"tool": "shell"})',
        [(1, "arg-type", '"evaluate" of "PolicyEngine" has incompatible type "int"')],
    ),
    (
        "misspelt-result-key",
        'print(result["verdic"])',
        [(1, "typeddict-item", '"EvaluationResult" has no key "verdic"')],
    ),
    (
        "verdict-not-a-verdict",
        'blocked = result["verdict"] == "block"',
        [(1, "comparison-overlap", "Non-overlapping equality check")],
    ),
    (
        "reason-may-be-none",
        'print(result["reason"].upper())',
        [(1, "union-attr", 'Item "None" of "str | None" has no attribute "upper"')],
    ),
    (
        "trace-only-in-explain",
        'print(engine.explain("t")["trace"])\nprint(result["trace"])',
        [(2, "typeddict-item", '"EvaluationResult" has no key "trace"')],
    ),
    (
        "action-args-missing",
        'action: Action = {"verb": "Log"}',
        [(1, "typeddict-item", 'Missing key "args" for TypedDict "Action"')],
    ),
    (
        "violation-kind-not-temporal",
        'print([v for v in result["violations"] if v["kind"] == "Sometimes"])',
        [(1, "comparison-overlap", "Non-overlapping equality check")],
    ),
    (
        "limit-is-int",
        'text: str = result["constraint_violations"][0]["limit"]',
        [(1, "assignment", 'expression has type "int", variable has type "str"')],
    ),
    (
        "timestamp-not-int",
        'engine.evaluate_at("now", "tool_call")',
        [
            (
                1,
                "arg-type",
                '"evaluate_at" of "PolicyEngine" has incompatible type "str"',
            )
        ],
    ),
    (
        "restore-takes-bytes",
        "engine.restore(engine.to_json())",
        [(1, "arg-type", '"restore" of "PolicyEngine" has incompatible type "str"')],
    ),
    (
        "status-is-str",
        "count: int = engine.status()",
        [(1, "assignment", 'expression has type "str", variable has type "int"')],
    ),
    (
        "policy-name-read-only",
        'engine.policy_name = "other"',
        [(1, "misc", 'Property "policy_name" defined in "PolicyEngine" is read-only')],
    ),
    (
        "no-such-member",
        "engine.evaluate_many([])",
        [(1, "attr-defined", '"PolicyEngine" has no attribute "evaluate_many"')],
    ),
    (
        "engine-is-final",
        "class Mine(PolicyEngine):\n    pass",
        [(1, "misc", 'Cannot inherit from final class "PolicyEngine"')],
    ),
    (
        "severity-not-a-severity",
        'fatal = [d for d in engine.diagnostics() if d["severity"] == "fatal"]',
        [(1, "comparison-overlap", "Non-overlapping equality check")],
    ),
    (
        "loads-not-an-int",
        "corvanth_core.loads(42)",
        [(1, "arg-type", '"loads" has incompatible type "int"')],
    ),
    (
        "load-not-a-file-object",
        'corvanth_core.load(open("guard.json"))',
        [(1, "arg-type", '"load" has incompatible type "TextIOWrapper')],
    ),
    (
        "pack-takes-text",
        'corvanth_core.pack(b"{}")',
        [(1, "arg-type", '"pack" has incompatible type "bytes"; expected "str"')],
    ),
    (
        "trace-rule-key-misspelt",
        'print(engine.explain("t")["trace"]["rules"][0]["matchd"])',
        [(1, "typeddict-item", '"RuleTrace" has no key "matchd"')],
    ),
    (
        "trace-taken-may-be-none",
        'step: int = engine.explain("t")["trace"]["machines"][0]["taken"]',
        [
            (
                1,
                "assignment",
                'expression has type "int | None", variable has type "int"',
            )
        ],
    ),
    (
        "field-names-are-str",
        'engine.evaluate("t", {1: "shell"})',
        [(1, "dict-item", 'Dict entry 0 has incompatible type "int": "str"')],
    ),
    (
        "unpack-gives-text",
        'data: bytes = corvanth_core.unpack(corvanth_core.pack("{}"))',
        [(1, "assignment", 'expression has type "str", variable has type "bytes"')],
    ),
]

CLEAN = """\
def verdict_of(engine: PolicyEngine, path: pathlib.Path) -> str:
    result = engine.evaluate_at(1000, "file_access", {"path": str(path)})
    if result["reason"] is not None and result["verdict"] == "deny":
        return result["reason"].upper()
    return result["verdict"]


print(verdict_of(corvanth_core.load(pathlib.Path("guard.halvoc")), pathlib.Path("/etc")))
explained = engine.explain("web_request", None, 5)
print(explained["trace"], [d["code"] for d in engine.diagnostics()])
print(corvanth_core.unpack(bytearray(corvanth_core.pack(engine.to_json()))))


class ToolCall(TypedDict):
    tool: str
    command: str


call: ToolCall = {"tool": "shell", "command": "ls"}
print(engine.evaluate("tool_call", call), engine.explain("tool_call", call))
rule_ids = [rule["id"] for rule in explained["trace"]["rules"] if rule["matched"]]
"""


def snippet_name(case_id):
    return "snippet_" + case_id.replace("-", "_")


@pytest.fixture(scope="module")
def reported(tmp_path_factory):
    """{module file name: [(line, code, message)]} of one mypy run over
    every program of the table, the clean one and tests/typed_usage.py."""
    where = tmp_path_factory.mktemp("typing")
    files = []
    for case_id, body, _ in [*MISTAKES, ("clean", CLEAN, [])]:
        path = where / f"{snippet_name(case_id)}.py"
        path.write_text(PRELUDE + textwrap.dedent(body) + "\n", encoding="utf-8")
        files.append(str(path))
    files.append(str(HERE / "typed_usage.py"))
    # A configuration of its own, so that the project's settings cannot
    # change what the table expects.
    config = where / "mypy.ini"
    config.write_text("[mypy]\n", encoding="utf-8")
    stdout, stderr, status = mypy_api.run(
        [
            "--strict",
            "--config-file",
            str(config),
            "--cache-dir",
            str(tmp_path_factory.getbasetemp() / "mypy-cache"),
            "--show-error-codes",
            "--no-pretty",
            "--no-error-summary",
            *files,
        ]
    )
    assert status in (0, 1), stderr
    found = {pathlib.Path(name).name: [] for name in files}
    for line in stdout.splitlines():
        location, kind, message = line.split(": ", 2)
        if kind == "note":
            continue
        assert kind == "error", line
        file_name, number = location.rsplit(":", 1)
        text, code = message.rsplit("  [", 1)
        found[pathlib.Path(file_name).name].append((int(number), code[:-1], text))
    return found


@pytest.mark.parametrize(
    "case_id, body, expected", MISTAKES, ids=[case[0] for case in MISTAKES]
)
def test_mypy_reports_the_mistake(reported, case_id, body, expected):
    errors = reported[f"{snippet_name(case_id)}.py"]
    assert [(line - PRELUDE_LINES, code) for line, code, _ in errors] == [
        (line, code) for line, code, _ in expected
    ], errors
    for (_, _, text), (_, _, part) in zip(errors, expected):
        assert part in text


@pytest.mark.parametrize("file_name", ["snippet_clean.py", "typed_usage.py"])
def test_mypy_accepts_correct_use(reported, file_name):
    assert reported[file_name] == []


def test_typed_usage_runs():
    import typed_usage

    said = typed_usage.main()
    assert said[:2] == [
        "<PolicyEngine policy='coding_agent_guard' events=0>",
        "coding_agent_guard",
    ]
    assert said[2].startswith(
        "deny; Access to sensitive file denied: /work/app/.env; rule 2"
    )
    assert said[-2:] == ["True", "0 events after reset"]
