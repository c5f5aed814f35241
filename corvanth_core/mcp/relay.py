"""A relay between a transport's read stream and the session reading it:
it answers a malformed message with a JSON-RPC error on the same
connection (the SDK's sessions would only log it), and tells when the
stream ended.

    relay = Relay(transport_read, transport_write, "the client")
    task_group.start_soon(relay.run)
    session = ClientSession(relay.receive, transport_write)
    await relay.ended.wait()

A line that is not JSON is answered with a parse error, JSON that is no
JSON-RPC message with an invalid-request error, both with a null id (the
line's id cannot be read); the relay goes on with the next message.
"""

import sys
from collections.abc import AsyncIterator
from typing import Protocol

import anyio
from anyio.streams.memory import MemoryObjectReceiveStream, MemoryObjectSendStream
from mcp.shared.message import SessionMessage
from mcp_types import INVALID_REQUEST, PARSE_ERROR, ErrorData, JSONRPCError
from pydantic import ValidationError

# What a transport's read stream yields: a message, or the error of a line
# that could not be read as one.
Item = SessionMessage | Exception


class Source(Protocol):
    """A transport's read stream."""

    def __aiter__(self) -> AsyncIterator[Item]: ...


class Sink(Protocol):
    """A transport's write stream."""

    async def send(self, item: SessionMessage, /) -> None: ...


def malformed_error(error: Exception) -> JSONRPCError:
    """The JSON-RPC error answering a message that could not be read."""
    not_json = isinstance(error, ValidationError) and any(
        detail["type"] == "json_invalid" for detail in error.errors()
    )
    if not_json:
        return JSONRPCError(
            jsonrpc="2.0",
            id=None,
            error=ErrorData(
                code=PARSE_ERROR, message="Parse error: the message is not JSON"
            ),
        )
    return JSONRPCError(
        jsonrpc="2.0",
        id=None,
        error=ErrorData(
            code=INVALID_REQUEST,
            message="Invalid request: the message is not a JSON-RPC 2.0 message",
        ),
    )


class Relay:
    """Passes the messages of `source` on to `receive`, answering the
    malformed ones on `reply`; `ended` is set when `source` ends."""

    def __init__(
        self,
        source: Source,
        reply: Sink,
        peer: str,
    ) -> None:
        self._source = source
        self._reply = reply
        self._peer = peer
        sender, receiver = anyio.create_memory_object_stream[Item](0)
        self._send: MemoryObjectSendStream[Item] = sender
        self.receive: MemoryObjectReceiveStream[Item] = receiver
        self.ended = anyio.Event()

    async def run(self) -> None:
        try:
            async with self._send:
                async for item in self._source:
                    if isinstance(item, Exception):
                        await self._answer(item)
                    else:
                        await self._send.send(item)
        except (anyio.ClosedResourceError, anyio.BrokenResourceError):
            pass
        finally:
            self.ended.set()

    async def _answer(self, error: Exception) -> None:
        reply = malformed_error(error)
        print(
            f"corvanth-core mcp-proxy: warning: a malformed message from {self._peer} "
            f"was answered with error {reply.error.code}",
            file=sys.stderr,
        )
        try:
            await self._reply.send(SessionMessage(reply))
        except (anyio.ClosedResourceError, anyio.BrokenResourceError):
            pass
