"""Builds the generated files of examples/ from the example policy's source,
`coding_agent_guard.yaml`:

- `coding_agent_guard.json`, the source compiled and written in the
  canonical form that `corvanth-core fmt` writes (so `fmt --check` passes
  on it);
- `coding_agent_guard.halvoc`: the policy's JSON text, unchanged, in a
  version-1 container (what `corvanth-core pack` writes);
- `coding_agent_session.jsonl`: a recorded hour of a coding agent's session,
  with timestamps, for `corvanth-core replay` and `bench`. The host sets the
  allowed hosts, the secret suffixes and the session id, then the agent
  works through a refactoring: mostly allowed tool calls and file reads, a
  destructive command and a sudo (denied), a system file (denied), an
  unlisted host (audited), a large write (redacted), a burst of web requests
  (the fourth within a minute is over the rate limit), its 501st tool call
  within the hour (over the quota), and finally a secret read followed by a
  web request (the invariant no_network_after_secret_read is violated) and,
  after a file read, another one to an allowed host (violated again: the
  breach repeats, and is denied again);
- the same policy and session in `corvanth_core/examples/`, the package
  data that `corvanth-core demo` replays from an installed wheel.

The output depends on nothing but this script and the policy's source.

    python tools/build_examples.py            # rewrite the files
    python tools/build_examples.py --check    # exit 1 if a committed file differs
"""

import argparse
import json
import pathlib
import random
import sys
from typing import Any

import corvanth_core
from corvanth_core.canonical import formatted_bytes

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
SHIPPED = ROOT / "corvanth_core" / "examples"
SOURCE = EXAMPLES / "coding_agent_guard.yaml"
POLICY = EXAMPLES / "coding_agent_guard.json"
CONTAINER = EXAMPLES / "coding_agent_guard.halvoc"
SESSION = EXAMPLES / "coding_agent_session.jsonl"

START_MS = 1795510800000  # 2026-11-24 09:00:00 UTC
QUOTA = 500  # tool calls an hour, the policy's quota
ROUTINE_COMMANDS = [
    "git status",
    "git diff --stat",
    "ls src/app",
    "pytest -q tests/test_api.py",
    "pytest -q -k billing",
    "ruff check src",
    "python -m mypy src/app",
    "grep -rn TODO src/app",
]
SOURCES = ["api.py", "billing.py", "models.py", "settings.py", "views.py"]


class Session:
    """The lines of a session being written, and its clock."""

    def __init__(self) -> None:
        self.lines: list[dict[str, Any]] = []
        self.now = START_MS
        self.tool_calls = 0
        self.rng = random.Random(20261124)

    def setting(self, **maps: dict[str, Any]) -> None:
        self.lines.append(dict(maps))

    def event(self, event_type: str, gap_ms: int, **fields: Any) -> None:
        self.now += gap_ms
        if event_type == "tool_call":
            self.tool_calls += 1
        self.lines.append(
            {"type": event_type, "fields": fields, "timestamp_ms": self.now}
        )

    def routine(self, count: int) -> None:
        """`count` ordinary steps: shell commands, edits and file reads."""
        for _ in range(count):
            gap = self.rng.randrange(2000, 6000)
            roll = self.rng.randrange(10)
            source = "/work/app/src/app/" + self.rng.choice(SOURCES)
            if roll < 6:
                command = self.rng.choice(ROUTINE_COMMANDS)
                self.event("tool_call", gap, tool="shell", command=command)
            elif roll < 8:
                content = f"def handler_{self.rng.randrange(100)}():\n    return None\n"
                self.event(
                    "tool_call", gap, tool="editor", path=source, content=content
                )
            else:
                self.event("file_access", gap, path=source, mode="read")


def build_session() -> str:
    """The session's JSON Lines text."""
    s = Session()
    s.setting(
        config={
            "allowed_hosts": ["pypi.org", "github.com"],
            "secret_suffixes": [".env", ".pem", "id_rsa"],
        },
        context={"session_id": "agent-7f3a"},
    )
    s.event("tool_call", 0, tool="shell", command="git status")
    s.event("file_access", 1200, path="/work/app/README.md", mode="read")
    s.event("web_request", 2500, host="pypi.org", method="GET")
    s.routine(60)
    s.event("tool_call", 3100, tool="shell", command="rm -rf build/ dist/")
    s.routine(40)
    s.event("file_access", 2800, path="/etc/passwd", mode="read")
    s.routine(40)
    s.event("web_request", 4000, host="docs.python.org", method="GET")
    s.routine(60)
    s.event(
        "tool_call",
        3300,
        tool="editor",
        path="/work/app/src/app/schema.sql",
        content="-- generated schema\n" + "CREATE TABLE t (id INTEGER);\n" * 150,
    )
    s.routine(60)
    # A burst of dependency look-ups: the fourth within a minute is over the limit.
    for host, gap in [
        ("pypi.org", 90_000),
        ("pypi.org", 4000),
        ("github.com", 6000),
        ("pypi.org", 5000),
    ]:
        s.event("web_request", gap, host=host, method="GET")
    s.routine(40)
    s.event("tool_call", 2600, tool="shell", command="  sudo apt-get install -y jq")
    # A test loop until the quota is reached, then one call over it.
    while s.tool_calls < QUOTA:
        s.event(
            "tool_call", 1000, tool="shell", command="pytest -q -x tests/test_api.py"
        )
    s.event("tool_call", 1000, tool="shell", command="pytest -q tests/test_api.py")
    s.event("file_access", 3000, path="/work/app/.env", mode="read")
    s.event("web_request", 5000, host="github.com", method="POST")
    s.event("file_access", 2000, path="/work/app/src/app/api.py", mode="read")
    s.event("web_request", 4000, host="pypi.org", method="GET")
    return "".join(json.dumps(line) + "\n" for line in s.lines)


def build() -> dict[pathlib.Path, bytes]:
    """Each generated file's path and its contents."""
    name = str(SOURCE.relative_to(ROOT))
    compiled = corvanth_core.compile(SOURCE.read_text(encoding="utf-8"), filename=name)
    engine = corvanth_core.PolicyEngine.from_json(compiled)
    policy = formatted_bytes(engine, container=False)
    session = build_session().encode("utf-8")
    return {
        POLICY: policy,
        CONTAINER: corvanth_core.pack(policy.decode("utf-8")),
        SESSION: session,
        SHIPPED / POLICY.name: policy,
        SHIPPED / SESSION.name: session,
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--check",
        action="store_true",
        help="exit 1 if a committed file differs from its build",
    )
    args = parser.parse_args(argv)
    stale = []
    for path, data in build().items():
        name = path.relative_to(ROOT)
        if args.check:
            if not path.exists() or path.read_bytes() != data:
                stale.append(name)
            continue
        path.write_bytes(data)
        print(f"wrote {name} ({len(data)} bytes)")
    for name in stale:
        print(
            f"{name} differs from its build: run python tools/build_examples.py",
            file=sys.stderr,
        )
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
