"""The rules phase: event filters, conditions, verdicts, reasons, actions."""

import copy

import pytest
from helpers import engine_for, outcome

from corvanth_core.ir import (
    RESULT_KEYS,
    action,
    constraint,
    field,
    lit_bool,
    lit_float,
    lit_int,
    lit_str,
    policy,
    ref,
    rule,
    verdict,
)


def allow(triggered=(), reason=None, actions=()):
    return {
        "verdict": "allow",
        "reason": reason,
        "triggered_rules": list(triggered),
        "actions": list(actions),
        "violations": [],
        "constraint_violations": [],
    }


def evaluate(rules, event_type="tool_call", fields=None, constraints=()):
    engine = engine_for(policy(rules=rules, constraints=constraints))
    return engine.evaluate(event_type, fields)


def test_empty_policy_allows_every_event_and_counts_it():
    engine = engine_for(policy())
    for count, event_type in enumerate(["tool_call", "data_access", ""], start=1):
        result = engine.evaluate(event_type, {"x": 1})
        assert tuple(result) == RESULT_KEYS
        assert type(result["eval_time_us"]) is int
        assert result["eval_time_us"] >= 0
        assert outcome(result) == allow()
        assert engine.event_count == count


@pytest.mark.parametrize(
    "on_events, event_type, triggered",
    [
        ([], "tool_call", [1]),
        ([], "", [1]),
        (["tool_call"], "tool_call", [1]),
        (["data_access", "tool_call"], "tool_call", [1]),
        (["tool_call"], "Tool_Call", []),
        (["tool_call"], "tool_call_extra", []),
        (["tool_call"], "tool", []),
        (["tool_*"], "tool_call", []),
        (["tool.*"], "tool_call", []),
        ([""], "", [1]),
        ([""], "tool_call", []),
        # A type listed twice still lists the rule, and runs its actions, once.
        (["tool_call", "tool_call"], "tool_call", [1]),
    ],
)
def test_event_filter(on_events, event_type, triggered):
    rules = [rule(1, on_events, actions=[action("Log")])]
    result = evaluate(rules, event_type)
    expected_actions = [{"verb": "Log", "args": {}}] if triggered else []
    assert outcome(result) == allow(triggered, actions=expected_actions)


@pytest.mark.parametrize(
    "condition, fields, triggered",
    [
        (None, None, [1]),
        (lit_bool(True), None, [1]),
        (lit_bool(False), None, []),
        (lit_int(0), None, []),
        (lit_int(-3), None, [1]),
        (lit_float(0.0), None, []),
        (lit_str(""), None, []),
        (lit_str("x"), None, [1]),
        (field("missing"), None, []),
        (field("flag"), {"flag": True}, [1]),
        (field("flag"), {"flag": False}, []),
        (field("flag"), {"flag": None}, []),
        (field("flag"), {"flag": []}, []),
        (field("flag"), {"flag": [0]}, [1]),
        (field("flag"), {"flag": {}}, []),
        (field("flag"), {"flag": {"k": 0}}, [1]),
        (field("flag", "on"), {"flag": {"on": 0.0}}, []),
        (field("flag", "on"), {"flag": {"on": "yes"}}, [1]),
        # The whole event always holds its type and timestamp.
        (field(), None, [1]),
        # Rules are evaluated with no local bound.
        (ref(0), None, []),
        (ref("Context", "flag"), {"flag": True}, []),
    ],
)
def test_condition(condition, fields, triggered):
    rules = [rule(1, condition=condition, verdicts=[verdict("Audit")])]
    result = outcome(evaluate(rules, fields=fields))
    assert result["triggered_rules"] == triggered
    assert result["verdict"] == ("audit" if triggered else "allow")


# Row: the verdict of the first rule; column: the candidate of the second.
@pytest.mark.parametrize(
    "current, candidate, final, reason",
    [
        ("Allow", "Allow", "allow", "second"),
        ("Allow", "Deny", "deny", "second"),
        ("Allow", "Audit", "audit", "second"),
        ("Allow", "Redact", "redact", "second"),
        ("Deny", "Allow", "deny", "first"),
        ("Deny", "Deny", "deny", "second"),
        ("Deny", "Audit", "deny", "first"),
        ("Deny", "Redact", "deny", "first"),
        ("Audit", "Allow", "audit", "first"),
        ("Audit", "Deny", "deny", "second"),
        ("Audit", "Audit", "audit", "first"),
        ("Audit", "Redact", "audit", "first"),
        ("Redact", "Allow", "redact", "first"),
        ("Redact", "Deny", "deny", "second"),
        ("Redact", "Audit", "redact", "first"),
        ("Redact", "Redact", "redact", "first"),
    ],
)
def test_verdict_table(current, candidate, final, reason):
    rules = [
        rule(1, verdicts=[verdict(current, lit_str("first"))]),
        rule(2, verdicts=[verdict(candidate, lit_str("second"))]),
    ]
    result = outcome(evaluate(rules))
    assert result["verdict"] == final
    assert result["reason"] == reason
    assert result["triggered_rules"] == [1, 2]


