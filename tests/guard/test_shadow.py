"""Shadow policies: evaluated on every event at the same time, never
enforced, every disagreement on the decision, in the log and counted."""

import json

import pytest

from corvanth_core import Guard, PolicyDenied, PolicyEngine
from corvanth_core.guard import PolicyIdentity

from .policies import START_MS, stepping_clock, tools_json, tools_policy

DELETE = {"tool": "delete", "arguments": {"path": "/srv/data"}}
READ = {"tool": "read", "arguments": {}}


def candidate() -> str:
    """The tools policy, but deleting is audited, not denied."""
    document = tools_policy(name="candidate")
    document["rules"][0]["verdicts"][0]["verdict"] = "Audit"
    return json.dumps(document)


def test_the_shadow_decides_beside_the_policy_and_is_not_enforced(tmp_path):
    log_path = tmp_path / "log.jsonl"
    guard = Guard(
        tools_json(), shadow=candidate(), decision_log=log_path, clock=stepping_clock()
    )
    with pytest.raises(PolicyDenied):
        guard.enforce("tool_call", DELETE)
    same = guard.check("tool_call", READ)
    assert same.shadow is not None and not same.shadow.disagrees
    assert same.shadow.differences == ()

    strict = Guard(candidate(), shadow=tools_json())
    decision = strict.enforce("tool_call", DELETE)
    shadow = decision.shadow
    assert (decision.verdict, shadow.verdict, shadow.disagrees) == (
        "audit",
        "deny",
        True,
    )
    assert shadow.differences == ("verdict",)
    assert shadow.policy_name == "tools"
    guard.close()
    first, second = (json.loads(line) for line in log_path.read_text().splitlines())
    assert first["decision"]["verdict"] == "deny"
    assert first["shadow"]["policy"] == {
        "name": "candidate",
        "digest": PolicyIdentity.of(PolicyEngine.from_json(candidate())).digest,
    }
    assert first["shadow"]["decision"]["verdict"] == "audit"
    assert first["shadow"]["differences"] == ["verdict"]
    assert first["shadow"]["error"] is None
    assert second["shadow"]["differences"] == []


def test_both_engines_see_the_same_time_and_the_same_settings():
    clock = stepping_clock(300)
    shadow = PolicyEngine.from_json(candidate())
    guard = Guard(tools_json(), shadow=shadow, clock=clock)
    guard.set_config("region", "eu")
    verdicts = [guard.check("ping", {}) for _ in range(4)]
    # Both count the pings in one window: they agree on every rate denial.
    assert [d.verdict for d in verdicts] == ["allow", "allow", "deny", "deny"]
    assert all(not d.shadow.disagrees for d in verdicts)
    assert shadow.event_count == 4
    twin = PolicyEngine.from_json(candidate())
    twin.reset_at(START_MS)
    for number, decision in enumerate(verdicts):
        expected = twin.evaluate_at(START_MS + 300 * number, "ping")
        got = decision.shadow.as_dict()
        del expected["eval_time_us"], got["eval_time_us"]
        assert got == expected


def test_shadow_stats_count_events_and_disagreements():
    guard = Guard(tools_json(), shadow=candidate())
    for fields in (DELETE, READ, DELETE, {"tool": "pay", "arguments": {"amount": 1}}):
        guard.check("tool_call", fields)
    stats = guard.shadow_stats()
    assert stats is not None
    assert (stats.policy_name, stats.events, stats.disagreements, stats.errors) == (
        "candidate",
        4,
        2,
        0,
    )
    assert stats.verdict_pairs == {
        ("deny", "audit"): 2,
        ("allow", "allow"): 1,
        ("audit", "audit"): 1,
    }
    assert Guard(tools_json()).shadow_stats() is None


def test_a_failing_shadow_is_recorded_and_changes_nothing():
    class Unprintable:
        calls = 0

        def __str__(self) -> str:
            # The policy's engine converts the value first; the shadow's
            # conversion is the one that fails.
            Unprintable.calls += 1
            if Unprintable.calls > 1:
                raise RuntimeError("no text today")
            return "x"

    guard = Guard(tools_json(), shadow=candidate())
    decision = guard.check("tool_call", {"tool": "read", "arguments": Unprintable()})
    assert decision.verdict == "allow"
    assert decision.shadow.error == "RuntimeError: no text today"
    assert decision.shadow.verdict is None and decision.shadow.disagrees
    assert guard.shadow_stats().errors == 1
