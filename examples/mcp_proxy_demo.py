"""Puts `corvanth-core mcp-proxy` in front of the example notebook server
and talks to it as an agent's MCP client would, with the MCP SDK's own
client: the tools it sees, calls the policy allows, denies and redacts.

    python examples/mcp_proxy_demo.py

The proxy writes its decision log to `mcp_decisions.jsonl` in the current
directory; `corvanth-core replay --check examples/mcp_proxy_guard.yaml
mcp_decisions.jsonl` then shows that the log replays to the same decisions.
"""

import os
import pathlib
import sys

import anyio
from mcp import ClientSession, MCPError, StdioServerParameters, stdio_client

HERE = pathlib.Path(__file__).resolve().parent
PROXY = [
    "-m",
    "corvanth_core",
    "mcp-proxy",
    str(HERE / "mcp_proxy_guard.yaml"),
    "--log",
    "mcp_decisions.jsonl",
    "--context",
    "user=ada",
    "--context",
    "role=agent",
    "--",
    sys.executable,
    str(HERE / "mcp_notes_server.py"),
]

CALLS = [
    ("read_note", {"name": "groceries"}),
    ("read_note", {"name": "secret-wifi"}),
    ("delete_note", {"name": "groceries"}),
    ("fetch", {"url": "https://docs.example.com/start"}),
    ("fetch", {"url": "https://paste.example.net/raw"}),
]


async def main() -> None:
    # The proxy (and through it the server) gets this process's environment.
    proxy = StdioServerParameters(
        command=sys.executable, args=PROXY, env=dict(os.environ)
    )
    async with (
        stdio_client(proxy) as (read, write),
        ClientSession(read, write) as session,
    ):
        initialized = await session.initialize()
        print(f"server: {initialized.server_info.name}")
        tools = await session.list_tools()
        print("tools:", ", ".join(tool.name for tool in tools.tools))
        for tool, arguments in CALLS:
            result = await session.call_tool(tool, arguments)
            text = " ".join(getattr(block, "text", "") for block in result.content)
            status = "denied" if result.is_error else "ok"
            print(f"{tool}({arguments}) -> {status}: {text}")
        try:
            await session.read_resource("file:///etc/passwd")
        except MCPError as error:
            print(f"read file:///etc/passwd -> error {error.code}: {error.message}")


if __name__ == "__main__":
    anyio.run(main)
