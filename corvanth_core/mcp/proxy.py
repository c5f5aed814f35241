"""The proxy: the SDK's low-level server facing the client, whose every
request handler forwards to the client session on the real server, with
the guard deciding on the three messages it evaluates.

    exit_code = run_proxy(ProxyOptions(policy="policy.yaml",
                                       command=["python", "server.py"]))

The proxy answers `initialize` itself with the real server's name, version,
instructions and capabilities, so the client sees the server it asked for.
Requests and notifications pass through as the wire carried them (raw
params in, raw result out); the server's notifications (progress, logging,
list changes) and requests (sampling, elicitation, the client's roots) go
to the client. A cancelled request cancels the forwarded
one, which sends the server its own cancellation.

Fail-closed: a policy that cannot be evaluated denies the message; a
server that goes away ends the proxy with exit code 1 and a message on
standard error, at once (the client's pending requests get errors first).
"""

import os
import sys
from collections.abc import Mapping
from typing import Any, TypeVar

import anyio
import mcp_types as types
from mcp.client import ClientRequestContext
from mcp.server.context import ServerRequestContext
from mcp.server.lowlevel import Server
from mcp.server.models import InitializationOptions
from mcp.server.session import ServerSession
from mcp.server.stdio import stdio_server
from mcp.shared.exceptions import MCPError
from mcp_types import INTERNAL_ERROR
from pydantic import BaseModel, TypeAdapter, ValidationError

from corvanth_core.guard import Decision, Guard
from corvanth_core.guard.decision import denial_message
from corvanth_core.mcp import messages
from corvanth_core.mcp.options import DenyAs, ProxyOptions
from corvanth_core.mcp.relay import Relay
from corvanth_core.mcp.upstream import Upstream, connect_upstream

# Exit codes: the client closed the connection; the server went away; the
# proxy could not start (a policy, the log, or the server's start).
OK, SERVER_ENDED, FAILURE = 0, 1, 2

# How long the server may take to answer `initialize`.
INITIALIZE_TIMEOUT_S = 30.0
# How long pending requests get to be answered with errors once the server
# is gone, before the proxy exits.
GRACE_S = 0.2

ResultT = TypeVar("ResultT", bound=BaseModel)
RawParams = dict[str, Any] | None
RawRequest = types.Request[RawParams, str]
RawNotification = types.Notification[RawParams, str]
RAW_RESULT: TypeAdapter[dict[str, Any]] = TypeAdapter(dict[str, Any])

# The client's requests, each with the params model the SDK checks them
# against before the handler runs.
FORWARDED_REQUESTS: tuple[tuple[str, type[BaseModel]], ...] = (
    ("prompts/list", types.PaginatedRequestParams),
    ("prompts/get", types.GetPromptRequestParams),
    ("resources/list", types.PaginatedRequestParams),
    ("resources/templates/list", types.PaginatedRequestParams),
    ("resources/subscribe", types.SubscribeRequestParams),
    ("resources/unsubscribe", types.UnsubscribeRequestParams),
    ("logging/setLevel", types.SetLevelRequestParams),
    ("completion/complete", types.CompleteRequestParams),
)
FORWARDED_NOTIFICATIONS: tuple[tuple[str, type[BaseModel]], ...] = (
    ("notifications/roots/list_changed", types.NotificationParams),
    ("notifications/progress", types.ProgressNotificationParams),
)


class ProxyFailure(Exception):
    """The proxy cannot start: its message says why."""


def raw_params(ctx: ServerRequestContext[Any, Any]) -> dict[str, Any] | None:
    """The request's params as the wire carried them."""
    return None if ctx.params is None else dict(ctx.params)


class Client:
    """The client, as the real server reaches it through the proxy: its
    notifications and requests go on to the client's session once the
    client finished initializing (notifications before are dropped,
    requests refused)."""

    def __init__(self) -> None:
        self.session: ServerSession | None = None

    async def notify(self, notification: types.ServerNotification) -> None:
        if self.session is not None:
            await self.session.send_notification(notification)

    async def _ask(
        self, request: types.ServerRequest, result_type: type[ResultT]
    ) -> ResultT | types.ErrorData:
        if self.session is None:
            return types.ErrorData(
                code=INTERNAL_ERROR, message="the client is not connected yet"
            )
        try:
            return await self.session.send_request(request, result_type)
        except MCPError as error:
            return error.error

    async def sample(
        self, _: ClientRequestContext, params: types.CreateMessageRequestParams
    ) -> types.CreateMessageResult | types.ErrorData:
        return await self._ask(
            types.CreateMessageRequest(params=params), types.CreateMessageResult
        )

    async def elicit(
        self, _: ClientRequestContext, params: types.ElicitRequestParams
    ) -> types.ElicitResult | types.ErrorData:
        return await self._ask(types.ElicitRequest(params=params), types.ElicitResult)

    async def list_roots(
        self, _: ClientRequestContext
    ) -> types.ListRootsResult | types.ErrorData:
        return await self._ask(types.ListRootsRequest(), types.ListRootsResult)


