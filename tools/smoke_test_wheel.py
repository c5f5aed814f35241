"""Smoke test of an installed wheel. `.ci/run` runs it with the interpreter
of a fresh virtual environment that holds only the wheel, from a directory
outside the checkout, so that nothing of the checkout can be imported:

    cd /tmp && /tmp/venv/bin/python CHECKOUT/tools/smoke_test_wheel.py [CHECKOUT/examples]

It checks that the package and the extension are the installed ones, that
their type information, metadata and package data came with them, that the
example policy shipped in the package, loaded from its JSON and from a
container, answers the demo session (`examples/replay_session.py`, when the
examples directory is given) with the demo's verdicts and reasons, and that
`corvanth-core demo` replays the shipped session to its known summary
without any file of the checkout.
"""

import importlib.metadata
import json
import pathlib
import subprocess
import sys
import sysconfig
import tempfile

import _corvanth_core

import corvanth_core

EXPECTED = [
    ("allow", None),
    ("allow", None),
    ("allow", None),
    ("deny", "Blocked destructive shell command: rm -rf /work/app"),
    ("deny", "Access to sensitive file denied: /etc/shadow"),
    ("audit", "Request to unlisted host: paste.example.net"),
    ("deny", "Access to sensitive file denied: /work/app/.env"),
    (
        "deny",
        "Invariant violation: no_network_after_secret_read (no_exfiltration_proof)",
    ),
    ("redact", "Large payload redacted"),
    ("deny", "RateLimit exceeded: 4 events in 60000ms window (limit: 3)"),
]


# What `corvanth-core demo --json` sums up for the shipped session.
DEMO_VERDICTS = {"allow": 559, "deny": 8, "audit": 1, "redact": 1}


def check(condition: bool, what: str) -> None:
    if not condition:
        sys.exit(f"wheel smoke test failed: {what}")


def installed_files() -> None:
    site = pathlib.Path(sysconfig.get_path("platlib")).resolve()
    for module in (corvanth_core, _corvanth_core):
        where = pathlib.Path(module.__file__ or "").resolve()
        check(where.is_relative_to(site), f"{module.__name__} imported from {where}")
    for typed in (
        "corvanth_core/py.typed",
        "_corvanth_core-stubs/py.typed",
        "corvanth_core/examples/coding_agent_guard.json",
        "corvanth_core/examples/coding_agent_session.jsonl",
    ):
        check((site / typed).is_file(), f"{typed} not installed")
    check((site / "_corvanth_core-stubs/__init__.pyi").is_file(), "stub not installed")


def metadata() -> None:
    dist = importlib.metadata.distribution("corvanth-core")
    check(
        dist.version == corvanth_core.__version__ == "0.1.0", f"version {dist.version}"
    )
    check(dist.metadata["License-Expression"] == "LicenseRef-Proprietary", "licence")
    check(
        (dist.read_text("licenses/LICENSE") or "").startswith("Copyright"),
        "licence file",
    )
    tags = [
        line
        for line in (dist.read_text("WHEEL") or "").splitlines()
        if line.startswith("Tag:")
    ]
    check(
        len(tags) == 1 and "-manylinux_" in tags[0],
        f"wheel tags {tags}",
    )
    print(tags[0])


def session(
    engine: corvanth_core.PolicyEngine, events: list[tuple[str, dict[str, object]]]
) -> list[tuple[str, str | None]]:
    """(verdict, reason) of each event of the demo, one second apart."""
    engine.set_config("allowed_hosts", ["pypi.org", "github.com"])
    engine.set_config("secret_suffixes", [".env", ".pem", "id_rsa"])
    engine.set_context("session_id", "demo-session-1")
    engine.reset_at(0)
    results = [engine.evaluate_at(1000 * n, t, f) for n, (t, f) in enumerate(events)]
    return [(r["verdict"], r["reason"]) for r in results]


def demo() -> None:
    """`corvanth-core demo` from the installed package alone."""
    done = subprocess.run(
        [sys.executable, "-m", "corvanth_core", "demo", "--json"],
        capture_output=True,
        text=True,
        check=False,
    )
    check(done.returncode == 0, f"demo exited {done.returncode}: {done.stderr}")
    summary = json.loads(done.stdout.splitlines()[-1])["summary"]
    check(summary["verdicts"] == DEMO_VERDICTS, f"demo summary {summary}")
    print(f"demo: {summary['events']} events, verdicts {summary['verdicts']}")


def main() -> None:
    installed_files()
    metadata()
    demo()
    shipped = pathlib.Path(sysconfig.get_path("platlib"), "corvanth_core", "examples")
    policy = shipped / "coding_agent_guard.json"
    from_json = corvanth_core.load(policy)
    check(from_json.diagnostics() == [], f"diagnostics {from_json.diagnostics()}")
    if len(sys.argv) < 2:
        return
    examples = pathlib.Path(sys.argv[1]).resolve()
    check(
        (examples / policy.name).read_bytes() == policy.read_bytes(),
        "the shipped policy differs from examples/",
    )
    sys.path.insert(0, str(examples))
    from replay_session import SESSION

    with tempfile.TemporaryDirectory() as scratch:
        container = pathlib.Path(scratch, "guard.halvoc")
        container.write_bytes(corvanth_core.pack(policy.read_text(encoding="utf-8")))
        from_container = corvanth_core.load(container)
    for engine in (from_json, from_container):
        answers = session(engine, SESSION)
        check(answers == EXPECTED, f"session answered {answers}")
    check(from_json.status() == from_container.status(), "status")
    print(f"{len(SESSION)} events answered as expected by {corvanth_core.__file__}")


if __name__ == "__main__":
    main()
