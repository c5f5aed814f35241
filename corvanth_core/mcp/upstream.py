"""The connection to the real MCP server: its process, started over stdio
by the SDK's transport, and the SDK's client session talking to it.

    async with connect_upstream(["python", "server.py"], client_side) as upstream:
        result = await upstream.session.initialize()
        ...
        await upstream.ended.wait()  # the server's output closed

The server's messages reach the session through a `Relay`, which answers
the malformed ones and tells when the server went away; the server's
notifications go to `on_notification`. The child inherits the proxy's
environment and writes its standard error to the proxy's.
"""

import os
import sys
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager
from dataclasses import dataclass
from typing import Protocol

import anyio
import mcp_types as types
from mcp import ClientSession, StdioServerParameters, stdio_client
from mcp.client import ClientRequestContext

from corvanth_core.mcp.relay import Relay


class ClientSide(Protocol):
    """Where the server's own messages go: its notifications, and its
    requests to the client (sampling, elicitation, the client's roots)."""

    async def notify(self, notification: types.ServerNotification) -> None: ...

    async def sample(
        self, context: ClientRequestContext, params: types.CreateMessageRequestParams
    ) -> types.CreateMessageResult | types.ErrorData: ...

    async def elicit(
        self, context: ClientRequestContext, params: types.ElicitRequestParams
    ) -> types.ElicitResult | types.ErrorData: ...

    async def list_roots(
        self, context: ClientRequestContext
    ) -> types.ListRootsResult | types.ErrorData: ...


@dataclass(frozen=True)
class Upstream:
    """The client session on the real server, and the event set when the
    server's output ends (it exited or closed it)."""

    session: ClientSession
    ended: anyio.Event


def _report_transport_error(error: Exception) -> None:
    print(
        f"corvanth-core mcp-proxy: warning: the server's connection failed: {error}",
        file=sys.stderr,
    )


@asynccontextmanager
async def connect_upstream(
    command: list[str], client: ClientSide
) -> AsyncIterator[Upstream]:
    """Start `command` and open a client session on it (not initialized)."""
    parameters = StdioServerParameters(
        command=command[0], args=command[1:], env=dict(os.environ)
    )

    async def handle(message: types.ServerNotification | Exception) -> None:
        if isinstance(message, Exception):
            _report_transport_error(message)
        else:
            await client.notify(message)

    async with stdio_client(parameters) as (read, write):
        relay = Relay(read, write, "the server")
        async with anyio.create_task_group() as tasks:
            tasks.start_soon(relay.run)
            async with ClientSession(
                relay.receive,
                write,
                message_handler=handle,
                sampling_callback=client.sample,
                elicitation_callback=client.elicit,
                list_roots_callback=client.list_roots,
            ) as session:
                yield Upstream(session, relay.ended)
            tasks.cancel_scope.cancel()
