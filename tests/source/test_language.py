"""What compiled source means at run time: expressions, templates, ids,
invariants that keep denying a repeated breach, and loading source."""

import json
import pathlib
from typing import Any

import pytest

import corvanth_core
from corvanth_core import PolicyEngine, compile

FIELDS = {"tool": "shell", "args": ["-r", "x", "-f"], "n": 3, "m": {"k": 4}, "a b": 5}


def value_of(expression: str) -> Any:
    source = (
        "name: p\nrules:\n  - on: []\n    actions:\n      - log:\n"
        f"          v: !expr {json.dumps(expression)}\n"
    )
    engine = PolicyEngine.from_json(compile(source))
    return engine.evaluate("tool_call", FIELDS)["actions"][0]["args"]["v"]


@pytest.mark.parametrize(
    ("expression", "expected"),
    [
        ("1 + 2 * 3", 7),
        ("(1 + 2) * 3", 9),
        ("-7 % 2", -1),
        ("- 7 % 2", -1),
        ("10 - 2 - 3", 5),
        ("not n in [3] or n == 3 and false", False),
        ("!true == false", True),
        ("false implies false implies false", True),
        ("n > 2 && n < 4 || false", True),
        ('f"{n} items, {{literally}}"', "3 items, {literally}"),
        ("tool.to_upper() + tool.len().`nope`()", None),
        ("tool.to_upper()", "SHELL"),
        ('count(a for a in args if a startswith "-")', 2),
        ("count(args)", 3),
        ('count(args if $0 == "x")', 1),
        ('all(a != "" for a in args) and none(a == "y" for a in args)', True),
        ('match tool { "shell" => 1, _ => 2 }', 1),
        ('match tool { "x" => 1 }', None),
        ('match n { if n > 5 => deny(), 3 => allow("m"), _ => 0 }', "Allow"),
        ("match => n + 1", 4),
        ('event["a b"] + m.`k`()', 9),
        ("m.keys()", ["k"]),
        ("$0", None),
        ('[1, 2.5, "a"]', [1, 2.5, "a"]),
        ("max(3, 4.5)", 4.5),
        ('re"a.*" == "a.*"', True),
        ('"rm -rf /" matches "rm .*"', True),
        ("`len`()", 0),
        ("len(event) >= 5", True),
    ],
)
def test_expressions_evaluate_as_written(expression: str, expected: object) -> None:
    assert value_of(expression) == expected


def test_messages_are_templates_and_tagged_expressions() -> None:
    template = "name: p\nrules:\n  - on: t\n    deny: 'Blocked {tool}: {len(args)} args {{sic}}'\n"
    tagged = "name: p\nrules:\n  - on: t\n    verdicts:\n      - audit\n      - deny: !expr tool + n\n"
    reasons = [
        PolicyEngine.from_json(compile(s)).evaluate("t", FIELDS)["reason"]
        for s in (template, tagged)
    ]
    assert reasons == ["Blocked shell: 3 args {sic}", ""]


def test_rule_and_invariant_ids_follow_the_previous_one() -> None:
    source = (
        "name: p\nrules:\n  - on: a\n  - id: 10\n    on: b\n  - on: c\n"
        "invariants:\n  - name: m\n    states: [s]\n  - name: n\n    id: 0\n    states: [s]\n"
        "  - name: o\n    states: [s]\n"
    )
    policy = json.loads(compile(source))
    assert [r["id"] for r in policy["rules"]] == [1, 10, 11]
    assert [m["id"] for m in policy["state_machines"]] == [1, 0, 1]


INVARIANT = """\
name: p
invariants:
  - name: no_exfiltration
    kind: never
    {repeats}
    states: [clean, secret_read, leaked]
    violating: [leaked]
    transitions:
      - clean -> secret_read: path endswith ".env"
      - secret_read -> leaked: host != "pypi.org"
"""


@pytest.mark.parametrize(
    ("repeats", "verdicts"),
    [
        ("", ["allow", "allow", "deny", "deny", "allow"]),
        ("repeats: deny", ["allow", "allow", "deny", "deny", "allow"]),
        ("repeats: allow", ["allow", "allow", "deny", "allow", "allow"]),
    ],
)
def test_a_repeated_breach_is_denied_unless_allowed(
    repeats: str, verdicts: list[str]
) -> None:
    engine = PolicyEngine.from_json(compile(INVARIANT.format(repeats=repeats)))
    events = [
        ("file_access", {"path": "/app/.env"}),
        ("web_request", {"host": "pypi.org"}),
        ("web_request", {"host": "evil.example"}),
        ("web_request", {"host": "evil.example"}),
        ("web_request", {"host": "pypi.org"}),
    ]
    assert [engine.evaluate(t, f)["verdict"] for t, f in events] == verdicts


def test_metadata_is_filled_unless_given() -> None:
    text = "name: p\n"
    metadata = json.loads(compile(text))["metadata"]
    assert metadata["compiler_version"] == corvanth_core.__version__
    assert (
        metadata["source_hash"]
        != json.loads(compile(text + "\n"))["metadata"]["source_hash"]
    )
    given = json.loads(
        compile(text + "metadata: {source_hash: 7, compiler_version: x}\n")
    )
    assert given["metadata"] == {
        "annotations": [],
        "source_hash": 7,
        "compiler_version": "x",
    }


def test_compile_takes_a_mapping() -> None:
    policy = {"name": "p", "rules": [{"on": "t", "when": "n > 2", "deny": "no"}]}
    engine = PolicyEngine.from_json(compile(policy))
    assert engine.evaluate("t", {"n": 3})["reason"] == "no"


def test_load_and_loads_take_source(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "guard.yml"
    path.write_text("name: guard\nrules:\n  - on: t\n    deny: no\n")
    assert corvanth_core.load(path).evaluate("t", {})["verdict"] == "deny"
    assert corvanth_core.loads(path.read_text()).policy_name == "guard"
    assert corvanth_core.loads(path.read_bytes()).policy_name == "guard"
    with pytest.raises(corvanth_core.PolicySourceError) as caught:
        corvanth_core.loads("name: guard\nrules: 3\n")
    assert (caught.value.line, caught.value.column) == (2, 8)
