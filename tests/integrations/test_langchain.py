"""LangChain's own agent loop calls guarded tools through the middleware,
driven by LangChain's fake chat model: allowed calls run, a denied call
does not run and the agent reads the reason in an error tool message, a
Block action raises. Sync (`invoke`) and async (`ainvoke`) alike."""

import asyncio
import json
from collections.abc import Callable
from typing import Any

import pytest

pytest.importorskip("langchain.agents")

from langchain.agents import create_agent
from langchain_core.language_models.fake_chat_models import GenericFakeChatModel
from langchain_core.messages import AIMessage, ToolMessage
from langchain_core.tools import tool

from corvanth_core import Guard, PolicyDenied
from corvanth_core.integrations.langchain import GuardMiddleware

from .policy import DENIAL, adapters_policy


class ScriptedChatModel(GenericFakeChatModel):
    """The fake chat model, taking tools as a real one does (it ignores
    them: its answers are scripted)."""

    def bind_tools(self, tools: Any, **kwargs: Any) -> "ScriptedChatModel":
        return self


def run_one_call(
    guard: Guard,
    name: str,
    arguments: dict[str, Any],
    *,
    is_async: bool = False,
    ran: list[tuple[str, str]] | None = None,
    redact: Callable[[Any], Any] | None = None,
) -> list[Any]:
    """Run an agent whose model calls `name` once, then answers "done": the
    messages of the run; each tool that runs is appended to `ran`."""
    ran = [] if ran is None else ran

    @tool
    def delete(path: str) -> str:
        """Delete a file."""
        ran.append(("delete", path))
        return f"deleted {path}"

    @tool
    def wipe(disk: str) -> str:
        """Wipe a disk."""
        ran.append(("wipe", disk))
        return "wiped"

    @tool
    def read(path: str) -> str:
        """Read a file."""
        ran.append(("read", path))
        return f"text of {path}"

    @tool
    def lookup(customer: str) -> str:
        """Look a customer up."""
        ran.append(("lookup", customer))
        return f"{customer}: 12 Main St"

    call = {"name": name, "args": arguments, "id": "call-1", "type": "tool_call"}
    model = ScriptedChatModel(
        messages=iter([AIMessage(content="", tool_calls=[call]), AIMessage("done")])
    )
    agent = create_agent(
        model,
        [delete, wipe, read, lookup],
        middleware=[GuardMiddleware(guard, redact=redact)],
    )
    state = {"messages": [("user", "go")]}
    result = asyncio.run(agent.ainvoke(state)) if is_async else agent.invoke(state)
    return result["messages"]


@pytest.mark.parametrize("is_async", [False, True], ids=["invoke", "ainvoke"])
@pytest.mark.parametrize(
    ("name", "arguments", "ran", "content", "status"),
    [
        ("read", {"path": "a.txt"}, [("read", "a.txt")], "text of a.txt", "success"),
        ("delete", {"path": "/srv/x"}, [], DENIAL, "error"),
    ],
)
def test_allowed_calls_run_and_a_denied_call_answers_with_the_reason(
    is_async, name, arguments, ran, content, status
):
    calls: list[tuple[str, str]] = []
    messages = run_one_call(
        Guard(adapters_policy()), name, arguments, is_async=is_async, ran=calls
    )
    assert calls == ran
    (answer,) = [m for m in messages if isinstance(m, ToolMessage)]
    assert (answer.content, answer.status, answer.tool_call_id, answer.name) == (
        content,
        status,
        "call-1",
        name,
    )
    assert messages[-1].content == "done"


def test_the_denial_carries_the_decision_and_the_event_is_logged(tmp_path):
    guard = Guard(adapters_policy(), decision_log=tmp_path / "log.jsonl")
    messages = run_one_call(guard, "delete", {"path": "/srv/y"})
    guard.close()
    (answer,) = [m for m in messages if isinstance(m, ToolMessage)]
    record = json.loads((tmp_path / "log.jsonl").read_text())
    assert answer.artifact == {
        "decision_id": record["decision_id"],
        "decision": record["decision"],
    }
    assert (record["fields"], record["surface"]) == (
        {"tool": "delete", "arguments": {"path": "/srv/y"}},
        "langchain",
    )


@pytest.mark.parametrize("is_async", [False, True], ids=["invoke", "ainvoke"])
def test_a_block_action_raises_and_the_tool_never_runs(is_async):
    ran: list[tuple[str, str]] = []
    with pytest.raises(PolicyDenied) as raised:
        run_one_call(
            Guard(adapters_policy()),
            "wipe",
            {"disk": "sda"},
            is_async=is_async,
            ran=ran,
        )
    assert ran == []
    assert raised.value.decision.actions == (
        {"verb": "Block", "args": {"tool": "wipe"}},
    )
    assert str(raised.value) == "blocked by a Block action of the policy"


@pytest.mark.parametrize(
    ("redact", "content"),
    [(None, "[redacted]"), (str.upper, "ANN: 12 MAIN ST")],
    ids=["default", "custom"],
)
def test_a_redact_verdict_runs_the_tool_and_redacts_its_message(redact, content):
    guard = Guard(adapters_policy())
    ran: list[tuple[str, str]] = []
    messages = run_one_call(
        guard, "lookup", {"customer": "ann"}, ran=ran, redact=redact
    )
    assert ran == [("lookup", "ann")]
    (answer,) = [m for m in messages if isinstance(m, ToolMessage)]
    assert answer.content == content
