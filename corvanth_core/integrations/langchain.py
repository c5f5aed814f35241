"""Agent middleware for LangChain that puts a `Guard` in front of every tool
call of an agent made with `create_agent`.

Each tool call is evaluated, before the tool runs, as the event `tool_call`
with the fields `{"tool": <name>, "arguments": {<the call's arguments>}}`,
the decorator's own shape; both the sync and the async tool-call wrappers
are implemented, so `invoke` and `ainvoke` are guarded alike.

- allow and audit: the tool runs;
- redact: the tool runs and its message's content goes through the
  redaction hook (by default every string becomes "[redacted]");
- deny (or an escalation refused): the tool does not run; the agent gets
  an error tool message whose content is the policy's reason;
- a Block action: `PolicyDenied` is raised, which stops the run.

The denial's message carries the decision (its id and the engine's result)
as its artifact, which the model does not see.

    from langchain.agents import create_agent
    from corvanth_core import Guard
    from corvanth_core.integrations.langchain import GuardMiddleware

    agent = create_agent(model, tools, middleware=[GuardMiddleware(Guard("policy.json"))])
"""

from collections.abc import Awaitable, Callable, Mapping
from typing import Any, Final

from langchain.agents.middleware import AgentMiddleware, ToolCallRequest
from langchain_core.messages import ToolMessage
from langgraph.types import Command

from corvanth_core.guard import Decision, Guard, PolicyDenied, redact_strings
from corvanth_core.guard.decision import denial_message

SURFACE: Final = "langchain"

# From a tool's name and its call's arguments to the event's fields.
FieldsOf = Callable[[str, dict[str, Any]], Mapping[str, Any]]
ToolResult = ToolMessage | Command[Any]


def tool_call_fields(tool: str, arguments: dict[str, Any]) -> dict[str, Any]:
    """The default fields: the tool's name and its arguments."""
    return {"tool": tool, "arguments": arguments}


def denial(request: ToolCallRequest, decision: Decision) -> ToolMessage:
    """The error tool message that stands for a call the policy stopped
    (raising PolicyDenied instead for a Block action)."""
    if decision.blocked:
        raise PolicyDenied(decision)
    call = request.tool_call
    return ToolMessage(
        content=denial_message(decision),
        tool_call_id=call["id"],
        name=call["name"],
        status="error",
        artifact={"decision_id": decision.decision_id, "decision": decision.as_dict()},
    )


def redacted(result: ToolResult, redact: Callable[[Any], Any]) -> ToolResult:
    """A tool's message with its content redacted (a Command is left as it
    is: it carries graph updates, not a result the model reads)."""
    if isinstance(result, ToolMessage):
        return result.model_copy(update={"content": redact(result.content)})
    return result


class GuardMiddleware(AgentMiddleware):
    """Evaluates every tool call of the agent with `guard` before the tool
    runs. `fields` maps a tool's name and arguments to other event fields;
    `redact` replaces the default redaction of a redact verdict's result.
    An error from either, or from the engine, propagates: a call that
    cannot be evaluated never runs."""

    def __init__(
        self,
        guard: Guard,
        *,
        event_type: str = "tool_call",
        fields: FieldsOf | None = None,
        redact: Callable[[Any], Any] | None = None,
    ) -> None:
        super().__init__()
        self.guard = guard
        self.event_type = event_type
        self.fields_of = tool_call_fields if fields is None else fields
        self.redact = redact_strings if redact is None else redact

    def _event(self, request: ToolCallRequest) -> dict[str, Any]:
        call = request.tool_call
        return dict(self.fields_of(call["name"], call["args"]))

    def wrap_tool_call(
        self,
        request: ToolCallRequest,
        handler: Callable[[ToolCallRequest], ToolResult],
    ) -> ToolResult:
        decision = self.guard.check(
            self.event_type, self._event(request), surface=SURFACE
        )
        if not decision.permitted:
            return denial(request, decision)
        result = handler(request)
        return redacted(result, self.redact) if decision.verdict == "redact" else result

    async def awrap_tool_call(
        self,
        request: ToolCallRequest,
        handler: Callable[[ToolCallRequest], Awaitable[ToolResult]],
    ) -> ToolResult:
        decision = await self.guard.acheck(
            self.event_type, self._event(request), surface=SURFACE
        )
        if not decision.permitted:
            return denial(request, decision)
        result = await handler(request)
        return redacted(result, self.redact) if decision.verdict == "redact" else result
