"""Replays a scripted coding-agent session through the example guard policy.

Each step is one action the agent wants to take. The host asks the engine
for a verdict before carrying it out and prints what the engine decided.

    python examples/replay_session.py
"""

import pathlib

from _corvanth_core import PolicyEngine

from corvanth_core import EvaluationResult

POLICY = pathlib.Path(__file__).with_name("coding_agent_guard.json")

SESSION = [
    ("tool_call", {"tool": "shell", "command": "pytest -q"}),
    ("file_access", {"path": "/work/app/settings.py", "mode": "read"}),
    ("web_request", {"host": "pypi.org", "method": "GET"}),
    ("tool_call", {"tool": "shell", "command": "rm -rf /work/app"}),
    ("file_access", {"path": "/etc/shadow", "mode": "read"}),
    ("web_request", {"host": "paste.example.net", "method": "POST"}),
    ("file_access", {"path": "/work/app/.env", "mode": "read"}),
    ("web_request", {"host": "pypi.org", "method": "GET"}),
    ("tool_call", {"tool": "editor", "content": "x" * 5000}),
    ("web_request", {"host": "pypi.org", "method": "GET"}),
]


def describe(result: EvaluationResult) -> str:
    """One line for a result: verdict, reason, and what else the engine found."""
    parts = [f"{result['verdict']:<6}"]
    if result["reason"] is not None:
        parts.append(result["reason"])
    for action in result["actions"]:
        parts.append(f"[{action['verb']} {action['args']}]")
    for violation in result["violations"]:
        parts.append(f"[violation: {violation['message']}]")
    for limit in result["constraint_violations"]:
        parts.append(f"[{limit['kind']} {limit['current']}/{limit['limit']}]")
    return "  ".join(parts).rstrip()


def main() -> None:
    engine = PolicyEngine.from_json(POLICY.read_text())
    engine.set_config("allowed_hosts", ["pypi.org", "github.com"])
    engine.set_config("secret_suffixes", [".env", ".pem", "id_rsa"])
    engine.set_context("session_id", "demo-session-1")
    print(engine)
    for number, (event_type, fields) in enumerate(SESSION, start=1):
        result = engine.evaluate(event_type, fields)
        print(f"{number:>2}. {event_type:<12} {describe(result)}")
    print()
    print(engine.status(), end="")


if __name__ == "__main__":
    main()
