"""The command line on policy sources: compile, decompile, and source
files given to check, fmt, inspect and replay."""

import json
import pathlib

import pytest

from corvanth_core import PolicyEngine
from corvanth_core.cli import main

EXAMPLES = pathlib.Path(__file__).parents[2] / "examples"
GUARD = EXAMPLES / "coding_agent_guard.yaml"


def run(capsys: pytest.CaptureFixture[str], *argv: str) -> tuple[int, str, str]:
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def test_compile_writes_json_or_a_container(
    capsys: pytest.CaptureFixture[str], tmp_path: pathlib.Path
) -> None:
    committed = PolicyEngine.from_json(
        (EXAMPLES / "coding_agent_guard.json").read_text()
    )
    code, out, err = run(capsys, "compile", str(GUARD))
    assert (code, err) == (0, "")
    assert out == (EXAMPLES / "coding_agent_guard.json").read_text()
    target = tmp_path / "guard.halvoc"
    code, out, _ = run(capsys, "compile", str(GUARD), "-o", str(target))
    assert code == 0 and out.startswith(f"{target}: ")
    assert PolicyEngine.from_file(str(target)).to_json() == committed.to_json()


def test_decompile_prints_source_that_compiles_back(
    capsys: pytest.CaptureFixture[str], tmp_path: pathlib.Path
) -> None:
    code, out, err = run(
        capsys, "decompile", str(EXAMPLES / "coding_agent_guard.halvoc")
    )
    assert (code, err) == (0, "")
    source = tmp_path / "guard.yaml"
    source.write_text(out)
    assert run(capsys, "fmt", "--check", str(source))[:2] == (
        0,
        f"{source}: formatted\n",
    )
    code, out, _ = run(capsys, "compile", str(source))
    assert json.loads(out) == json.loads(
        (EXAMPLES / "coding_agent_guard.json").read_text()
    )


def test_source_errors_are_shown_in_the_source(
    capsys: pytest.CaptureFixture[str], tmp_path: pathlib.Path
) -> None:
    bad = tmp_path / "bad.yaml"
    bad.write_text("name: p\nrules:\n  - on: t\n    when: lenght(x)\n")
    code, out, err = run(capsys, "compile", str(bad))
    assert (code, out) == (2, "")
    assert err.splitlines()[:3] == [
        f"{bad}:4:11: error: unknown function `lenght`",
        " 4 |     when: lenght(x)",
        "   |           ^^^^^^",
    ]


def test_check_places_diagnostics_in_the_source(
    capsys: pytest.CaptureFixture[str], tmp_path: pathlib.Path
) -> None:
    policy = tmp_path / "p.yaml"
    policy.write_text(
        'name: p\nrules:\n  - on: t\n    when: command matches "^sleep [0-9]+$"\n    deny: no\n'
    )
    code, out, err = run(capsys, "check", str(policy))
    assert (code, err) == (0, "")
    assert out.splitlines()[0] == (
        f"{policy}:4:11: warning: pattern `^sleep [0-9]+$` is matched as plain text, not as a "
        "regular expression (only ^text$, text.*, .*text and plain text are understood) "
        "[pattern-not-regex]"
    )
    assert out.splitlines()[-1] == f"{policy}: 0 errors, 1 warning, 0 infos"


def test_fmt_rewrites_a_source_but_keeps_its_comments(
    capsys: pytest.CaptureFixture[str], tmp_path: pathlib.Path
) -> None:
    policy = tmp_path / "p.yaml"
    policy.write_text("# mine\nname: p\nseverity: HIGH\n")
    code, _, err = run(capsys, "fmt", "-w", str(policy))
    assert code == 2 and "would drop the comments" in err
    assert policy.read_text() == "# mine\nname: p\nseverity: HIGH\n"
    assert run(capsys, "fmt", "-w", "--force", str(policy))[0] == 0
    assert policy.read_text().startswith("name: p\nseverity: high\nmetadata:\n")


def test_inspect_and_replay_take_sources(capsys: pytest.CaptureFixture[str]) -> None:
    code, out, _ = run(capsys, "inspect", str(GUARD))
    assert code == 0 and out.startswith("policy coding_agent_guard (severity High")
    code, out, _ = run(
        capsys, "replay", str(GUARD), str(EXAMPLES / "coding_agent_session.jsonl")
    )
    assert code == 0 and "summary: 569 events" in out
