"""The canonical writer: to_json() and to_bytes().

Whatever form a policy was written in, to_json() gives one canonical text
(compact, object forms, declared field order, every optional field, bare
variant names, shortest round-trip floats), and reading that text back gives
the same text and the same behaviour.
"""

import json
import pathlib
import struct

import pytest
from _corvanth_core import PolicyEngine
from helpers import assert_same, engine_for, outcome
from hypothesis import assume, given
from policy_strategies import JSON_DEPTH_LIMIT, events, json_depth, policies
from test_properties import SETTINGS

from corvanth_core.ir import (
    action,
    lit_float,
    lit_int,
    lit_str,
    machine,
    policy,
    rule,
    state,
    transition,
    verdict,
)

EXAMPLES = sorted(pathlib.Path(__file__).parents[2].glob("examples/*.json"))

# The nested strategies have long descriptions; hypothesis warns when it
# renders them.
pytestmark = pytest.mark.filterwarnings("ignore:Generating overly large repr")

MAGIC = b"\xae\x91\x5c\x01"

METADATA = '"metadata":{"annotations":[],"source_hash":0,"compiler_version":"x"}'


def canonical(doc_text):
    return PolicyEngine.from_json(doc_text).to_json()


def rule_text(**parts):
    """The canonical text of a one-rule policy, with the rule's fields given
    as canonical JSON texts (defaults for the others)."""
    fields = {
        "id": "1",
        "on_events": "[]",
        "condition": "null",
        "verdicts": "[]",
        "actions": "[]",
        "severity": "null",
    }
    fields.update(parts)
    body = ",".join(f'"{key}":{value}' for key, value in fields.items())
    return (
        '{"name":"p","severity":"Low","scopes":[],"rules":[{'
        + body
        + '}],"constraints":[],"state_machines":[],'
        + METADATA
        + "}"
    )


def one_rule(**kwargs):
    return json.dumps(policy(rules=[rule(**kwargs)]))


def float_arg(x):
    return one_rule(actions=[action("Log", v=lit_float(x))])


def float_text(text):
    return rule_text(
        actions='[{"verb":"Log","args":[["v",{"Literal":{"Float":' + text + "}}]]}]"
    )


# --- exact canonical texts -----------------------------------------------------


def test_minimal_policy_text():
    doc = json.dumps(policy())
    assert canonical(doc) == (
        '{"name":"p","severity":"Low","scopes":[],"rules":[],"constraints":[],'
        '"state_machines":[],' + METADATA + "}"
    )


