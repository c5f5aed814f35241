"""A coding agent's tool set guarded by the example policy.

Each tool is an ordinary function decorated with `@guard.tool`: the guard
evaluates the call before the function runs, a denial raises PolicyDenied
instead of running it, and the policy's actions (Notify, Escalate, Log,
Tag) go to the handlers below. The tools only pretend to act, so the
script is safe to run; it prints what was allowed and what was denied.

    python examples/guarded_tools.py
"""

import logging
import pathlib
from collections.abc import Callable
from typing import Any

from corvanth_core import Decision, Guard, PolicyDenied

POLICY = pathlib.Path(__file__).with_name("coding_agent_guard.json")


def notify(args: dict[str, Any], decision: Decision) -> None:
    print(f"     notify {args['channel']}: {args['host']} ({decision.verdict})")


def ask_a_human(args: dict[str, Any], decision: Decision) -> bool:
    """The approval step: this reviewer refuses every escalation."""
    print(f"     escalation for {args['path']}: refused")
    return False


def make_guard() -> Guard:
    guard = Guard(POLICY, handlers={"Notify": notify, "Escalate": ask_a_human})
    guard.set_config("allowed_hosts", ["pypi.org", "github.com"])
    guard.set_config("secret_suffixes", [".env", ".pem", "id_rsa"])
    guard.set_context("session_id", "guarded-tools-demo")
    return guard


guard = make_guard()


# The policy reads `tool_call` events with the command at the top level,
# so the tools say which fields their calls make.
@guard.tool(fields=lambda command: {"tool": "shell", "command": command})
def shell(command: str) -> str:
    """Run a shell command (here: pretend to)."""
    return f"ran {command!r}"


@guard.tool("file_access", fields=lambda path: {"path": path, "mode": "read"})
def read_file(path: str) -> str:
    """Read a file (here: pretend to)."""
    return f"contents of {path}"


@guard.tool(
    fields=lambda path, content: {"tool": "editor", "path": path, "content": content}
)
def write_file(path: str, content: str) -> str:
    """Write a file; its result is redacted when the payload is large."""
    return f"wrote {len(content)} bytes to {path}"


@guard.tool(
    "web_request", fields=lambda host, method="GET": {"host": host, "method": method}
)
def fetch(host: str, method: str = "GET") -> str:
    """Send a request (here: pretend to)."""
    return f"{method} {host}: 200"


SESSION: list[tuple[Callable[..., str], tuple[Any, ...]]] = [
    (shell, ("pytest -q",)),
    (read_file, ("/work/app/settings.py",)),
    (fetch, ("pypi.org",)),
    (shell, ("rm -rf /work/app",)),
    (read_file, ("/etc/shadow",)),
    (fetch, ("paste.example.net", "POST")),
    (read_file, ("/work/app/.env",)),
    (write_file, ("/work/app/big.txt", "x" * 5000)),
    (shell, ("sudo reboot",)),
]


def main() -> None:
    logging.basicConfig(level=logging.WARNING)  # the Log action's records stay quiet
    denied = 0
    for tool, args in SESSION:
        shown = ", ".join(repr(arg) if len(repr(arg)) < 40 else "..." for arg in args)
        call = f"{tool.__name__}({shown})"
        try:
            result = tool(*args)
        except PolicyDenied as denial:
            denied += 1
            print(f"denied   {call}: {denial}")
        else:
            print(f"allowed  {call} -> {result}")
    print(f"{len(SESSION) - denied} allowed, {denied} denied")


if __name__ == "__main__":
    main()
