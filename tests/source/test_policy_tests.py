"""`corvanth-core test`: the examples' tests pass, a wrong expectation is
reported with its test, step and difference, and --bootstrap writes a
file to start from."""

import json
import pathlib

import pytest

from corvanth_core.cli import main

EXAMPLES = pathlib.Path(__file__).parents[2] / "examples"


def run(capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, str, str]:
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def test_the_examples_tests_pass(capsys: pytest.CaptureFixture[str]) -> None:
    code, out, err = run(capsys, "test", str(EXAMPLES))
    assert (code, err) == (0, "")
    assert out.splitlines()[-1] == "9 passed, 0 failed"


def test_a_wrong_expectation_names_the_test_the_step_and_the_difference(
    capsys: pytest.CaptureFixture[str], tmp_path: pathlib.Path
) -> None:
    (tmp_path / "guard.yaml").write_text(
        (EXAMPLES / "coding_agent_guard.yaml").read_text()
    )
    (tmp_path / "guard.test.yaml").write_text(
        "tests:\n"
        "  - name: sudo\n    steps:\n"
        "      - {event: tool_call, fields: {tool: shell, command: ls}}\n"
        "      - {event: tool_call, fields: {tool: shell, command: sudo ls}, expect: {verdict: allow}}\n"
        "  - name: other\n    steps: [{event: t, expect: {rules: []}}]\n"
    )
    code, out, _ = run(capsys, "test", str(tmp_path))
    assert code == 1
    assert out.splitlines() == [
        f"FAIL {tmp_path / 'guard.test.yaml'}::sudo",
        "  step 2 (tool_call): verdict: expected 'allow', got 'deny'",
        f"PASS {tmp_path / 'guard.test.yaml'}::other",
        "1 passed, 1 failed",
    ]
    code, out, _ = run(capsys, "--json", "test", "-k", "sud", str(tmp_path))
    assert code == 1
    assert json.loads(out)["tests"] == [
        {
            "file": str(tmp_path / "guard.test.yaml"),
            "name": "sudo",
            "passed": False,
            "failures": [
                {
                    "step": 2,
                    "event": "tool_call",
                    "key": "verdict",
                    "expected": "allow",
                    "found": "deny",
                }
            ],
        }
    ]


def test_bootstrap_writes_one_test_per_rule(
    capsys: pytest.CaptureFixture[str], tmp_path: pathlib.Path
) -> None:
    policy = tmp_path / "guard.yaml"
    policy.write_text((EXAMPLES / "coding_agent_guard.yaml").read_text())
    code, out, _ = run(capsys, "test", "--bootstrap", str(policy))
    assert (code, out) == (0, f"{tmp_path / 'guard.test.yaml'}: 4 tests to fill in\n")
    code, out, _ = run(capsys, "test", str(tmp_path))
    assert out.splitlines()[0] == f"FAIL {tmp_path / 'guard.test.yaml'}::rule 1 fires"
    assert run(capsys, "test", "--bootstrap", str(policy))[0] == 2