class Proxy:
    """The handlers of the client-facing server, and what they share: the
    guard, the session on the real server and its name."""

    def __init__(
        self, guard: Guard, upstream: Upstream, client: Client, deny_as: DenyAs
    ) -> None:
        self._guard = guard
        self._upstream = upstream
        self._client = client
        self._deny_as = deny_as
        self._server_name = ""

    # --- the real server ---------------------------------------------------

    async def initialize(self) -> types.InitializeResult:
        with anyio.fail_after(INITIALIZE_TIMEOUT_S):
            result = await self._upstream.session.initialize()
        self._server_name = result.server_info.name
        return result

    async def forward(
        self, method: str, params: dict[str, Any] | None
    ) -> dict[str, Any]:
        """Send a request to the real server; its raw result. An answer
        that does not fit the protocol becomes an internal error."""
        try:
            # The result as the server sent it: a TypeAdapter of a dict
            # (the SDK's bound asks for a model, its code takes any adapter).
            return await self._upstream.session.send_request(
                RawRequest(method=method, params=params),
                RAW_RESULT,  # type: ignore[type-var]
            )
        except ValidationError:
            raise MCPError(
                code=INTERNAL_ERROR,
                message=f"the server's answer to {method} is malformed",
            ) from None

    # --- deciding ----------------------------------------------------------

    async def decide(
        self, event_type: str, fields: dict[str, Any]
    ) -> tuple[Decision | None, str | None]:
        """The decision on one event and, when the message may not go
        ahead, the reason; a policy that cannot decide denies."""
        try:
            decision = await self._guard.acheck(
                event_type, fields, surface=messages.SURFACE
            )
        except Exception as error:  # noqa: BLE001 (fail-closed: any failure denies)
            return None, messages.evaluation_failure(error)
        if decision.permitted:
            return decision, None
        return decision, denial_message(decision)

    def denial_error(self, reason: str, decision: Decision | None) -> MCPError:
        return MCPError(
            code=messages.POLICY_DENIED,
            message=reason,
            data=messages.denial_error_data(decision),
        )

    # --- the guarded requests ----------------------------------------------

    async def call_tool(
        self, ctx: ServerRequestContext[Any, Any], _: types.CallToolRequestParams
    ) -> dict[str, Any]:
        params = raw_params(ctx) or {}
        fields = messages.tool_call_fields(params, self._server_name)
        decision, reason = await self.decide(messages.TOOL_CALL, fields)
        if reason is not None:
            if self._deny_as == "error":
                raise self.denial_error(reason, decision)
            return messages.denial_result(reason, decision)
        result = await self.forward("tools/call", params)
        if decision is not None and decision.verdict == "redact":
            return messages.redacted_tool_result(result)
        return result

    async def read_resource(
        self, ctx: ServerRequestContext[Any, Any], _: types.ReadResourceRequestParams
    ) -> dict[str, Any]:
        params = raw_params(ctx) or {}
        fields = messages.resource_read_fields(params, self._server_name)
        decision, reason = await self.decide(messages.RESOURCE_READ, fields)
        if reason is not None:
            # A resource has no error result of its own to carry the reason.
            raise self.denial_error(reason, decision)
        return await self.forward("resources/read", params)

    async def list_tools(
        self, ctx: ServerRequestContext[Any, Any], _: types.PaginatedRequestParams
    ) -> dict[str, Any]:
        result = await self.forward("tools/list", raw_params(ctx))
        tools = result.get("tools")
        if not isinstance(tools, list):
            return result
        listed = []
        for tool in tools:
            if not isinstance(tool, Mapping):
                continue
            fields = messages.tool_listed_fields(tool, self._server_name)
            reason = (await self.decide(messages.TOOL_LISTED, fields))[1]
            if reason is None:
                listed.append(tool)
        return {**result, "tools": listed}

    # --- everything else ---------------------------------------------------

    async def pass_request(
        self, ctx: ServerRequestContext[Any, Any], _: BaseModel
    ) -> dict[str, Any]:
        return await self.forward(ctx.method, raw_params(ctx))

    async def pass_notification(
        self, ctx: ServerRequestContext[Any, Any], _: BaseModel
    ) -> None:
        await self._upstream.session.send_notification(
            RawNotification(method=ctx.method, params=raw_params(ctx))  # type: ignore[arg-type]
        )

    async def client_initialized(
        self, ctx: ServerRequestContext[Any, Any], _: BaseModel
    ) -> None:
        self._client.session = ctx.session
        await self._upstream.session.send_notification(
            types.InitializedNotification(params=None)
        )

    def server(self, initialized: types.InitializeResult) -> Server[Any]:
        """The client-facing server, named after the real one."""
        info = initialized.server_info
        server: Server[Any] = Server(
            info.name,
            version=info.version,
            title=info.title,
            instructions=initialized.instructions,
        )
        server.add_request_handler(
            "tools/call", types.CallToolRequestParams, self.call_tool
        )
        server.add_request_handler(
            "resources/read", types.ReadResourceRequestParams, self.read_resource
        )
        server.add_request_handler(
            "tools/list", types.PaginatedRequestParams, self.list_tools
        )
        for method, params_type in FORWARDED_REQUESTS:
            server.add_request_handler(method, params_type, self.pass_request)
        for method, params_type in FORWARDED_NOTIFICATIONS:
            server.add_notification_handler(method, params_type, self.pass_notification)
        server.add_notification_handler(
            "notifications/initialized",
            types.NotificationParams,
            self.client_initialized,
        )
        return server


