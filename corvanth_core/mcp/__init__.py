"""The policy-enforcing MCP proxy: an MCP server over stdio that starts the
real server as its child and puts a `Guard` between the two.

    corvanth-core mcp-proxy policy.yaml --log decisions.jsonl -- python server.py

Every message passes through unchanged except three: `tools/call` is
evaluated as event `tool_call` (denied calls never reach the server),
`resources/read` as `resource_read`, and each tool of a `tools/list` result
as `tool_listed` (hidden when denied). `messages` holds that mapping and the
answers given in the server's stead; `proxy` runs the two connections (it
needs the optional `mcp` package: `pip install 'corvanth-core[mcp]'`).

    from corvanth_core.mcp import ProxyOptions
    from corvanth_core.mcp.proxy import run_proxy

    run_proxy(ProxyOptions(policy="policy.yaml", command=["python", "server.py"]))
"""

from corvanth_core.mcp.options import DenyAs, ProxyOptions

__all__ = ["DenyAs", "ProxyOptions"]
