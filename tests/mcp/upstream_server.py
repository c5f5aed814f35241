"""The MCP server the proxy's tests put behind it, written with the SDK:
tools that echo, read a file, fetch a (fake) URL, report progress, wait
and ask the client for its roots; resources. Every tool call it receives is appended as one JSON line
to the file named by the environment variable CALLS_FILE, so that a test
can tell which calls reached it; its process id goes to PID_FILE when set.

    CALLS_FILE=calls.jsonl python tests/mcp/upstream_server.py
"""

import json
import os
import pathlib

import anyio
from mcp.server.mcpserver import Context, MCPServer

server = MCPServer("files", instructions="Reads files and fetches pages.")


def record(tool: str, arguments: dict[str, object]) -> None:
    with open(os.environ["CALLS_FILE"], "a", encoding="utf-8") as calls:
        calls.write(json.dumps({"tool": tool, "arguments": arguments}) + "\n")


@server.tool(description="Return the text given.")
def echo(text: str) -> str:
    record("echo", {"text": text})
    return text


@server.tool(description="Read a text file.")
def read_file(path: str) -> str:
    record("read_file", {"path": path})
    return pathlib.Path(path).read_text(encoding="utf-8")


@server.tool(description="Fetch a page (a fake one: no network).")
def fetch(url: str) -> str:
    record("fetch", {"url": url})
    return f"<html>page at {url}</html>"


@server.tool(description="Count to n, reporting progress.")
async def count(n: int, ctx: Context) -> int:
    record("count", {"n": n})
    for step in range(1, n + 1):
        await ctx.report_progress(step, n, f"step {step}")
    return n


@server.tool(description="Wait until cancelled.")
async def wait(seconds: float) -> str:
    record("wait", {"seconds": seconds})
    try:
        await anyio.sleep(seconds)
    except anyio.get_cancelled_exc_class():
        record("wait-cancelled", {"seconds": seconds})
        raise
    return "waited"


@server.tool(description="The client's roots, asked of the client.")
async def roots(ctx: Context) -> str:
    record("roots", {})
    listed = await ctx.session.list_roots()
    return ",".join(str(root.uri) for root in listed.roots)


@server.resource("note://today", description="Today's note.")
def note() -> str:
    return "buy milk"


@server.resource("note://secret", description="A secret note.")
def secret() -> str:
    return "the password is swordfish"


if __name__ == "__main__":
    if "PID_FILE" in os.environ:
        pathlib.Path(os.environ["PID_FILE"]).write_text(str(os.getpid()))
    server.run()
