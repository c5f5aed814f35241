"""diagnostics(): the likely mistakes of a loaded policy, each with a stable
code, a severity, a message and the path of the value concerned.

One table of small policies and the (code, path) pairs they produce; the
messages of a few in full; the form of the entries; loading never fails.
"""

import json

import pytest
from _corvanth_core import PolicyEngine

from corvanth_core.ir import (
    action,
    constraint,
    count,
    field,
    lit_bool,
    lit_int,
    lit_regex,
    lit_str,
    machine,
    policy,
    predicate,
    quantifier,
    ref,
    rule,
    state,
    transition,
    verdict,
)

SEVERITIES = {
    "misspelt-key": "error",
    "unknown-key": "info",
    "duplicate-rule-id": "warning",
    "rule-without-effect": "warning",
    "rule-for-every-event": "info",
    "pattern-not-regex": "warning",
    "event-type-field": "warning",
    "unbound-local": "error",
    "shadowed-constraint": "error",
    "limit-never-exceeded": "warning",
    "zero-limit": "info",
    "zero-window": "warning",
    "state-out-of-range": "error",
    "timeout-without-deadline": "error",
    "unreachable-state": "warning",
    "never-violates": "warning",
    "duplicate-machine-id": "warning",
}


def good_rule(rule_id=1, **kwargs):
    kwargs.setdefault("on_events", ["tool_call"])
    kwargs.setdefault("verdicts", [verdict("Deny")])
    return rule(rule_id, **kwargs)


def good_machine(**kwargs):
    """start --(pred)--> violated; start --timeout--> done."""
    kwargs.setdefault(
        "states",
        [state("start"), state("bad", "Violated", 1), state("ok", "Satisfied", 2)],
    )
    kwargs.setdefault(
        "transitions",
        [
            transition(0, 1, ("Predicate", lit_bool(True))),
            transition(0, 2, "Timeout"),
        ],
    )
    kwargs.setdefault("violating", [1])
    kwargs.setdefault("accepting", [2])
    kwargs.setdefault("deadline_millis", 1000)
    return machine(**kwargs)


def rule_doc(**kwargs):
    return policy(rules=[good_rule(**kwargs)])


def machine_doc(**kwargs):
    return policy(state_machines=[good_machine(**kwargs)])


def with_key(record, key, value):
    return {**record, key: value}


def found(doc):
    text = doc if isinstance(doc, str) else json.dumps(doc)
    return PolicyEngine.from_json(text).diagnostics()


