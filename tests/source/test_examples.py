"""The example policies: their sources compile to the committed JSON, they
guard what they claim, and they follow the file format's JSON Schema."""

import json
import pathlib
from typing import Any

import jsonschema
import pytest
import yaml

from corvanth_core import PolicyEngine, compile
from corvanth_core.source import schema_path

ROOT = pathlib.Path(__file__).parents[2]
SOURCES = sorted(
    p for p in (ROOT / "examples").glob("*.yaml") if not p.name.endswith(".test.yaml")
) + [pathlib.Path(__file__).with_name("sample_policy.yaml")]


class _Loader(yaml.SafeLoader):
    """Reads YAML as editors do (1.2 booleans: `on` is a word), with
    `!expr` values as their text."""


_Loader.yaml_implicit_resolvers = {
    first: [(tag, regex) for tag, regex in resolvers if tag != "tag:yaml.org,2002:bool"]
    for first, resolvers in yaml.SafeLoader.yaml_implicit_resolvers.items()
}
_Loader.add_constructor("!expr", lambda loader, node: loader.construct_scalar(node))


def _data(path: pathlib.Path) -> Any:
    return yaml.load(path.read_text(), Loader=_Loader)  # a SafeLoader subclass


def test_the_example_source_compiles_to_the_committed_json() -> None:
    committed = (ROOT / "examples" / "coding_agent_guard.json").read_text()
    source = (ROOT / "examples" / "coding_agent_guard.yaml").read_text()
    assert compile(source) == PolicyEngine.from_json(committed).to_json()
    assert len(source.splitlines()) * 4 <= len(committed.splitlines())


@pytest.mark.parametrize(
    ("command", "verdict"),
    [
        ("rm -rf /", "deny"),
        ("rm -fr /", "deny"),
        ("rm -r -f /", "deny"),
        ("rm  -rf /", "deny"),
        ("rm -Rf build", "deny"),
        ("sudo ls", "deny"),
        ("rm -r build", "allow"),
        ("ls -rf", "allow"),
        ("git status", "allow"),
    ],
)
def test_the_example_stops_destructive_deletes(command: str, verdict: str) -> None:
    engine = PolicyEngine.from_json(
        compile((ROOT / "examples" / "coding_agent_guard.yaml").read_text())
    )
    assert (
        engine.evaluate("tool_call", {"tool": "shell", "command": command})["verdict"]
        == verdict
    )


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: p.name)
def test_sources_follow_the_schema(path: pathlib.Path) -> None:
    schema = json.loads(schema_path().read_text())
    jsonschema.validate(_data(path), schema)


@pytest.mark.parametrize(
    "broken",
    [
        {"rules": []},
        {"name": "p", "rulez": []},
        {
            "name": "p",
            "rules": [{"on": "t", "deny": "x", "when": "a", "severty": "low"}],
        },
        {"name": "p", "limits": [{"rate": "t", "max": 1, "per": "1 minute"}]},
        {
            "name": "p",
            "invariants": [{"name": "m", "states": ["a"], "repeats": "sometimes"}],
        },
    ],
)
def test_the_schema_refuses_what_the_compiler_refuses(broken: dict[str, Any]) -> None:
    schema = json.loads(schema_path().read_text())
    with pytest.raises(jsonschema.ValidationError):
        jsonschema.validate(broken, schema)
