"""`corvanth-core mcp-proxy POLICY [--log FILE] [--shadow POLICY]
[--context KEY=VALUE]... [--deny-as result|error] -- SERVER_COMMAND [ARGS...]`:
serve MCP over stdio in front of the server SERVER_COMMAND starts, with
POLICY deciding on its tool calls, resource reads and listed tools.

    corvanth-core mcp-proxy guard.yaml --log decisions.jsonl \\
        --context user=ada -- python server.py

Exit codes: 0 when the client closed the connection, 1 when the server
went away, 2 when the proxy could not start (a policy that does not load,
a log that cannot be opened, a server that cannot be started or does not
initialize, the `mcp` package missing).
"""

import argparse

from _corvanth_core import PolicyEngine

from corvanth_core.cli._common import (
    PROGRAM,
    Commands,
    Parser,
    add_command,
    file_failure,
    load_failure,
    plain_failure,
)
from corvanth_core.errors import PolicyLoadError
from corvanth_core.guard.guard import checked_engine
from corvanth_core.loading import load

INSTALL_HINT = "pip install 'corvanth-core[mcp]'"
# The packages of the optional extra `mcp`.
SDK_PACKAGES = frozenset({"mcp", "mcp_types", "anyio", "pydantic"})


def register(commands: Commands) -> None:
    proxy = add_command(
        commands,
        "mcp-proxy",
        run,
        "Serve MCP over stdio in front of an MCP server, enforcing a policy "
        "on its tool calls, resource reads and tool list.",
        None,
    )
    proxy.add_argument("policy", metavar="POLICY", help="the policy enforced")
    add_options(proxy)
    proxy.add_argument(
        "command",
        nargs=argparse.REMAINDER,
        metavar="-- SERVER_COMMAND [ARGS...]",
        help="the MCP server to start (after --)",
    )


def add_options(parser: argparse.ArgumentParser) -> None:
    """The options, given before POLICY or between it and `--`."""
    parser.add_argument(
        "--log", metavar="FILE", default=None, help="append a decision log to FILE"
    )
    parser.add_argument(
        "--shadow",
        metavar="POLICY",
        default=None,
        help="a candidate policy evaluated beside POLICY, never enforced",
    )
    parser.add_argument(
        "--context",
        metavar="KEY=VALUE",
        action="append",
        default=[],
        type=context_item,
        help="a context value the policy reads (the caller's identity: the "
        "wire carries none); repeatable",
    )
    parser.add_argument(
        "--deny-as",
        choices=("result", "error"),
        default="result",
        help="answer a denied tool call with a tool result flagged isError "
        "(default) or with a JSON-RPC error",
    )


def server_command(args: argparse.Namespace) -> list[str]:
    """The server's command line, after reading the options written
    between POLICY and `--` into `args`."""
    rest = list(args.command)
    if "--" in rest:
        split = rest.index("--")
        before, command = rest[:split], rest[split + 1 :]
    else:
        before, command = [], rest
    # The options written after POLICY are in the remainder: argparse
    # stops reading options at its first word. Read into `args`, they keep
    # the values given before POLICY (defaults fill only what is missing).
    late_options = Parser(prog=f"{PROGRAM} mcp-proxy", add_help=False)
    add_options(late_options)
    late_options.parse_args(before, namespace=args)
    if not command:
        raise plain_failure(
            "mcp-proxy", "no server to start: give its command after --"
        )
    return command


def context_item(text: str) -> tuple[str, str]:
    """An argparse type: KEY=VALUE."""
    key, equals, value = text.partition("=")
    if not equals or not key:
        raise argparse.ArgumentTypeError(f"not KEY=VALUE: {text!r}")
    return key, value


def load_engine(path: str) -> PolicyEngine:
    """The engine of the policy at `path`, refused (exit 2) when it does
    not load or its diagnostics hold an error."""
    try:
        return checked_engine(load(path))
    except PolicyLoadError as error:
        raise load_failure(path, error) from None
    except OSError as error:
        raise file_failure(path, error) from None


def run(args: argparse.Namespace) -> int:
    command = server_command(args)
    # Imported here: the command line must work without the extra.
    try:
        from corvanth_core.mcp.proxy import ProxyFailure, run_proxy
    except ImportError as error:
        if error.name is None or error.name.partition(".")[0] not in SDK_PACKAGES:
            raise
        raise plain_failure(
            "mcp-proxy", f"the MCP SDK is not installed: {INSTALL_HINT}"
        ) from None
    from corvanth_core.mcp import ProxyOptions

    options = ProxyOptions(
        policy=load_engine(args.policy),
        shadow=None if args.shadow is None else load_engine(args.shadow),
        log=args.log,
        context=dict(args.context),
        deny_as=args.deny_as,
        command=command,
    )
    try:
        return run_proxy(options)
    except ProxyFailure as failure:
        raise plain_failure("mcp-proxy", str(failure)) from None
    except OSError as error:
        raise file_failure(args.log or "mcp-proxy", error) from None
