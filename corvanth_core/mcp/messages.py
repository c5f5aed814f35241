"""The proxy's view of MCP messages: the event each guarded message is
evaluated as, and what the proxy answers in the server's stead.

    fields = tool_call_fields(params, "files")
    # {"tool": "read_file", "arguments": {"path": "/etc/passwd"}, "server": "files"}
    denial_result(decision)      # a tool result: isError, the reason as its text
    redacted_tool_result(result) # the result with its text hidden

Messages arrive as the JSON the wire carried (dicts), so that what passes
through is exactly what was sent. Nothing here needs the `mcp` package.
"""

from collections.abc import Mapping
from typing import Any, Final

from corvanth_core.guard import REDACTED, Decision, redact_strings

# The events the proxy asks the policy about.
TOOL_CALL: Final = "tool_call"
TOOL_LISTED: Final = "tool_listed"
RESOURCE_READ: Final = "resource_read"

# Where a denial carries the decision's id and verdict (`_meta` keys are
# prefixed with their owner's name).
DECISION_ID_KEY: Final = "corvanth/decision_id"
VERDICT_KEY: Final = "corvanth/verdict"

# The JSON-RPC error code of a denial answered as an error (the range from
# -32000 to -32099 is left to servers).
POLICY_DENIED: Final = -32003

# The surface decision-log records name.
SURFACE: Final = "mcp-proxy"


def tool_call_fields(params: Mapping[str, Any], server: str) -> dict[str, Any]:
    """The fields of the `tool_call` event for a tools/call request."""
    arguments = params.get("arguments")
    return {
        "tool": params.get("name"),
        "arguments": {} if arguments is None else arguments,
        "server": server,
    }


def tool_listed_fields(tool: Mapping[str, Any], server: str) -> dict[str, Any]:
    """The fields of the `tool_listed` event for one tool of a tools/list
    result."""
    return {
        "tool": tool.get("name"),
        "description": tool.get("description") or "",
        "server": server,
    }


def resource_read_fields(params: Mapping[str, Any], server: str) -> dict[str, Any]:
    """The fields of the `resource_read` event for a resources/read
    request."""
    return {"uri": params.get("uri"), "server": server}


def evaluation_failure(error: Exception) -> str:
    """The reason given when the policy could not decide: the message is
    denied (fail-closed)."""
    return f"denied: the policy could not evaluate the message ({type(error).__name__}: {error})"


def denial_meta(decision: Decision | None) -> dict[str, Any]:
    """The `_meta` of a denial: the decision's id and verdict (none when
    the policy could not decide)."""
    if decision is None:
        return {DECISION_ID_KEY: None, VERDICT_KEY: None}
    return {DECISION_ID_KEY: decision.decision_id, VERDICT_KEY: decision.verdict}


def denial_result(reason: str, decision: Decision | None) -> dict[str, Any]:
    """The tool result answering a denied tools/call."""
    return {
        "content": [{"type": "text", "text": reason}],
        "isError": True,
        "_meta": denial_meta(decision),
    }


def denial_error_data(decision: Decision | None) -> dict[str, Any]:
    """The `data` of the JSON-RPC error answering a denied message."""
    return {"decision_id": None, "verdict": None} | (
        {}
        if decision is None
        else {"decision_id": decision.decision_id, "verdict": decision.verdict}
    )


def redacted_content(block: Mapping[str, Any]) -> dict[str, Any]:
    """One content block with its text hidden: a text block's `text`, a
    resource's `text`; other blocks (images, audio, links) lose every
    string but their type."""
    kind = block.get("type")
    if kind == "text":
        return {**block, "text": REDACTED}
    if kind == "resource" and isinstance(block.get("resource"), Mapping):
        resource = dict(block["resource"])
        if "text" in resource:
            resource["text"] = REDACTED
        if "blob" in resource:
            resource["blob"] = ""
        return {**block, "resource": resource}
    return {
        key: value if key in ("type", "mimeType") else redact_strings(value)
        for key, value in block.items()
    }


def redacted_tool_result(result: Mapping[str, Any]) -> dict[str, Any]:
    """A tools/call result under a redact verdict: the text of its content
    and every string of its structured content hidden, as guarded tools
    redact their results."""
    redacted = dict(result)
    content = result.get("content")
    if isinstance(content, list):
        redacted["content"] = [
            redacted_content(block) if isinstance(block, Mapping) else REDACTED
            for block in content
        ]
    if "structuredContent" in result:
        redacted["structuredContent"] = redact_strings(result["structuredContent"])
    return redacted
