"""What the proxy is started with: the policies, the decision log, the
caller's identity and the server's command line.

    options = ProxyOptions(
        policy="policy.yaml",
        command=["python", "server.py"],
        context={"user": "ada"},
        log="decisions.jsonl",
    )
"""

from dataclasses import dataclass, field
from typing import Literal

from _corvanth_core import PolicyEngine

# How a denied tools/call is answered: a tool result flagged `isError`
# (the model reads the reason and can change course), or a JSON-RPC error.
DenyAs = Literal["result", "error"]


@dataclass(frozen=True)
class ProxyOptions:
    """`policy` and `shadow` are engines or policy files (source, JSON or
    container);
    `log` the decision log's path; `context` the caller's identity, set as
    the engines' context values (the wire carries none); `command` the MCP
    server to start, its program first."""

    policy: PolicyEngine | str
    command: list[str]
    shadow: PolicyEngine | str | None = None
    log: str | None = None
    context: dict[str, str] = field(default_factory=dict)
    deny_as: DenyAs = "result"
