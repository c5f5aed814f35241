"""The example policies a user starts from, each replayed over its sample
session: the verdicts each event gets, and no diagnostics."""

import json
import pathlib

import pytest

from corvanth_core import PolicyEngine, compile

EXAMPLES = pathlib.Path(__file__).parents[2] / "examples"


@pytest.mark.parametrize(
    ("name", "verdicts"),
    [
        (
            "support_agent",
            ["allow", "allow", "redact", "redact", "allow", "deny", "audit"],
        ),
        (
            "browsing_agent",
            [
                "allow",
                "allow",
                "deny",
                "allow",
                "deny",
                "deny",
                "allow",
                "allow",
                "deny",
            ],
        ),
        ("data_agent", ["allow", "deny", "deny", "allow", "audit", "allow", "deny"]),
    ],
)
def test_example_sessions(name: str, verdicts: list[str]) -> None:
    source = (EXAMPLES / f"{name}_guard.yaml").read_text()
    engine = PolicyEngine.from_json(compile(source, filename=f"{name}_guard.yaml"))
    assert engine.diagnostics() == []
    found = []
    for line in (EXAMPLES / f"{name}_session.jsonl").read_text().splitlines():
        item = json.loads(line)
        if "type" not in item:
            for key, value in item.get("config", {}).items():
                engine.set_config(key, value)
            continue
        result = engine.evaluate_at(item["timestamp_ms"], item["type"], item["fields"])
        found.append(result["verdict"])
    assert found == verdicts