def initialization_options(
    initialized: types.InitializeResult,
) -> InitializationOptions:
    """What the proxy answers `initialize` with: the real server's identity
    and capabilities."""
    info = initialized.server_info
    return InitializationOptions(
        server_name=info.name,
        server_version=info.version,
        title=info.title,
        description=info.description,
        capabilities=initialized.capabilities,
        instructions=initialized.instructions,
        website_url=info.website_url,
        icons=info.icons,
    )


def build_guard(options: ProxyOptions) -> Guard:
    """The guard of the proxy; raises PolicyLoadError or OSError."""
    guard = Guard(options.policy, decision_log=options.log, shadow=options.shadow)
    for key, value in options.context.items():
        guard.set_context(key, value)
    return guard


def warn(text: str) -> None:
    print(f"corvanth-core mcp-proxy: {text}", file=sys.stderr, flush=True)


async def watch_server(upstream: Upstream, command: list[str]) -> None:
    """End the process once the real server is gone."""
    await upstream.ended.wait()
    # The client's pending requests fail with "connection closed": let
    # their errors reach it.
    await anyio.sleep(GRACE_S)
    warn(
        f"error: the MCP server ({' '.join(command)}) exited or closed its "
        "output; stopping"
    )
    sys.stdout.flush()
    # Not a cancellation: the thread reading the client's input cannot be
    # interrupted, and would keep the proxy alive until the client writes.
    os._exit(SERVER_ENDED)


async def serve(guard: Guard, options: ProxyOptions) -> int:
    """Run the proxy until the client closes its side."""
    client = Client()
    try:
        async with connect_upstream(options.command, client) as upstream:
            proxy = Proxy(guard, upstream, client, options.deny_as)
            try:
                initialized = await proxy.initialize()
            except (MCPError, TimeoutError) as error:
                raise ProxyFailure(
                    f"the MCP server ({' '.join(options.command)}) did not "
                    f"initialize: {error}"
                ) from None
            server = proxy.server(initialized)
            async with anyio.create_task_group() as tasks:
                tasks.start_soon(watch_server, upstream, options.command)
                async with stdio_server() as (read, write):
                    relay = Relay(read, write, "the client")
                    tasks.start_soon(relay.run)
                    await server.run(
                        relay.receive, write, initialization_options(initialized)
                    )
                tasks.cancel_scope.cancel()
    except OSError as error:
        raise ProxyFailure(
            f"cannot start the MCP server ({' '.join(options.command)}): {error}"
        ) from None
    return OK


def innermost(group: BaseExceptionGroup[BaseException]) -> BaseException:
    """The first exception inside nested groups: the transport's task
    groups wrap the failure that ended them."""
    error: BaseException = group
    while isinstance(error, BaseExceptionGroup):
        error = error.exceptions[0]
    return error


def run_proxy(options: ProxyOptions) -> int:
    """Run the proxy for `options` in this process; the exit code (a server
    that goes away ends the process itself). Raises ProxyFailure when it
    cannot start, PolicyLoadError for a policy that does not load."""
    guard = build_guard(options)
    try:
        return anyio.run(serve, guard, options)
    except BaseExceptionGroup as group:
        error = innermost(group)
        if isinstance(error, (ProxyFailure, OSError)):
            raise error from None
        raise
    finally:
        guard.close()