CASES = [
    ("clean", policy(rules=[good_rule()], state_machines=[good_machine()]), []),
    (
        "misspelt condition",
        policy(rules=[with_key(good_rule(), "condtion", lit_bool(False))]),
        [("misspelt-key", "rules[0].condtion")],
    ),
    (
        "abbreviated deadline",
        policy(state_machines=[with_key(good_machine(), "deadline_ms", 5)]),
        [("misspelt-key", "state_machines[0].deadline_ms")],
    ),
    (
        "misspelt verdict message",
        rule_doc(verdicts=[{"verdict": "Deny", "mesage": lit_str("m")}]),
        [("misspelt-key", "rules[0].verdicts[0].mesage")],
    ),
    (
        "misspelt field of an expression",
        rule_doc(
            condition={"Count": {"collection": {"List": []}, "filtre": lit_bool(True)}}
        ),
        [("misspelt-key", "rules[0].condition.Count.filtre")],
    ),
    (
        "key of another tool",
        {**policy(), "x-generator": {"v": 1}},
        [("unknown-key", "x-generator")],
    ),
    (
        "duplicate rule id",
        policy(rules=[good_rule(3), good_rule(4), good_rule(3)]),
        [("duplicate-rule-id", "rules[2].id")],
    ),
    (
        "rule without effect",
        policy(rules=[rule(1, ["tool_call"])]),
        [("rule-without-effect", "rules[0]")],
    ),
    (
        "rule for every event",
        policy(rules=[good_rule(on_events=[])]),
        [("rule-for-every-event", "rules[0].on_events")],
    ),
    (
        "regex character class",
        rule_doc(condition=predicate("Matches", field("cmd"), lit_str("[0-9]+"))),
        [("pattern-not-regex", "rules[0].condition.Predicate.argument")],
    ),
    (
        "anchored regex with escapes",
        rule_doc(
            condition=predicate("Matches", field("cmd"), lit_regex("^sleep \\d+$"))
        ),
        [("pattern-not-regex", "rules[0].condition.Predicate.argument")],
    ),
    (
        "pattern shapes are fine",
        rule_doc(
            condition={
                "List": [
                    predicate("Matches", field("a"), lit_str(p))
                    for p in ["^exact$", "prefix.*", ".*suffix", "example.com", ""]
                ]
            }
        ),
        [],
    ),
    (
        "regex characters outside Matches are fine",
        rule_doc(condition=predicate("Contains", field("cmd"), lit_str("[0-9]+"))),
        [],
    ),
    (
        "event type read as a field",
        rule_doc(
            condition={
                "Binary": {"op": "Eq", "left": field("type"), "right": lit_str("x")}
            }
        ),
        [("event-type-field", "rules[0].condition.Binary.left.Ref.fields[0]")],
    ),
    (
        "local other than 0",
        rule_doc(condition=quantifier("Any", field("xs"), ref(1))),
        [("unbound-local", "rules[0].condition.Quantifier.body.Ref.root")],
    ),
    (
        "local 0 outside a binding",
        rule_doc(actions=[action("Log", v=ref(0))]),
        [("unbound-local", "rules[0].actions[0].args[0][1].Ref.root")],
    ),
    (
        "local 0 in quantifier bodies and count filters is fine",
        rule_doc(
            condition={
                "List": [
                    quantifier("All", field("xs"), ref(0, "a")),
                    count(field("xs"), filter=ref(0)),
                ]
            }
        ),
        [],
    ),
    (
        "two constraints on one target",
        policy(
            constraints=[
                constraint("t", 5, 1000),
                constraint("u", 1, 1),
                constraint("t", 9, 10),
            ]
        ),
        [("shadowed-constraint", "constraints[0].target")],
    ),
    (
        "limit that cannot be exceeded",
        policy(constraints=[constraint("t", 2**64 - 1, 1000)]),
        [("limit-never-exceeded", "constraints[0].limit")],
    ),
    (
        "zero limit and zero window",
        policy(constraints=[constraint("t", 0, 0, "Quota")]),
        [
            ("zero-limit", "constraints[0].limit"),
            ("zero-window", "constraints[0].window_millis"),
        ],
    ),
    (
        "state numbers outside the machine",
        machine_doc(
            transitions=[
                transition(0, 1, ("Predicate", lit_bool(True))),
                transition(0, 2, "Timeout"),
                transition(7, 1, "Always"),
            ],
            accepting=[2, 3],
        ),
        [
            ("state-out-of-range", "state_machines[0].transitions[2].from"),
            ("state-out-of-range", "state_machines[0].accepting_states[1]"),
        ],
    ),
    (
        "initial state outside the machine",
        machine_doc(initial=3),
        [("state-out-of-range", "state_machines[0].initial_state")],
    ),
    (
        "violating state outside the machine",
        machine_doc(violating=[9]),
        [
            ("state-out-of-range", "state_machines[0].violating_states[0]"),
            ("never-violates", "state_machines[0].violating_states"),
        ],
    ),
    (
        "timeout without deadline",
        machine_doc(deadline_millis=None),
        [
            ("timeout-without-deadline", "state_machines[0].transitions[1].guard"),
            ("unreachable-state", "state_machines[0].states[2]"),
        ],
    ),
    (
        "state behind a resting state",
        machine_doc(
            transitions=[transition(0, 1, "Always"), transition(1, 2, "Always")]
        ),
        [("unreachable-state", "state_machines[0].states[2]")],
    ),
    (
        "no violating states",
        machine_doc(violating=[]),
        [("never-violates", "state_machines[0].violating_states")],
    ),
    (
        "duplicate machine id",
        policy(state_machines=[good_machine(), good_machine(name="n")]),
        [("duplicate-machine-id", "state_machines[1].id")],
    ),
    (
        "findings in a guard",
        machine_doc(
            transitions=[
                transition(0, 1, ("NegatedPredicate", field("type"))),
                transition(0, 2, "Timeout"),
            ]
        ),
        [
            (
                "event-type-field",
                "state_machines[0].transitions[0].guard.NegatedPredicate.Ref.fields[0]",
            )
        ],
    ),
    (
        "findings in a decision tree",
        rule_doc(
            condition={
                "DecisionTree": {
                    "Switch": {
                        "subject": field("a"),
                        "cases": [
                            {"test": {"Guard": ref(2)}, "body": {"Leaf": lit_int(1)}},
                        ],
                        "default": {"VerdictLeaf": verdict("Deny", field("type"))},
                    }
                }
            }
        ),
        [
            (
                "unbound-local",
                "rules[0].condition.DecisionTree.Switch.cases[0].test.Guard.Ref.root",
            ),
            (
                "event-type-field",
                "rules[0].condition.DecisionTree.Switch.default.VerdictLeaf.message.Ref.fields[0]",
            ),
        ],
    ),
]