@pytest.mark.parametrize(
    "source, expected",
    [
        # optional fields absent or null: written as null
        (one_rule(), rule_text()),
        (
            json.dumps(
                {
                    **policy(),
                    "rules": [
                        {"id": 1, "on_events": [], "verdicts": [], "actions": []}
                    ],
                }
            ),
            rule_text(),
        ),
        # the array form of a rule
        (
            json.dumps({**policy(), "rules": [[1, [], None, [], [], None]]}),
            rule_text(),
        ),
        # the whole policy in array form, keys of other tools dropped
        (
            json.dumps(
                ["p", "Low", [], [[1, [], None, [], [], "High"]], [], [], [[], 0, "x"]]
            ),
            rule_text(severity='"High"'),
        ),
        (
            json.dumps({**policy(rules=[rule()]), "x-tool": {"a": [1, 2]}}),
            rule_text(),
        ),
        # variants without payload in object form become bare names
        (
            one_rule(verdicts=[{"verdict": {"Deny": None}, "message": None}]),
            rule_text(verdicts='[{"verdict":"Deny","message":null}]'),
        ),
        (
            one_rule(severity={"Critical": None}),
            rule_text(severity='"Critical"'),
        ),
        # a verdict message and a record with an extra key
        (
            one_rule(
                verdicts=[{"verdict": "Allow", "note": 1, "message": lit_str("m")}]
            ),
            rule_text(
                verdicts='[{"verdict":"Allow","message":{"Literal":{"String":"m"}}}]'
            ),
        ),
        # expression fields in array form, keys in declared order
        (
            one_rule(condition={"Binary": ["Eq", lit_int(1), lit_int(2)]}),
            rule_text(
                condition='{"Binary":{"op":"Eq","left":{"Literal":{"Int":1}},'
                '"right":{"Literal":{"Int":2}}}}'
            ),
        ),
        (
            one_rule(
                condition={
                    "Count": {"collection": {"List": []}, "filter": None},
                }
            ),
            rule_text(
                condition='{"Count":{"collection":{"List":[]},"param":null,'
                '"filter":null}}'
            ),
        ),
        (
            one_rule(condition={"Ref": {"fields": ["a"], "root": {"Local": 2}}}),
            rule_text(condition='{"Ref":{"root":{"Local":2},"fields":["a"]}}'),
        ),
        (
            one_rule(condition={"Ref": {"root": {"Policy": None}, "fields": []}}),
            rule_text(condition='{"Ref":{"root":"Policy","fields":[]}}'),
        ),
        (
            one_rule(
                condition={
                    "DecisionTree": {
                        "Switch": {
                            "cases": [
                                {
                                    "body": {"VerdictLeaf": ["Deny", None]},
                                    "test": {"Constructor": "c"},
                                }
                            ],
                            "subject": lit_int(0),
                        }
                    }
                }
            ),
            rule_text(
                condition='{"DecisionTree":{"Switch":{"subject":{"Literal":{"Int":0}},'
                '"cases":[{"test":{"Constructor":"c"},"body":{"VerdictLeaf":'
                '{"verdict":"Deny","message":null}}}],"default":null}}}'
            ),
        ),
        # whitespace is dropped; escapes are decoded and written minimally
        (
            (
                '{ "name" : "a\\u00e9\\/\\u0001\\n\\"\\\\" , "severity":"Low","scopes":[],'
                '"rules":[],"constraints":[],"state_machines":[],'
                '"metadata":{"annotations":[["k","\\ud83d\\ude00"]],"source_hash":7,'
                '"compiler_version":"x"}}'
            ),
            (
                '{"name":"a\u00e9/\\u0001\\n\\"\\\\","severity":"Low","scopes":[],'
                '"rules":[],"constraints":[],"state_machines":[],"metadata":'
                '{"annotations":[["k","\U0001f600"]],"source_hash":7,'
                '"compiler_version":"x"}}'
            ),
        ),
    ],
)
def test_canonical_text(source, expected):
    assert canonical(source) == expected
    assert canonical(expected) == expected


@pytest.mark.parametrize(
    "source, text",
    [
        ("2", "2.0"),
        ("2.0", "2.0"),
        ("-0.0", "-0.0"),
        ("0.1", "0.1"),
        ("1e20", "1e+20"),
        ("1E+16", "1e+16"),
        ("1e15", "1000000000000000.0"),
        ("100000", "100000.0"),
        ("0.0001", "0.0001"),
        ("0.00001", "1e-05"),
        ("1.5e-7", "1.5e-07"),
        ("123.4560", "123.456"),
        ("5e-324", "5e-324"),
        ("1.7976931348623157e308", "1.7976931348623157e+308"),
        ("-2.5e-300", "-2.5e-300"),
        ("9007199254740993", "9007199254740992.0"),
    ],
)
def test_floats_are_written_shortest(source, text):
    doc = float_text(source)
    assert canonical(doc) == float_text(text)
    assert text == repr(float(text))


def test_integers_at_their_limits():
    doc = policy(
        rules=[
            rule(
                rule_id=2**32 - 1,
                actions=[action("Log", a=lit_int(-(2**63)), b=lit_int(2**63 - 1))],
            )
        ]
    )
    doc["metadata"]["source_hash"] = 2**64 - 1
    written = json.loads(canonical(json.dumps(doc)))
    assert written == doc


def test_machine_fields_in_declared_order():
    doc = policy(
        state_machines=[
            machine(
                states=[state("s"), state("v", "Violated", 1)],
                transitions=[transition(0, 1, "Timeout"), transition(1, 0, "Always")],
                violating=[1],
                deadline_millis=5,
            )
        ]
    )
    text = canonical(json.dumps(doc))
    start = text.index('"state_machines":[') + len('"state_machines":[')
    assert text[start:].startswith(
        '{"id":0,"name":"m","invariant_name":"inv","kind":"Never",'
        '"states":[{"id":0,"label":"s","kind":"Active"},'
        '{"id":1,"label":"v","kind":"Violated"}],'
        '"transitions":[{"from":0,"to":1,"guard":"Timeout"},'
        '{"from":1,"to":0,"guard":"Always"}],"initial_state":0,'
        '"accepting_states":[],"violating_states":[1],"deadline_millis":5}'
    )


