"""The printer and the compiler against the engine: for every policy the
engine loads, printing it and compiling the text gives the engine's own
canonical JSON, metadata included."""

import json
import pathlib

from hypothesis import HealthCheck, example, given, settings

from corvanth_core import PolicyEngine, compile, decompile
from corvanth_core.source.canonical_json import canonical_json
from corvanth_core.source.ir_shapes import normalize_policy

from .ir_strategies import policy_texts

EXAMPLES = pathlib.Path(__file__).parents[2] / "examples"
METADATA = {"annotations": [], "source_hash": 0, "compiler_version": "t"}
SETTINGS = settings(
    max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)


@SETTINGS
@given(policy_texts())
def test_canonical_writer_matches_the_engine(text: str) -> None:
    engine = PolicyEngine.from_json(text)
    assert canonical_json(normalize_policy(json.loads(text))) == engine.to_json()


def leaf_opening_with_a_match() -> str:
    """A rule whose tree is a leaf `match false {} + []`: printed bare after
    `match =>`, it would read back as a tree of the switch alone."""
    switch = {"Switch": {"subject": {"Literal": {"Bool": False}}, "cases": []}}
    switch["Switch"]["default"] = None
    condition = {
        "Binary": {"op": "Add", "left": {"DecisionTree": switch}, "right": {"List": []}}
    }
    rule = {
        "id": 1,
        "on_events": [],
        "condition": {"DecisionTree": {"Leaf": condition}},
        "verdicts": [],
        "actions": [],
        "severity": None,
    }
    policy = {"name": "p", "severity": "Critical", "scopes": [], "rules": [rule]}
    rest = {"constraints": [], "state_machines": [], "metadata": METADATA}
    return json.dumps(policy | rest)


@SETTINGS
@given(policy_texts())
@example(leaf_opening_with_a_match())
def test_compile_of_decompile_is_the_canonical_policy(text: str) -> None:
    engine = PolicyEngine.from_json(text)
    source = decompile(text)
    assert compile(source) == engine.to_json()
    assert decompile(engine) == source
    assert decompile(engine.to_bytes()) == source


def test_the_shipped_example_round_trips() -> None:
    engine = PolicyEngine.from_json((EXAMPLES / "coding_agent_guard.json").read_text())
    source = decompile(engine)
    assert compile(source, filename="guard.yaml") == engine.to_json()
    assert len(source.splitlines()) < 80