@pytest.mark.parametrize(
    "rule_verdicts, final, reason",
    [
        # One list per rule, in rule order.
        ([[verdict("Audit")], [verdict("Redact")]], "audit", None),
        ([[verdict("Audit")], [verdict("Deny")]], "deny", None),
        (
            [[verdict("Deny", lit_str("d"))], [verdict("Audit", lit_str("a"))]],
            "deny",
            "d",
        ),
        ([[verdict("Audit", lit_str("a")), verdict("Deny")]], "deny", "a"),
        ([[verdict("Deny", lit_str("d")), verdict("Deny")]], "deny", "d"),
        (
            [[verdict("Deny", lit_str("d1"))], [verdict("Deny", lit_str("d2"))]],
            "deny",
            "d2",
        ),
        ([[verdict("Allow", lit_str("fine"))]], "allow", "fine"),
        ([[verdict("Allow", lit_str("fine")), verdict("Audit")]], "audit", "fine"),
        ([[verdict("Redact"), verdict("Audit", lit_str("a"))]], "redact", None),
        ([[verdict("Redact")], [verdict("Allow", lit_str("late"))]], "redact", None),
        ([[], [verdict("Redact", lit_str("r"))]], "redact", "r"),
        ([[]], "allow", None),
        (
            [[verdict("Audit", lit_str("a"))], [verdict("Deny", lit_str("d"))]],
            "deny",
            "d",
        ),
    ],
)
def test_verdicts_combine_in_rule_order(rule_verdicts, final, reason):
    rules = [rule(i, verdicts=v) for i, v in enumerate(rule_verdicts, start=1)]
    result = outcome(evaluate(rules))
    assert result["verdict"] == final
    assert result["reason"] == reason
    assert result["triggered_rules"] == list(range(1, len(rule_verdicts) + 1))


@pytest.mark.parametrize(
    "message, reason",
    [
        (lit_str("blocked"), "blocked"),
        (lit_str(""), ""),
        (lit_int(42), ""),
        (lit_float(2.5), ""),
        (lit_bool(True), ""),
        (field("missing"), ""),
        (field("why"), "because"),
        (field("count"), ""),
        (field("nested", "why"), "deep"),
        (field("nested"), ""),
        (field("items"), ""),
        (field(), ""),
        (ref(0), ""),
        (ref("Context", "why"), ""),
    ],
)
def test_message_text(message, reason):
    rules = [rule(1, verdicts=[verdict("Deny", message)])]
    fields = {"why": "because", "count": 3, "nested": {"why": "deep"}, "items": ["a"]}
    result = outcome(evaluate(rules, fields=fields))
    assert result["verdict"] == "deny"
    assert result["reason"] == reason


def test_rate_limit_then_deny_without_message_keeps_rate_reason():
    rules = [rule(1, verdicts=[verdict("Deny")])]
    result = outcome(evaluate(rules, constraints=[constraint("tool_call", 0, 0)]))
    assert result == {
        "verdict": "deny",
        "reason": "RateLimit exceeded: 1 events in 0ms window (limit: 0)",
        "triggered_rules": [1],
        "actions": [],
        "violations": [],
        "constraint_violations": [
            {
                "kind": "RateLimit",
                "target": "tool_call",
                "limit": 0,
                "current": 1,
                "window_ms": 0,
            }
        ],
    }


def test_rate_limit_drops_audit_but_keeps_rule_and_actions():
    rules = [
        rule(
            5,
            verdicts=[verdict("Audit", lit_str("look"))],
            actions=[action("Notify", to=lit_str("ops"))],
        )
    ]
    result = outcome(evaluate(rules, constraints=[constraint("tool_call", 0, 0)]))
    assert result["verdict"] == "deny"
    assert result["reason"] == "RateLimit exceeded: 1 events in 0ms window (limit: 0)"
    assert result["triggered_rules"] == [5]
    assert result["actions"] == [{"verb": "Notify", "args": {"to": "ops"}}]


def test_rule_deny_message_replaces_rate_reason():
    rules = [rule(1, verdicts=[verdict("Deny", lit_str("mine"))])]
    result = outcome(evaluate(rules, constraints=[constraint("tool_call", 0, 0)]))
    assert result["verdict"] == "deny"
    assert result["reason"] == "mine"
    assert len(result["constraint_violations"]) == 1


@pytest.mark.parametrize("verb", ["Log", "Notify", "Escalate", "Block", "Tag"])
def test_action_verb_names_and_verdict_untouched(verb):
    rules = [rule(1, actions=[action(verb, level=lit_int(2))])]
    result = outcome(evaluate(rules))
    assert result == allow([1], actions=[{"verb": verb, "args": {"level": 2}}])


def test_repeated_argument_name_keeps_later_value():
    repeated = {
        "verb": "Tag",
        "args": [["x", lit_int(1)], ["y", lit_str("a")], ["x", lit_int(2)]],
    }
    result = outcome(evaluate([rule(1, actions=[repeated])]))
    assert result["actions"] == [{"verb": "Tag", "args": {"x": 2, "y": "a"}}]


