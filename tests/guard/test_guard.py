"""Guard.check and Guard.enforce: the engine's result unchanged, PolicyDenied,
handlers in order with their exact arguments, failing and async handlers,
the policies a guard refuses, and many threads at once."""

import asyncio
import dataclasses
import json
import logging
import os
import pathlib
import threading

import pytest
from helpers import engine_for

from corvanth_core import (
    Decision,
    Guard,
    PolicyDenied,
    PolicyEngine,
    PolicyLoadError,
    pack,
)
from corvanth_core.ir import binary, field, lit_str, policy, rule, verdict

from .policies import START_MS, stepping_clock, tools_json, tools_policy

DELETE = {"tool": "delete", "arguments": {"path": "/srv/data"}}
PAY = {"tool": "pay", "arguments": {"amount": 120}}
WIPE = {"tool": "wipe", "arguments": {}}


def test_check_gives_the_engines_result_unchanged():
    guard = Guard(tools_json(), clock=stepping_clock())
    twin = PolicyEngine.from_json(tools_json())
    twin.reset_at(START_MS)
    events = [DELETE, PAY, WIPE, {"tool": "lookup"}, {"tool": "read"}]
    for number, fields in enumerate(events):
        decision = guard.check("tool_call", fields)
        expected = twin.evaluate_at(START_MS + 100 * number, "tool_call", fields)
        got = decision.as_dict()
        assert got.pop("eval_time_us") >= 0
        del expected["eval_time_us"]
        assert list(got) == list(expected) and got == expected
        assert (decision.verdict, decision.reason) == (
            expected["verdict"],
            expected["reason"],
        )
        assert decision.triggered_rules == tuple(expected["triggered_rules"])
        assert decision.actions == tuple(expected["actions"])
        assert decision.allowed is (expected["verdict"] != "deny")


def test_a_decision_is_immutable():
    decision = Guard(tools_json()).check("tool_call", DELETE)
    with pytest.raises(dataclasses.FrozenInstanceError):
        decision.decision_id = "other"  # type: ignore[misc]
    decision.as_dict()["actions"].clear()
    decision.actions[0]["args"]["target"] = "changed"
    assert decision.actions[0] == {"verb": "Log", "args": {"target": "/srv/data"}}


def test_decision_ids_are_unique_across_guards_and_threads():
    guards = [Guard(tools_json()), Guard(tools_json())]
    ids: list[str] = []

    def work(guard: Guard) -> None:
        for _ in range(200):
            ids.append(guard.check("tool_call", {"tool": "read"}).decision_id)

    threads = [threading.Thread(target=work, args=(g,)) for g in guards * 2]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(set(ids)) == 800


@pytest.mark.parametrize(
    ("fields", "message"),
    [
        (DELETE, "deleting is not allowed"),
        (WIPE, "blocked by a Block action of the policy"),
    ],
)
def test_enforce_raises_policy_denied_with_the_decision(fields, message):
    guard = Guard(tools_json())
    with pytest.raises(PolicyDenied) as caught:
        guard.enforce("tool_call", fields)
    assert str(caught.value) == message
    assert caught.value.decision.as_dict()["triggered_rules"] in ([1], [4])
    assert isinstance(guard.enforce("tool_call", PAY), Decision)


def test_handlers_get_each_actions_arguments_in_order():
    calls = []

    def recorder(verb):
        return lambda args, decision: calls.append((verb, args, decision))

    handlers = {verb: recorder(verb) for verb in ("Log", "Notify")}
    decision = Guard(tools_json(), handlers=handlers).check("tool_call", DELETE)
    assert [(verb, args) for verb, args, _ in calls] == [
        ("Log", {"target": "/srv/data"}),
        ("Notify", {"channel": "ops"}),
    ]
    assert all(seen.decision_id == decision.decision_id for _, _, seen in calls)


def test_the_default_log_handler_writes_a_structured_record(caplog):
    with caplog.at_level(logging.INFO, logger="corvanth"):
        decision = Guard(tools_json()).check("tool_call", DELETE)
    [record] = caplog.records
    assert record.name == "corvanth"
    assert record.corvanth == {  # type: ignore[attr-defined]
        "verb": "Log",
        "args": {"target": "/srv/data"},
        "decision_id": decision.decision_id,
        "verdict": "deny",
    }
    assert record.getMessage() == (
        f'Log {{"target": "/srv/data"}} (decision {decision.decision_id}, verdict deny)'
    )


@pytest.mark.parametrize(
    ("answer", "refused"),
    [(True, False), (None, False), (False, True)],
)
def test_an_escalate_handler_that_refuses_makes_enforce_raise(answer, refused):
    guard = Guard(tools_json(), handlers={"Escalate": lambda args, decision: answer})
    decision = guard.check("tool_call", PAY)
    assert (decision.verdict, decision.escalation_refused) == ("audit", refused)
    if refused:
        with pytest.raises(PolicyDenied, match="^payments are audited$"):
            guard.enforce("tool_call", PAY)
    else:
        guard.enforce("tool_call", PAY)


