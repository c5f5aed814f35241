"""The examples of the language reference: every `yaml` block compiles
(or fails with the `Error:` line after it), every `expr` block evaluates
to the `Result:` line after it on the pages' sample event."""

import json
import pathlib
import re

import pytest

from corvanth_core import PolicyEngine, PolicySourceError, compile

DOCS = pathlib.Path(__file__).parents[2] / "docs" / "language"
BLOCK = re.compile(
    r"```(yaml|expr)\n(.*?)```\n(?:(Result|Error): `+ ?(.*?) ?`+\n)?", re.DOTALL
)
FIELDS = {
    "tool": "shell",
    "command": "rm -rf /tmp/build",
    "args": ["-r", "-f", "/tmp/build"],
    "size": 5000,
    "meta": {"host": "pypi.org", "port": 443},
}


def _blocks() -> list[tuple[str, str, str | None, str | None]]:
    found = []
    for page in sorted(DOCS.glob("*.md")):
        for match in BLOCK.finditer(page.read_text()):
            found.append((page.name, *match.groups()))
    return [
        (p, kind, code, f"{label}:{value}" if label else None)
        for p, kind, code, label, value in found
    ]


@pytest.mark.parametrize(("page", "kind", "code", "expected"), _blocks())
def test_reference_examples(
    page: str, kind: str, code: str, expected: str | None
) -> None:
    if kind == "yaml":
        if expected is None:
            PolicyEngine.from_json(compile(code))
            return
        with pytest.raises(PolicySourceError) as caught:
            compile(code)
        assert expected.removeprefix("Error:") in str(caught.value)
        return
    source = f"name: doc\nrules:\n  - on: []\n    actions:\n      - log:\n          v: !expr {json.dumps(code.strip())}\n"
    engine = PolicyEngine.from_json(compile(source))
    engine.set_config("allowed_hosts", ["pypi.org", "github.com"])
    value = engine.evaluate("tool_call", FIELDS)["actions"][0]["args"]["v"]
    assert expected is not None and expected.startswith("Result:")
    assert value == json.loads(expected.removeprefix("Result:"))