@pytest.mark.parametrize(
    "doc, expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES]
)
def test_codes_and_paths(doc, expected):
    entries = found(doc)
    assert [(d["code"], d["path"]) for d in entries] == expected
    for entry in entries:
        assert entry["severity"] == SEVERITIES[entry["code"]]


def test_entry_form():
    doc = policy(rules=[with_key(good_rule(), "condtion", lit_bool(False))])
    assert found(doc) == [
        {
            "severity": "error",
            "code": "misspelt-key",
            "message": "unknown key `condtion` in CompiledRule is ignored; "
            "did you mean `condition` (optional IRExpr)?",
            "path": "rules[0].condtion",
        }
    ]
    assert list(found(doc)[0]) == ["severity", "code", "message", "path"]


@pytest.mark.parametrize(
    "doc, message",
    [
        (
            {**policy(), "x-generator": 1},
            "unknown key `x-generator` in CompiledPolicy is ignored",
        ),
        (
            policy(rules=[good_rule(2), good_rule(2)]),
            "rule id 2 is also used by rules[0]",
        ),
        (
            policy(constraints=[constraint("t", 5, 1000), constraint("t", 9, 10)]),
            (
                "constraint on `t` is replaced by constraints[1] on the same target "
                "and never applies"
            ),
        ),
        (
            machine_doc(initial=3),
            "state 3 is outside the machine's 3 states",
        ),
        (
            machine_doc(violating=[]),
            (
                "machine `m` can never reach a violating state, so its invariant "
                "never fails"
            ),
        ),
        (
            rule_doc(condition=predicate("Matches", field("cmd"), lit_str("[0-9]+"))),
            (
                "pattern `[0-9]+` is matched as plain text, not as a regular "
                "expression (only ^text$, text.*, .*text and plain text are understood)"
            ),
        ),
    ],
)
def test_messages(doc, message):
    assert [d["message"] for d in found(doc)] == [message]


def test_keys_of_a_container_payload_are_kept():
    text = json.dumps(
        policy(rules=[with_key(good_rule(), "condtion", lit_bool(False))])
    )
    engine = PolicyEngine.from_json(text)
    data = (
        b"\xae\x91\x5c\x01\x01\x00\x00\x00"
        + len(text).to_bytes(4, "little")
        + text.encode()
    )
    assert PolicyEngine.from_bytes(data).diagnostics() == engine.diagnostics()


def test_the_same_list_each_time_and_the_engine_untouched():
    doc = policy(rules=[rule(1, ["t"])], constraints=[constraint("t", 0, 10)])
    engine = PolicyEngine.from_json(json.dumps(doc))
    first = engine.diagnostics()
    assert engine.diagnostics() == first
    assert first is not engine.diagnostics()
    assert engine.event_count == 0
    # Loading never fails because of a diagnostic: the policy runs.
    assert engine.evaluate("t")["verdict"] == "deny"


def test_member_docstring():
    assert PolicyEngine.diagnostics.__text_signature__ == "($self)"
    assert PolicyEngine.diagnostics.__doc__ == (
        "List the likely mistakes of the loaded policy: dicts with keys "
        "severity, code, message, path."
    )
    with pytest.raises(TypeError):
        PolicyEngine.from_json(json.dumps(policy())).diagnostics(1)
