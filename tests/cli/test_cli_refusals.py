"""What a person wrote is never lost silently: `fmt -w` and `pack` refuse a
policy with error diagnostics or with keys the canonical form drops (the
file untouched, no output created) unless --force; the shipped example is
in canonical form, and `demo` replays the session shipped with it."""

import json
import os
import pathlib

import pytest

import corvanth_core
from corvanth_core import ir
from corvanth_core.cli import main

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
BASE = ir.policy(name="kept", rules=[ir.rule(1, ["t"], verdicts=[ir.verdict("Deny")])])


def with_key(record_path, key, value):
    document = json.loads(json.dumps(BASE))
    target = document
    for step in record_path:
        target = target[step]
    target[key] = value
    return json.dumps(document, indent=1)


MISSPELT = with_key(("rules", 0), "condtion", ir.lit_bool(False))
GENERATOR = with_key((), "x-generator", "policy-studio 2")
SHADOWED = json.dumps(
    ir.policy(
        constraints=[ir.constraint("t", 1, 10), ir.constraint("t", 2, 10, "Quota")]
    )
)

DIAGNOSTIC_LINES = {
    "misspelt": "p.json: error [misspelt-key] rules[0].condtion: unknown key "
    "`condtion` in CompiledRule is ignored; did you mean `condition` (optional "
    "IRExpr)?",
    "generator": "p.json: info [unknown-key] x-generator: unknown key "
    "`x-generator` in CompiledPolicy is ignored",
    "shadowed": "p.json: error [shadowed-constraint] constraints[0].target: "
    "constraint on `t` is replaced by constraints[1] on the same target and "
    "never applies",
}
TEXTS = {"misspelt": MISSPELT, "generator": GENERATOR, "shadowed": SHADOWED}
COMMANDS = {
    "fmt -w": (["fmt", "-w", "p.json"], "fmt -w"),
    "pack": (["pack", "p.json", "-o", "p.halvoc"], "pack"),
}


@pytest.mark.parametrize("command", sorted(COMMANDS))
@pytest.mark.parametrize("case", sorted(TEXTS))
def test_a_write_that_would_lose_something_is_refused(
    tmp_path, monkeypatch, capsys, command, case
):
    monkeypatch.chdir(tmp_path)
    pathlib.Path("p.json").write_text(TEXTS[case], encoding="utf-8")
    argv, name = COMMANDS[command]
    assert main(argv) == 1
    out, err = capsys.readouterr()
    assert out == ""
    assert err == (
        f"{DIAGNOSTIC_LINES[case]}\n"
        f"p.json: error: {name} writes nothing: the policy has 1 diagnostic "
        "above (errors, or keys the canonical form drops); --force writes it "
        "anyway\n"
    )
    assert pathlib.Path("p.json").read_text(encoding="utf-8") == TEXTS[case]
    assert sorted(os.listdir()) == ["p.json"]


@pytest.mark.parametrize("command", sorted(COMMANDS))
def test_force_writes_anyway(tmp_path, monkeypatch, capsys, command):
    monkeypatch.chdir(tmp_path)
    pathlib.Path("p.json").write_text(MISSPELT, encoding="utf-8")
    argv, _ = COMMANDS[command]
    assert main([*argv, "--force"]) == 0
    engine = corvanth_core.loads(MISSPELT, check=False)
    if command == "pack":
        # The container holds the text as written, the misspelt key too.
        packed = pathlib.Path("p.halvoc").read_bytes()
        assert corvanth_core.unpack(packed) == MISSPELT
    else:
        canonical = json.dumps(json.loads(engine.to_json()), indent=2) + "\n"
        assert pathlib.Path("p.json").read_text(encoding="utf-8") == canonical


def test_a_refusal_in_json_lists_the_diagnostics(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    pathlib.Path("p.json").write_text(GENERATOR, encoding="utf-8")
    assert main(["fmt", "-w", "--json", "p.json"]) == 1
    report = json.loads(capsys.readouterr().out)
    assert report == {
        "file": "p.json",
        "form": "json",
        "formatted": False,
        "written": False,
        "refused": [
            {
                "severity": "info",
                "code": "unknown-key",
                "message": "unknown key `x-generator` in CompiledPolicy is ignored",
                "path": "x-generator",
            }
        ],
    }


def test_the_shipped_example_is_in_canonical_form(capsys):
    example = str(ROOT / "examples" / "coding_agent_guard.json")
    assert main(["fmt", "--check", example]) == 0
    assert capsys.readouterr() == (f"{example}: formatted\n", "")


def test_demo_replays_the_shipped_session_as_replay_does(capsys):
    assert main(["demo"]) == 0
    demo = capsys.readouterr()
    examples = ROOT / "examples"
    replay = [
        "replay",
        str(examples / "coding_agent_guard.json"),
        str(examples / "coding_agent_session.jsonl"),
    ]
    assert main(replay) == 0  # replayed, whatever the verdicts
    assert capsys.readouterr() == demo