def test_actions_in_rule_order_then_action_order():
    rules = [
        rule(1, actions=[action("Log", n=lit_int(1)), action("Tag", n=lit_int(2))]),
        rule(2, on_events=["other"], actions=[action("Block")]),
        rule(3, actions=[action("Escalate", n=lit_int(3))]),
        rule(4, condition=lit_bool(False), actions=[action("Block")]),
        rule(5, actions=[]),
        rule(6, actions=[action("Notify", n=field("n"))]),
    ]
    result = outcome(evaluate(rules, fields={"n": "six"}))
    assert result == allow(
        [1, 3, 5, 6],
        actions=[
            {"verb": "Log", "args": {"n": 1}},
            {"verb": "Tag", "args": {"n": 2}},
            {"verb": "Escalate", "args": {"n": 3}},
            {"verb": "Notify", "args": {"n": "six"}},
        ],
    )


def test_missing_field_argument_is_none():
    rules = [rule(1, actions=[action("Log", v=field("absent"))])]
    assert outcome(evaluate(rules))["actions"] == [{"verb": "Log", "args": {"v": None}}]


def test_rules_with_same_id_are_both_listed():
    rules = [rule(9), rule(9), rule(3)]
    assert outcome(evaluate(rules))["triggered_rules"] == [9, 9, 3]


def test_deny_does_not_stop_later_rules():
    rules = [
        rule(1, verdicts=[verdict("Deny", lit_str("no"))]),
        rule(2, actions=[action("Log")]),
    ]
    result = outcome(evaluate(rules))
    assert result["verdict"] == "deny"
    assert result["triggered_rules"] == [1, 2]
    assert result["actions"] == [{"verb": "Log", "args": {}}]


def test_large_rule_id_is_reported_unchanged():
    assert outcome(evaluate([rule(4294967295)]))["triggered_rules"] == [4294967295]


def test_event_count_grows_per_call_whatever_the_outcome():
    engine = engine_for(
        policy(
            rules=[rule(1, verdicts=[verdict("Deny")])],
            constraints=[constraint("tool_call", 0, 0)],
        )
    )
    assert engine.event_count == 0
    for expected in range(1, 6):
        engine.evaluate("tool_call" if expected % 2 else "other")
        assert engine.event_count == expected


def test_results_are_independent_between_calls():
    engine = engine_for(policy(rules=[rule(1, actions=[action("Log", v=field("v"))])]))
    first = engine.evaluate("t", {"v": 1})
    second = engine.evaluate("t", {"v": 2})
    assert first["actions"] == [{"verb": "Log", "args": {"v": 1}}]
    assert second["actions"] == [{"verb": "Log", "args": {"v": 2}}]


def named_args(*names):
    return {"verb": "Tag", "args": [[name, lit_str(name)] for name in names]}


MANY_NAMES = [f"arg_{i}" for i in range(12)]


@pytest.mark.parametrize(
    "names, keys",
    [
        ([], []),
        (["é", "ключ", "a"], ["é", "ключ", "a"]),
        (["x", "y", "x", "z", "y"], ["x", "y", "z"]),
        (MANY_NAMES, MANY_NAMES),
        (MANY_NAMES + ["arg_3", "new"], MANY_NAMES + ["new"]),
        (["a" * 40, "b" * 23, "c" * 24], ["a" * 40, "b" * 23, "c" * 24]),
    ],
)
def test_argument_names_in_map_order_on_every_call(names, keys):
    engine = engine_for(
        policy(rules=[rule(1, on_events=["x"]), rule(2, actions=[named_args(*names)])])
    )
    for _ in range(2):
        (tag,) = engine.evaluate("t")["actions"]
        assert list(tag["args"]) == keys
        assert all(type(key) is str for key in tag["args"])


def test_verbs_and_argument_names_are_shared_between_results():
    rules = [rule(1, actions=[action("Notify", channel=lit_str("ops"))])]
    engine = engine_for(policy(rules=rules))
    first, second = (engine.evaluate("t")["actions"][0] for _ in range(2))
    assert first["verb"] is second["verb"]
    (first_key,), (second_key,) = first["args"], second["args"]
    assert first_key is second_key


@pytest.mark.parametrize(
    "rules",
    [
        [],  # every entry as in a fresh result: allow, no reason
        [
            rule(
                1,
                verdicts=[verdict("Deny", lit_str("no"))],
                actions=[action("Log", v=field("f"))],
            )
        ],
    ],
)
def test_changing_a_result_leaves_later_results_alone(rules):
    engine = engine_for(policy(rules=rules))
    first = engine.evaluate("t", {"f": "x"})
    expected = copy.deepcopy(outcome(first))
    for key in list(first):
        value = first[key]
        if isinstance(value, list):
            value.append("changed")
            for item in value:
                if isinstance(item, dict):
                    item.clear()
        first[key] = "changed"
    first["extra"] = 1
    second = engine.evaluate("t", {"f": "x"})
    assert tuple(second) == RESULT_KEYS
    assert outcome(second) == expected
