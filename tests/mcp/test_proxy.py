"""corvanth-core mcp-proxy end to end: the SDK's own client talks to the
proxy over real pipes, and the proxy to the SDK-written server of
upstream_server.py, which records every tool call it receives."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

pytest.importorskip("mcp")

import anyio
import mcp_types as types
from mcp import ClientSession, MCPError, StdioServerParameters, stdio_client

from corvanth_core.cli import main

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
POLICY = HERE / "policy.yaml"
SERVER = [sys.executable, str(HERE / "upstream_server.py")]
# The test server's tools, in the order it lists them.
TOOLS = ["echo", "read_file", "fetch", "count", "wait", "roots"]
DENIED_READ = "Reading system files is not allowed: /etc/passwd"

pytestmark = pytest.mark.anyio


@pytest.fixture
def anyio_backend():
    return "asyncio"


@pytest.fixture
def files(tmp_path):
    """Where the server records its calls and the proxy its decisions."""
    return {
        "calls": tmp_path / "calls.jsonl",
        "log": tmp_path / "decisions.jsonl",
        "pid": tmp_path / "server.pid",
        "env": {
            **os.environ,
            "CALLS_FILE": str(tmp_path / "calls.jsonl"),
            "PID_FILE": str(tmp_path / "server.pid"),
            "PYTHONPATH": str(ROOT),
        },
    }


def proxy_command(files, *options):
    return [
        sys.executable,
        "-m",
        "corvanth_core",
        "mcp-proxy",
        str(POLICY),
        "--log",
        str(files["log"]),
        *options,
        "--",
        *SERVER,
    ]


class Session:
    """An initialized SDK client session on a command, as a context."""

    def __init__(self, command, env, **callbacks):
        self.parameters = StdioServerParameters(
            command=command[0], args=command[1:], env=env
        )
        self.callbacks = callbacks

    async def __aenter__(self):
        self.transport = stdio_client(self.parameters)
        read, write = await self.transport.__aenter__()
        self.session = ClientSession(read, write, **self.callbacks)
        await self.session.__aenter__()
        self.initialized = await self.session.initialize()
        return self.session

    async def __aexit__(self, *exc_info):
        await self.session.__aexit__(*exc_info)
        await self.transport.__aexit__(*exc_info)


def calls_of(files):
    if not files["calls"].exists():
        return []
    return [json.loads(line) for line in files["calls"].read_text().splitlines()]


def records_of(files, event_type):
    """The decision-log records of events of `event_type`."""
    records = [json.loads(line) for line in files["log"].read_text().splitlines()]
    return [record for record in records if record.get("type") == event_type]


@pytest.mark.parametrize(
    ("options", "listed"),
    [
        (["--context", "role=user"], [tool for tool in TOOLS if tool != "wait"]),
        (["--context", "role=admin"], [*TOOLS]),
    ],
)
async def test_the_client_sees_the_servers_tools_less_the_denied(
    files, options, listed
):
    proxied = Session(proxy_command(files, *options), files["env"])
    async with proxied as session:
        tools = await session.list_tools()
    assert [tool.name for tool in tools.tools] == listed
    assert proxied.initialized.server_info.name == "files"
    assert proxied.initialized.instructions == "Reads files and fetches pages."
    assert [r["fields"]["tool"] for r in records_of(files, "tool_listed")] == TOOLS


# Calls the policy allows (fetch: a docs page is not redacted).
ALLOWED_CALLS = [
    ("echo", {"text": "hello"}),
    ("read_file", {"path": str(POLICY)}),
    ("fetch", {"url": "https://docs.example.com/guide"}),
]


async def test_allowed_calls_return_the_servers_results_unchanged(files):
    async with Session(SERVER, files["env"]) as direct:
        expected = [await direct.call_tool(tool, args) for tool, args in ALLOWED_CALLS]
    files["calls"].unlink()
    async with Session(proxy_command(files), files["env"]) as session:
        results = [await session.call_tool(tool, args) for tool, args in ALLOWED_CALLS]
    assert [r.model_dump() for r in results] == [r.model_dump() for r in expected]
    assert calls_of(files) == [{"tool": t, "arguments": a} for t, a in ALLOWED_CALLS]
    records = records_of(files, "tool_call")
    assert [r["fields"] for r in records] == [
        {"tool": t, "arguments": a, "server": "files"} for t, a in ALLOWED_CALLS
    ]
    assert {r["surface"] for r in records} == {"mcp-proxy"}


@pytest.mark.parametrize(
    ("options", "answer"),
    [
        ([], "result"),
        (["--deny-as", "error"], "error"),
    ],
)
async def test_a_denied_call_never_reaches_the_server(files, options, answer):
    async with Session(proxy_command(files, *options), files["env"]) as session:
        if answer == "error":
            with pytest.raises(MCPError) as raised:
                await session.call_tool("read_file", {"path": "/etc/passwd"})
            error = raised.value
            assert (error.code, error.message) == (-32003, DENIED_READ)
            decision_id = error.data["decision_id"]
            assert error.data["verdict"] == "deny"
        else:
            result = await session.call_tool("read_file", {"path": "/etc/passwd"})
            assert result.is_error is True
            assert [block.text for block in result.content] == [DENIED_READ]
            decision_id = result.meta["corvanth/decision_id"]
            assert result.meta["corvanth/verdict"] == "deny"
    assert calls_of(files) == []
    (record,) = records_of(files, "tool_call")
    assert record["decision_id"] == decision_id
    assert record["decision"]["verdict"] == "deny"


async def test_a_redacted_call_runs_and_its_text_is_hidden(files):
    async with Session(proxy_command(files), files["env"]) as session:
        result = await session.call_tool("fetch", {"url": "https://paste.example/x"})
    assert [block.text for block in result.content] == ["[redacted]"]
    assert result.structured_content == {"result": "[redacted]"}
    assert calls_of(files) == [
        {"tool": "fetch", "arguments": {"url": "https://paste.example/x"}}
    ]


async def test_resource_reads_are_decided(files):
    async with Session(proxy_command(files), files["env"]) as session:
        allowed = await session.read_resource("note://today")
        with pytest.raises(MCPError) as raised:
            await session.read_resource("note://secret")
    assert allowed.contents[0].text == "buy milk"
    assert (raised.value.code, raised.value.message) == (
        -32003,
        "Secret notes stay secret: note://secret",
    )
    records = records_of(files, "resource_read")
    assert [(r["fields"]["uri"], r["decision"]["verdict"]) for r in records] == [
        ("note://today", "allow"),
        ("note://secret", "deny"),
    ]
    assert raised.value.data["decision_id"] == records[1]["decision_id"]


async def test_progress_and_cancellation_pass_through(files):
    progress = []

    async def on_progress(done, total, message):
        progress.append((done, total, message))

    async with Session(proxy_command(files), files["env"]) as session:
        await session.call_tool("count", {"n": 3}, progress_callback=on_progress)
        with anyio.move_on_after(1.0):
            await session.call_tool("wait", {"seconds": 30})
        with anyio.fail_after(10):
            while {
                "tool": "wait-cancelled",
                "arguments": {"seconds": 30},
            } not in calls_of(files):
                await anyio.sleep(0.05)
    assert progress == [
        (1.0, 3.0, "step 1"),
        (2.0, 3.0, "step 2"),
        (3.0, 3.0, "step 3"),
    ]


async def test_the_servers_requests_reach_the_client(files):
    async def list_roots(context):
        return types.ListRootsResult(
            roots=[types.Root(uri="file:///work/project", name="project")]
        )

    proxied = Session(
        proxy_command(files), files["env"], list_roots_callback=list_roots
    )
    async with proxied as session:
        result = await session.call_tool("roots", {})
    assert result.content[0].text == "file:///work/project"


async def test_a_thousand_calls_in_a_row_lose_nothing(files):
    async with Session(proxy_command(files), files["env"]) as session:
        texts = [
            (await session.call_tool("echo", {"text": f"call {n}"})).content[0].text
            for n in range(1000)
        ]
    assert texts == [f"call {n}" for n in range(1000)]
    assert calls_of(files) == [
        {"tool": "echo", "arguments": {"text": f"call {n}"}} for n in range(1000)
    ]
    records = records_of(files, "tool_call")
    assert [r["fields"]["arguments"]["text"] for r in records] == texts
    assert len({r["decision_id"] for r in records}) == 1000
    replayed = await anyio.run_process(
        [
            sys.executable,
            "-m",
            "corvanth_core",
            "replay",
            "--check",
            str(POLICY),
            str(files["log"]),
        ],
        cwd=ROOT,
        check=False,
    )
    # 1,000 tool calls, and the 6 tools listed by the client's own tools/list.
    assert (replayed.returncode, replayed.stdout.decode()) == (
        0,
        "check: 1006 decisions, all match\n",
    )


def start_raw_proxy(files):
    """The proxy under a plain pipe, initialized by hand."""
    proxy = subprocess.Popen(
        proxy_command(files),
        env=files["env"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    send(
        proxy,
        {
            "jsonrpc": "2.0",
            "id": 1,
            "method": "initialize",
            "params": {
                "protocolVersion": "2025-11-25",
                "capabilities": {},
                "clientInfo": {"name": "raw", "version": "0"},
            },
        },
    )
    assert json.loads(proxy.stdout.readline())["id"] == 1
    send(proxy, {"jsonrpc": "2.0", "method": "notifications/initialized"})
    return proxy


def send(proxy, message):
    proxy.stdin.write(
        (message if isinstance(message, str) else json.dumps(message)) + "\n"
    )
    proxy.stdin.flush()


def test_killing_the_server_ends_the_proxy_within_a_second(files):
    proxy = start_raw_proxy(files)
    os.kill(int(files["pid"].read_text()), signal.SIGKILL)
    killed = time.monotonic()
    status = proxy.wait(timeout=5)
    elapsed = time.monotonic() - killed
    stderr = proxy.stderr.read()
    proxy.stdin.close()
    proxy.stdout.close()
    assert status == 1
    assert elapsed < 1.0
    assert "error: the MCP server" in stderr and "exited or closed its output" in stderr


# Malformed messages from the client and the error each is answered with.
MALFORMED = [
    ("this is not json", -32700),
    ('{"hello": "world"}', -32600),
    (
        '{"jsonrpc": "2.0", "id": 7, "method": "tools/call", "params": {"name": 3}}',
        -32602,
    ),
]


def test_a_malformed_message_gets_an_error_and_the_proxy_goes_on(files):
    proxy = start_raw_proxy(files)
    try:
        codes = []
        for line, _ in MALFORMED:
            send(proxy, line)
            codes.append(json.loads(proxy.stdout.readline())["error"]["code"])
        send(proxy, {"jsonrpc": "2.0", "id": 8, "method": "ping"})
        assert json.loads(proxy.stdout.readline())["id"] == 8
    finally:
        proxy.stdin.close()
        assert proxy.wait(timeout=10) == 0
        proxy.stdout.close()
        proxy.stderr.close()
    assert codes == [code for _, code in MALFORMED]
    assert calls_of(files) == []


@pytest.mark.parametrize(
    ("policy_text", "message"),
    [
        (
            "name: broken\nrules:\n  - on: tool_call\n    when: tool ==\n",
            "policy.yaml:4:",
        ),
        ("not a policy at all: [", "policy.yaml:"),
    ],
)
def test_a_policy_that_fails_to_load_stops_the_proxy_at_start(
    tmp_path, capsys, policy_text, message
):
    policy = tmp_path / "policy.yaml"
    policy.write_text(policy_text)
    assert main(["mcp-proxy", str(policy), "--", *SERVER]) == 2
    assert message in capsys.readouterr().err


def test_without_the_sdk_the_command_says_what_to_install(monkeypatch, capsys):
    for module in ("proxy", "relay", "upstream"):
        monkeypatch.delitem(sys.modules, f"corvanth_core.mcp.{module}", raising=False)
    monkeypatch.setitem(sys.modules, "mcp", None)
    assert main(["mcp-proxy", str(POLICY), "--", *SERVER]) == 2
    assert "pip install 'corvanth-core[mcp]'" in capsys.readouterr().err


@pytest.mark.parametrize(
    ("command", "message"),
    [
        (["false"], "mcp-proxy: error: the MCP server (false) did not initialize"),
        (
            ["/nonexistent/server"],
            "mcp-proxy: error: cannot start the MCP server (/nonexistent/server)",
        ),
    ],
)
def test_a_server_that_does_not_start_stops_the_proxy(capsys, command, message):
    assert main(["mcp-proxy", str(POLICY), "--", *command]) == 2
    assert message in capsys.readouterr().err


async def test_a_policy_that_cannot_decide_denies(tmp_path):
    from corvanth_core import DecisionLog, Guard
    from corvanth_core.mcp.proxy import Client, Proxy

    log = DecisionLog(tmp_path / "decisions.jsonl")
    log.close()  # every decision now fails to be recorded
    proxy = Proxy(Guard(str(POLICY), decision_log=log), None, Client(), "result")
    decision, reason = await proxy.decide("tool_call", {"tool": "echo"})
    assert decision is None
    assert reason == (
        "denied: the policy could not evaluate the message "
        "(ValueError: the decision log is closed)"
    )


async def test_a_shadow_policy_is_logged_and_never_enforced(files, tmp_path):
    candidate = tmp_path / "candidate.yaml"
    candidate.write_text(
        POLICY.read_text().replace('tool == "read_file" and', 'tool == "echo" or')
    )
    options = ["--shadow", str(candidate)]
    async with Session(proxy_command(files, *options), files["env"]) as session:
        result = await session.call_tool("echo", {"text": "still allowed"})
    assert result.content[0].text == "still allowed"
    (record,) = records_of(files, "tool_call")
    assert (record["decision"]["verdict"], record["shadow"]["decision"]["verdict"]) == (
        "allow",
        "deny",
    )
    assert record["shadow"]["differences"] == ["verdict", "reason", "triggered_rules"]


async def test_the_example_proxy_runs_and_its_log_replays(tmp_path):
    environment = {**os.environ, "PYTHONPATH": str(ROOT)}
    demo = await anyio.run_process(
        [sys.executable, str(ROOT / "examples" / "mcp_proxy_demo.py")],
        cwd=tmp_path,
        env=environment,
        check=False,
    )
    assert demo.returncode == 0, demo.stderr.decode()
    assert demo.stdout.decode().splitlines()[1:5] == [
        "tools: read_note, write_note, fetch",
        "read_note({'name': 'groceries'}) -> ok: milk, eggs, bread",
        (
            "read_note({'name': 'secret-wifi'}) -> denied: Secret notes are off "
            "limits: secret-wifi"
        ),
        "delete_note({'name': 'groceries'}) -> denied: Only an admin may delete notes",
    ]
    replayed = await anyio.run_process(
        [
            sys.executable,
            "-m",
            "corvanth_core",
            "replay",
            "--check",
            str(ROOT / "examples" / "mcp_proxy_guard.yaml"),
            "mcp_decisions.jsonl",
        ],
        cwd=tmp_path,
        env=environment,
        check=False,
    )
    assert replayed.stdout.decode() == "check: 10 decisions, all match\n"
