"""The OpenAI Agents SDK's own runner calls guarded function tools, driven
by the SDK's scripted model: allowed calls run, a denied call does not run
and the model reads the reason, a Block action trips the guardrail."""

import asyncio
import json
from typing import Any

import pytest

agents = pytest.importorskip("agents")
testing = pytest.importorskip("agents.testing")

from corvanth_core import Decision, Guard
from corvanth_core.integrations.openai_agents import (
    guard_tools,
    tool_input_guardrail,
)

from .policy import DENIAL, adapters_policy

NO_TRACING = agents.RunConfig(tracing_disabled=True)


def run_one_call(tools: list[Any], name: str, arguments: dict[str, Any]) -> Any:
    """Run an agent whose model calls `name` once, then answers "done"."""
    model = testing.ScriptedModel(
        [
            [testing.function_call(name, arguments, call_id="call-1")],
            [testing.assistant_message("done")],
        ]
    )
    agent = agents.Agent(name="worker", model=model, tools=tools)
    result = asyncio.run(agents.Runner.run(agent, "go", run_config=NO_TRACING))
    return result, model


def tool_outputs(model: Any) -> list[Any]:
    """What the model was told of the tool calls, in its second call."""
    return [
        item["output"]
        for item in model.calls[1].input
        if isinstance(item, dict) and item.get("type") == "function_call_output"
    ]


def make_tools(guard: Guard, ran: list[tuple[str, str]]) -> list[Any]:
    guardrail = tool_input_guardrail(guard)

    @agents.function_tool(tool_input_guardrails=[guardrail])
    def delete(path: str) -> str:
        """Delete a file."""
        ran.append(("delete", path))
        return f"deleted {path}"

    @agents.function_tool
    def wipe(disk: str) -> str:
        """Wipe a disk."""
        ran.append(("wipe", disk))
        return "wiped"

    @agents.function_tool
    def read(path: str) -> str:
        """Read a file."""
        ran.append(("read", path))
        return f"text of {path}"

    # Two tools guarded after they were made, as a user of existing tools does.
    return [delete, *guard_tools(guard, wipe, read)]


@pytest.mark.parametrize(
    ("name", "arguments", "ran", "told", "verdict"),
    [
        ("read", {"path": "a.txt"}, [("read", "a.txt")], "text of a.txt", "allow"),
        ("delete", {"path": "/srv/x"}, [], DENIAL, "deny"),
    ],
)
def test_the_runner_runs_allowed_calls_and_tells_the_model_the_denial(
    name, arguments, ran, told, verdict
):
    guard = Guard(adapters_policy())
    calls: list[tuple[str, str]] = []
    result, model = run_one_call(make_tools(guard, calls), name, arguments)
    assert calls == ran
    assert tool_outputs(model) == [told]
    assert result.final_output == "done"
    (guarded,) = result.tool_input_guardrail_results
    decision = guarded.output.output_info
    assert isinstance(decision, Decision) and decision.verdict == verdict
    assert guarded.guardrail.get_name() == "corvanth"


def test_a_block_action_raises_through_the_sdk_and_the_tool_never_runs():
    guard = Guard(adapters_policy())
    calls: list[tuple[str, str]] = []
    with pytest.raises(agents.ToolInputGuardrailTripwireTriggered) as raised:
        run_one_call(make_tools(guard, calls), "wipe", {"disk": "sda"})
    assert calls == []
    decision = raised.value.output.output_info
    assert decision.verdict == "allow" and decision.blocked
    assert decision.actions == ({"verb": "Block", "args": {"tool": "wipe"}},)


def test_the_event_holds_the_tool_and_its_decoded_arguments(tmp_path):
    guard = Guard(adapters_policy(), decision_log=tmp_path / "log.jsonl")
    calls: list[tuple[str, str]] = []
    run_one_call(make_tools(guard, calls), "read", {"path": "b.txt"})
    guard.close()
    (line,) = (tmp_path / "log.jsonl").read_text().splitlines()
    record = json.loads(line)
    assert (record["type"], record["fields"], record["surface"]) == (
        "tool_call",
        {"tool": "read", "arguments": {"path": "b.txt"}},
        "openai-agents",
    )
