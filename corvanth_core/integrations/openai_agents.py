"""A tool input guardrail of the OpenAI Agents SDK built from a `Guard`.

Every call of a guarded function tool is evaluated, before the tool runs,
as the event `tool_call` with the fields `{"tool": <name>, "arguments":
{<the call's arguments>}}`, the decorator's own shape. The decision
answers through the SDK's guardrail output:

- allow, audit and redact: the call goes ahead;
- deny (or an escalation refused): the call's content is rejected, and the
  model reads the policy's reason instead of the tool's result;
- a Block action: the guardrail trips, and the run raises the SDK's
  `ToolInputGuardrailTripwireTriggered`.

The decision itself is the output's `output_info`.

    from agents import Agent, function_tool
    from corvanth_core import Guard
    from corvanth_core.integrations.openai_agents import tool_input_guardrail

    guardrail = tool_input_guardrail(Guard("policy.json"))

    @function_tool(tool_input_guardrails=[guardrail])
    def shell(command: str) -> str: ...

`guard_tools(guard, *tools)` adds the same guardrail to tools already made.
The SDK is imported when a guardrail is made, not with this module.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any, Final

from corvanth_core.guard import Decision, Guard
from corvanth_core.guard.decision import denial_message

if TYPE_CHECKING:
    from agents import FunctionTool, ToolGuardrailFunctionOutput, ToolInputGuardrail
    from agents.tool_guardrails import ToolInputGuardrailData

SURFACE: Final = "openai-agents"

# From a tool's name and its call's arguments to the event's fields.
FieldsOf = Callable[[str, Any], Mapping[str, Any]]


def call_arguments(text: str) -> Any:
    """The arguments of a call as the model wrote them (JSON text): the
    decoded value, or the text itself when it is not JSON, so that the
    policy still sees what the tool would be given."""
    try:
        return json.loads(text) if text.strip() else {}
    except ValueError:
        return text


def tool_call_fields(tool: str, arguments: Any) -> dict[str, Any]:
    """The default fields: the tool's name and its arguments."""
    return {"tool": tool, "arguments": arguments}


def guardrail_output(decision: Decision) -> ToolGuardrailFunctionOutput:
    """The SDK's answer for one decision, the decision as its info."""
    from agents import ToolGuardrailFunctionOutput

    if decision.blocked:
        return ToolGuardrailFunctionOutput.raise_exception(output_info=decision)
    if not decision.permitted:
        return ToolGuardrailFunctionOutput.reject_content(
            denial_message(decision), output_info=decision
        )
    return ToolGuardrailFunctionOutput.allow(output_info=decision)


def tool_input_guardrail(
    guard: Guard,
    *,
    event_type: str = "tool_call",
    fields: FieldsOf | None = None,
    name: str = "corvanth",
) -> ToolInputGuardrail[Any]:
    """A guardrail that asks `guard` about every call of the tools it is
    given to. `fields` maps a tool's name and decoded arguments to other
    event fields; an error from it or from the engine propagates, so a call
    that cannot be evaluated never runs."""
    from agents import ToolInputGuardrail

    fields_of = tool_call_fields if fields is None else fields

    async def corvanth_policy(
        data: ToolInputGuardrailData,
    ) -> ToolGuardrailFunctionOutput:
        context = data.context
        event = dict(
            fields_of(context.tool_name, call_arguments(context.tool_arguments))
        )
        decision = await guard.acheck(event_type, event, surface=SURFACE)
        return guardrail_output(decision)

    return ToolInputGuardrail(guardrail_function=corvanth_policy, name=name)


def guard_tools(
    guard: Guard, *tools: FunctionTool, event_type: str = "tool_call"
) -> list[FunctionTool]:
    """`tools`, each with a guardrail of `guard` added to its input
    guardrails (one guardrail shared by all of them)."""
    guardrail = tool_input_guardrail(guard, event_type=event_type)
    for tool in tools:
        tool.tool_input_guardrails = [*(tool.tool_input_guardrails or []), guardrail]
    return list(tools)