def test_a_raising_handler_never_changes_the_verdict(caplog):
    def broken(args, decision):
        raise KeyError("no such channel")

    guard = Guard(tools_json(), handlers={"Notify": broken, "Escalate": broken})
    with caplog.at_level(logging.ERROR, logger="corvanth"):
        decision = guard.check("tool_call", DELETE)
    assert decision.verdict == "deny"
    assert [str(e) for e in decision.handler_errors] == [
        "Notify handler (action 1) raised KeyError: 'no such channel'"
    ]
    assert [r.getMessage() for r in caplog.records] == [str(decision.handler_errors[0])]
    # An approval that could not be asked was not given.
    paid = guard.check("tool_call", PAY)
    assert (paid.verdict, paid.escalation_refused) == ("audit", True)


def test_async_handlers_are_awaited_in_async_calls_only():
    seen = []

    async def approve(args, decision):
        await asyncio.sleep(0)
        seen.append(args)
        return False

    guard = Guard(tools_json(), handlers={"Escalate": approve})
    with pytest.raises(PolicyDenied):
        asyncio.run(guard.aenforce("tool_call", PAY))
    assert seen == [{"amount": 120}]
    decision = guard.check("tool_call", PAY)
    assert decision.escalation_refused
    assert decision.handler_errors[0].message == (
        "the handler is async, and the guarded call is not: use acheck or aenforce"
    )
    assert seen == [{"amount": 120}]


def test_policies_from_every_source(tmp_path: pathlib.Path):
    path = tmp_path / "tools.halvoc"
    path.write_bytes(pack(tools_json()))
    sources = [
        tools_json(),
        tools_json().encode(),
        path,
        str(path),
        engine_for(tools_policy()),
    ]
    for source in sources:
        assert Guard(source).check("tool_call", DELETE).verdict == "deny"
    with pytest.raises(TypeError, match="^a policy must be a PolicyEngine"):
        Guard(42)  # type: ignore[arg-type]
    with pytest.raises(FileNotFoundError):
        Guard(str(tmp_path / "missing.json"))


def test_a_policy_with_error_diagnostics_is_refused():
    bad = policy(name="bad", rules=[rule(1, ["t"], None, [verdict("Deny")])])
    bad["rules"][0]["condtion"] = binary("Eq", field("x"), lit_str("y"))
    text = json.dumps(bad)
    with pytest.raises(PolicyLoadError) as from_text:
        Guard(text)
    with pytest.raises(PolicyLoadError) as from_engine:
        Guard(PolicyEngine.from_json(text))
    assert str(from_engine.value) == str(from_text.value)
    assert [d["code"] for d in from_engine.value.diagnostics] == ["misspelt-key"]


def test_fields_the_engine_cannot_take_fail_the_call():
    guard = Guard(tools_json())
    with pytest.raises(TypeError):
        guard.enforce("tool_call", {1: "x"})  # type: ignore[dict-item]
    assert guard.engine.event_count == 0


def test_many_asyncio_tasks_at_once():
    asked = []

    async def approve(args, decision):
        asked.append(args["amount"])
        await asyncio.sleep(0)
        return args["amount"] % 2 == 0

    guard = Guard(tools_json(), handlers={"Escalate": approve})

    async def pay(amount: int) -> int:
        await guard.aenforce(
            "tool_call", {"tool": "pay", "arguments": {"amount": amount}}
        )
        return amount

    async def main() -> list[object]:
        return await asyncio.gather(
            *(pay(n) for n in range(50)), return_exceptions=True
        )

    outcomes = asyncio.run(main())
    assert outcomes[::2] == list(range(0, 50, 2))
    assert all(isinstance(o, PolicyDenied) for o in outcomes[1::2])
    assert sorted(asked) == list(range(50))
    assert guard.engine.event_count == 50


def test_a_forked_child_numbers_its_decisions_apart():
    guard = Guard(tools_json())
    parent = guard.check("tool_call", {"tool": "read"}).decision_id
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: report one decision id and leave at once
        os.write(write, guard.check("tool_call", {"tool": "read"}).decision_id.encode())
        os._exit(0)
    os.close(write)
    child = os.read(read, 100).decode()
    os.close(read)
    os.waitpid(pid, 0)
    following = guard.check("tool_call", {"tool": "read"}).decision_id
    assert child.endswith("-2") and following.endswith("-2")
    assert child != following and parent.split("-")[0] == following.split("-")[0]


def test_a_subclass_check_runs_on_every_event():
    class Counting(Guard):
        calls = 0

        def check(self, event_type, fields=None, *, surface="check"):
            Counting.calls += 1
            return super().check(event_type, fields, surface=surface)

    guard = Counting(tools_json())
    decisions = [guard.check("tool_call", {"tool": "read"}) for _ in range(3)]
    assert Counting.calls == 3
    assert [type(d) for d in decisions] == [Decision] * 3
    assert [d.decision_id.split("-")[1] for d in decisions] == ["1", "2", "3"]
    assert (decisions[2].shadow, decisions[2].handler_errors) == (None, ())
