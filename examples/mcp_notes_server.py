"""An example MCP server, written with the MCP SDK: a notebook an agent
can read, write and delete notes in, and fetch (fake) web pages with. It
knows nothing of policies: put `corvanth-core mcp-proxy` in front of it.

    python examples/mcp_notes_server.py      # an MCP server on stdio

    corvanth-core mcp-proxy examples/mcp_proxy_guard.yaml \\
        --context role=agent -- python examples/mcp_notes_server.py

The notes live in memory, and the server starts with two of them.
"""

from mcp.server.mcpserver import MCPServer

server = MCPServer("notebook", instructions="A notebook of short notes.")

NOTES = {
    "groceries": "milk, eggs, bread",
    "secret-wifi": "the wifi password is swordfish",
}


@server.tool(description="Read the note called `name`.")
def read_note(name: str) -> str:
    return NOTES.get(name, f"no note called {name}")


@server.tool(description="Write `text` into the note called `name`.")
def write_note(name: str, text: str) -> str:
    NOTES[name] = text
    return f"saved {name} ({len(text)} characters)"


@server.tool(description="Delete the note called `name`.")
def delete_note(name: str) -> str:
    NOTES.pop(name, None)
    return f"deleted {name}"


@server.tool(description="Fetch a web page (a fake one: this example has no network).")
def fetch(url: str) -> str:
    return f"<html><body>The page at {url}</body></html>"


@server.resource("notes://index", description="The names of the notes.")
def index() -> str:
    return "\n".join(sorted(NOTES))


if __name__ == "__main__":
    server.run()