# --- round trips -----------------------------------------------------------------


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_examples_round_trip(path):
    original = PolicyEngine.from_json(path.read_text())
    text = original.to_json()
    again = PolicyEngine.from_json(text)
    assert again.to_json() == text
    assert again.policy_name == original.policy_name
    assert PolicyEngine.from_bytes(original.to_bytes()).to_json() == text


@pytest.mark.parametrize("path", EXAMPLES, ids=lambda p: p.name)
def test_examples_keep_their_content(path):
    # Every example is written in canonical object form already, so its
    # document comes back unchanged as a value.
    doc = json.loads(path.read_text())
    assert json.loads(PolicyEngine.from_json(path.read_text()).to_json()) == doc


@SETTINGS
@given(doc=policies)
def test_generated_policies_round_trip(doc):
    assume(json_depth(doc) < JSON_DEPTH_LIMIT)
    text = engine_for(doc).to_json()
    assert canonical(text) == text
    # The generated documents use the canonical forms, so the written
    # document equals the generated one.
    assert json.loads(text) == doc


@SETTINGS
@given(doc=policies, evs=events)
def test_written_policies_evaluate_alike(doc, evs):
    assume(json_depth(doc) < JSON_DEPTH_LIMIT)
    original = engine_for(doc)
    copy = PolicyEngine.from_bytes(original.to_bytes())
    for step, (event_type, fields, context, config) in enumerate(evs):
        for engine in (original, copy):
            for key, value in context.items():
                engine.set_context(key, value)
            for key, value in config.items():
                engine.set_config(key, value)
        at = 1_000 * step
        assert_same(
            outcome(copy.evaluate_at(at, event_type, fields)),
            outcome(original.evaluate_at(at, event_type, fields)),
        )


# --- the container ---------------------------------------------------------------


def test_container_layout():
    engine = engine_for(policy(rules=[rule(verdicts=[verdict("Deny")])]))
    data = engine.to_bytes()
    payload = engine.to_json().encode()
    assert type(data) is bytes
    assert data[:4] == MAGIC
    assert struct.unpack("<HHI", data[4:12]) == (1, 0, len(payload))
    assert data[12:] == payload


def test_container_of_non_ascii_policy_counts_bytes():
    engine = engine_for(policy(name="é\U0001f600"))
    data = engine.to_bytes()
    (length,) = struct.unpack("<I", data[8:12])
    assert length == len(data) - 12 == len(engine.to_json().encode())
    assert PolicyEngine.from_bytes(data).policy_name == "é\U0001f600"


# --- the members -------------------------------------------------------------------


@pytest.mark.parametrize(
    "member, doc",
    [
        (
            "to_json",
            (
                "to_json($self)\n--\n\nReturn the loaded policy as canonical JSON "
                "(object forms, declared field order, every optional field written)."
            ),
        ),
        (
            "to_bytes",
            (
                "to_bytes($self)\n--\n\nReturn the loaded policy as a version-1 "
                ".halvoc container around its canonical JSON."
            ),
        ),
    ],
)
def test_member_docstrings(member, doc):
    function = getattr(PolicyEngine, member)
    assert function.__doc__ == doc.split("\n--\n\n", 1)[1]
    assert function.__text_signature__ == "($self)"


@pytest.mark.parametrize("member", ["to_json", "to_bytes"])
def test_members_take_no_arguments(member):
    engine = engine_for(policy())
    with pytest.raises(TypeError):
        getattr(engine, member)(1)


def test_writing_leaves_the_engine_alone():
    engine = engine_for(policy(rules=[rule(verdicts=[verdict("Deny")])]))
    engine.evaluate("t")
    engine.to_json()
    engine.to_bytes()
    assert engine.event_count == 1
    assert engine.evaluate("t")["verdict"] == "deny"
