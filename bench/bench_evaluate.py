"""Latency of PolicyEngine.evaluate against the floor of a bare C call.

The floor is a tiny C extension (bench/floor.c, compiled here on the fly)
that takes the same arguments as evaluate, walks the fields dict and returns
a new 7-key dict. Every case is measured in the same run as the floor, in
interleaved rounds (the floor, then each case, repeated); each case prints
its median latency per call and the median of its per-round ratios to the
floor, beside its goal. A noisy machine moves floor and case together, so the
ratios are the figures to compare.

    python bench/bench_evaluate.py [--rounds N]

Cases, all with a 5-field event of type tool_call:
  (a)  a policy with no rules
  (b)  the guard policy (bench/guard_policy.json), within
       its tool-call quota: one rule fires with a message and two actions
  twin the same policy written by hand in Python (GuardTwin below), which
       must give the same results as the engine on a dozen events
  (c)  (b) plus 1,000 rules that watch other event types
  (d)  5 state machines and 3 rate constraints on the evaluated type, with
       the window of the evaluated type holding about 10 and about 100,000
       entries
  (e)  the example guard policy past its quota: every call is denied
  (f)  snapshot() of the example guard engine after a dozen events,
       compared with (b)
"""

import argparse
import collections
import copy
import gc
import importlib.util
import itertools
import json
import pathlib
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

from _corvanth_core import PolicyEngine

from corvanth_core import ir

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
# The guard as it shipped before the example became source: a fixed
# policy, so the twin below and figures of earlier runs stay comparable
# whatever the shipped example becomes.
EXAMPLE = ROOT / "bench" / "guard_policy.json"
EVENT_TYPE = "tool_call"
FIELDS = {
    "tool": "shell",
    "command": "rm -rf /work/build",
    "path": "/work/app/main.py",
    "size": 1234,
    "interactive": False,
}
ALLOWED_HOSTS = ["pypi.org", "github.com"]
SECRET_SUFFIXES = [".env", ".pem"]
SESSION_ID = "session-42"
EXAMPLE_QUOTA = 500  # tool calls per hour in the example policy


# --- the floor -------------------------------------------------------------


def build_floor():
    """Compiles floor.c into a temporary folder and imports it."""
    out_dir = pathlib.Path(tempfile.mkdtemp(prefix="corvanth-floor-"))
    target = out_dir / ("_bench_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    cc = (sysconfig.get_config_var("CC") or "cc").split()
    subprocess.run(
        [
            *cc,
            "-O2",
            "-shared",
            "-fPIC",
            "-I" + sysconfig.get_paths()["include"],
            str(HERE / "floor.c"),
            "-o",
            str(target),
        ],
        check=True,
    )
    module_spec = importlib.util.spec_from_file_location("_bench_floor", target)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module.floor


# --- the hand-written twin of the example policy ---------------------------


class GuardTwin:
    """bench/guard_policy.json, written by hand in Python.

    Plain dict.get and if-statements, as a careful developer would write the
    same guard without an engine, returning the same result dict.
    """

    def __init__(self):
        self.config = {}
        self.context = {}
        self.reset()

    def reset(self):
        self.web_requests = collections.deque()  # RateLimit 3 per minute
        self.tool_calls = collections.deque()  # Quota 500 per hour
        self.exfiltration_state = 0  # 0 clean, 1 secret read, 2 violated

    def evaluate(self, event_type, fields=None):
        now_ms = time.time_ns() // 1_000_000
        start = time.perf_counter_ns()
        if fields is None:
            fields = {}
        verdict = "allow"
        reason = None
        triggered = []
        actions = []
        violations = []
        constraint_violations = []

        if event_type == "tool_call":
            window, kind, limit, window_ms = self.tool_calls, "Quota", 500, 3_600_000
        elif event_type == "web_request":
            window, kind, limit, window_ms = self.web_requests, "RateLimit", 3, 60_000
        else:
            window = None
        if window is not None:
            cutoff = now_ms - window_ms
            while window and window[0] < cutoff:
                window.popleft()
            window.append(now_ms)
            if len(window) > limit:
                current = len(window)
                verdict = "deny"
                reason = (
                    f"{kind} exceeded: {current} events in {window_ms}ms window"
                    f" (limit: {limit})"
                )
                constraint_violations.append(
                    {
                        "kind": kind,
                        "target": event_type,
                        "limit": limit,
                        "current": current,
                        "window_ms": window_ms,
                    }
                )

        is_secret = False
        if event_type == "tool_call":
            tool = fields.get("tool")
            command = fields.get("command")
            if (
                tool == "shell"
                and isinstance(command, str)
                and ("rm -rf" in command or command.strip().startswith("sudo "))
            ):
                triggered.append(1)
                verdict = "deny"
                reason = "Blocked destructive shell command: " + command
                actions.append({"verb": "Block", "args": {"tool": tool}})
                actions.append(
                    {
                        "verb": "Log",
                        "args": {
                            "command": command,
                            "session": self.context.get("session_id"),
                        },
                    }
                )
        elif event_type == "file_access":
            path = fields.get("path")
            secret_suffixes = self.config.get("secret_suffixes")
            is_secret = (
                isinstance(path, str)
                and isinstance(secret_suffixes, list)
                and any(
                    isinstance(s, str) and path.endswith(s) for s in secret_suffixes
                )
            )
            if (isinstance(path, str) and path.startswith("/etc/")) or is_secret:
                triggered.append(2)
                verdict = "deny"
                reason = "Access to sensitive file denied: " + path
                actions.append(
                    {
                        "verb": "Escalate",
                        "args": {"path": path, "mode": fields.get("mode")},
                    }
                )
        elif event_type == "web_request":
            host = fields.get("host")
            allowed = self.config.get("allowed_hosts")
            if not (isinstance(allowed, list) and host in allowed):
                triggered.append(3)
                if verdict == "allow":
                    verdict = "audit"
                    reason = (
                        "Request to unlisted host: " + host
                        if isinstance(host, str)
                        else ""
                    )
                actions.append(
                    {"verb": "Notify", "args": {"channel": "security", "host": host}}
                )
        if event_type == "tool_call" or event_type == "file_access":
            content = fields.get("content")
            if isinstance(content, str):
                size = len(content.encode())
            elif isinstance(content, (list, dict)):
                size = len(content)
            else:
                size = 0
            if size > 4096:
                triggered.append(4)
                if verdict == "allow":
                    verdict = "redact"
                    reason = "Large payload redacted"
                actions.append(
                    {"verb": "Tag", "args": {"label": "large_payload", "bytes": size}}
                )

        state = self.exfiltration_state
        if state == 2:
            violations.append(
                {
                    "proof": "no_exfiltration_proof",
                    "invariant": "no_network_after_secret_read",
                    "kind": "Never",
                    "message": "Invariant `no_network_after_secret_read` in proof"
                    " `no_exfiltration_proof` is violated",
                }
            )
        elif state == 0 and event_type == "file_access" and is_secret:
            self.exfiltration_state = 1
        elif state == 1 and event_type == "web_request":
            self.exfiltration_state = 2
            violations.append(
                {
                    "proof": "no_exfiltration_proof",
                    "invariant": "no_network_after_secret_read",
                    "kind": "Never",
                    "message": "Invariant `no_network_after_secret_read` in proof"
                    " `no_exfiltration_proof` violated by event `web_request`",
                }
            )
            if verdict != "deny":
                verdict = "deny"
                reason = (
                    "Invariant violation: no_network_after_secret_read"
                    " (no_exfiltration_proof)"
                )

        return {
            "verdict": verdict,
            "reason": reason,
            "triggered_rules": triggered,
            "eval_time_us": (time.perf_counter_ns() - start) // 1000,
            "actions": actions,
            "violations": violations,
            "constraint_violations": constraint_violations,
        }


# A dozen events that walk every rule, the state machine and the rate limit.
TWIN_EVENTS = [
    ("tool_call", FIELDS),
    ("tool_call", {"tool": "shell", "command": "  sudo rm /tmp/x\n"}),
    ("tool_call", {"tool": "shell", "command": "ls -la"}),
    ("tool_call", {"tool": "editor", "content": "x" * 5000}),
    ("tool_call", {"tool": "shell", "command": "rm -rf /", "content": ["a"] * 9}),
    ("file_access", {"path": "/etc/passwd", "mode": "r"}),
    ("file_access", {"path": "/work/app.py", "content": "é" * 2100}),
    ("file_access", {"path": "/home/u/.env"}),
    ("web_request", {"host": "pypi.org"}),
    ("web_request", {"host": "evil.example"}),
    ("web_request", {}),
    ("web_request", {"host": "github.com", "size": 10}),
    ("data_access", {"path": "/etc/shadow"}),
]


def without_time(result):
    trimmed = dict(result)
    del trimmed["eval_time_us"]
    return trimmed


def check_twin(engine, twin):
    """Asserts that the engine and its twin agree, event by event and past
    the quota."""
    for event_type, fields in TWIN_EVENTS:
        ours = without_time(engine.evaluate(event_type, fields))
        theirs = without_time(twin.evaluate(event_type, fields))
        assert list(ours) == list(theirs), (event_type, fields)
        assert ours == theirs, (event_type, fields, ours, theirs)
        for o, t in zip(ours["actions"], theirs["actions"]):
            assert list(o["args"]) == list(t["args"]), (o, t)
    engine.reset()
    twin.reset()
    for _ in range(EXAMPLE_QUOTA + 2):
        ours = without_time(engine.evaluate(EVENT_TYPE, FIELDS))
        theirs = without_time(twin.evaluate(EVENT_TYPE, FIELDS))
        assert ours == theirs, (ours, theirs)
    assert ours["constraint_violations"], "the quota was not reached"
    engine.reset()
    twin.reset()


# --- policies --------------------------------------------------------------


def policy(rules=(), constraints=(), machines=()):
    return ir.policy(
        name="bench", rules=rules, constraints=constraints, state_machines=machines
    )


def field(name):
    return ir.field(name)


def eq(left, right):
    return ir.binary("Eq", left, right)


def lit(text):
    return ir.lit_str(text)


def example_document():
    return json.loads(EXAMPLE.read_text())


def with_other_rules(document, count=1000):
    """The document plus `count` rules, each watching an event type of its
    own that is never evaluated."""
    document = copy.deepcopy(document)
    for i in range(count):
        document["rules"].append(
            ir.rule(
                10_000 + i,
                on_events=[f"other_event_{i}"],
                condition=eq(field("tool"), lit(f"tool_{i}")),
                verdicts=[ir.verdict("Deny", lit("no"))],
                actions=[ir.action("Log", tool=field("tool"))],
            )
        )
    return document


def stateful_document():
    """5 machines stepping on tool_call and 3 constraints.

    The constraints have huge limits and hour-long windows, so every event
    stays in the window and none is denied. Only the last constraint per
    target is enforced, so the three use three targets and the one on
    tool_call is the one consulted.
    """
    machines = [
        ir.machine(
            f"proof_{i}",
            f"inv_{i}",
            "Always",
            states=[ir.state("a"), ir.state("b", state_id=1)],
            transitions=[
                ir.transition(
                    0, 1, ir.predicate_guard(eq(field("tool"), lit("shell")))
                ),
                ir.transition(1, 0, ir.negated_guard(eq(field("tool"), lit("never")))),
            ],
            machine_id=i,
        )
        for i in range(5)
    ]
    constraints = [
        ir.constraint(t, 10**12, 3_600_000)
        for t in ("web_request", "file_access", "tool_call")
    ]
    return policy(constraints=constraints, machines=machines)


def configured(target):
    """Gives an engine or the twin the configuration the example reads."""
    target.set_config("allowed_hosts", ALLOWED_HOSTS)
    target.set_config("secret_suffixes", SECRET_SUFFIXES)
    target.set_context("session_id", SESSION_ID)
    return target


def engine_of(document):
    return configured(PolicyEngine.from_json(json.dumps(document)))


def twin():
    guard = GuardTwin()
    guard.set_config = guard.config.__setitem__
    guard.set_context = guard.context.__setitem__
    return configured(guard)


# --- timing ----------------------------------------------------------------


def time_calls(call, number):
    """Nanoseconds taken by `number` calls of call(EVENT_TYPE, FIELDS)."""
    loop = itertools.repeat(None, number)
    start = time.perf_counter_ns()
    for _ in loop:
        call(EVENT_TYPE, FIELDS)
    return time.perf_counter_ns() - start


class Case:
    """One benchmark case: `call` timed in `batches` batches of `number`
    calls per round, with `prepare` run untimed before each batch."""

    def __init__(self, label, goal, call, number, batches=1, prepare=None):
        self.label = label
        self.goal = goal
        self.call = call
        self.number = number
        self.batches = batches
        self.prepare = prepare
        self.ns = []  # per call, one entry per round
        self.ratios = []  # to the floor of the same round

    def run_round(self):
        elapsed = 0
        for _ in range(self.batches):
            if self.prepare is not None:
                self.prepare()
            elapsed += time_calls(self.call, self.number)
        return elapsed / (self.number * self.batches)


def reset_and_fill(engine, entries):
    def prepare():
        engine.reset()
        time_calls(engine.evaluate, entries)

    return prepare


def build_cases(floor):
    example = example_document()
    guard = engine_of(example)
    guard_twin = twin()
    check_twin(guard, guard_twin)
    check_twin(engine_of(with_other_rules(example)), twin())

    past_quota = engine_of(example)
    time_calls(past_quota.evaluate, EXAMPLE_QUOTA)
    assert past_quota.evaluate(EVENT_TYPE, FIELDS)["constraint_violations"]

    stateful_small = engine_of(stateful_document())
    stateful_large = engine_of(stateful_document())
    time_calls(stateful_large.evaluate, 100_000)

    # The example allows 500 tool calls an hour: (b), its twin and (c) are
    # reset before each batch so that every timed call stays within it.
    within_quota = EXAMPLE_QUOTA - 100
    cases = [
        Case("floor (bare C call)", "1.0x", floor, 10000),
        Case("(a) empty policy", "<= 1.3x", engine_of(policy()).evaluate, 10000),
        Case(
            "(b) example guard policy",
            "<= 3x and <= 0.9x its twin",
            guard.evaluate,
            within_quota,
            batches=8,
            prepare=guard.reset,
        ),
        Case(
            "    its hand-written Python twin",
            "(to beat)",
            guard_twin.evaluate,
            within_quota,
            batches=8,
            prepare=guard_twin.reset,
        ),
    ]
    other = engine_of(with_other_rules(example))
    cases.append(
        Case(
            "(c) (b) + 1,000 rules on other types",
            "within 5% of (b)",
            other.evaluate,
            within_quota,
            batches=8,
            prepare=other.reset,
        )
    )
    cases.append(
        Case(
            "(d) 5 machines + 3 limits, window ~10",
            "<= 4x, flat",
            stateful_small.evaluate,
            10,
            batches=100,
            prepare=reset_and_fill(stateful_small, 10),
        )
    )
    cases.append(
        Case(
            "(d) 5 machines + 3 limits, window ~100,000",
            "<= 4x, flat",
            stateful_large.evaluate,
            1000,
        )
    )
    cases.append(Case("(e) example past its quota", "<= 4x", past_quota.evaluate, 4000))
    snapshotted = engine_of(example)
    for event_type, fields in TWIN_EVENTS:
        snapshotted.evaluate(event_type, fields)
    cases.append(
        Case(
            "(f) snapshot() of the example",
            "<= 3x (b)",
            lambda _event_type, _fields: snapshotted.snapshot(),
            2000,
        )
    )
    return cases


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=31)
    rounds = parser.parse_args().rounds

    cases = build_cases(build_floor())
    gc.collect()
    gc.disable()  # as timeit does: a collection lands in one case only
    try:
        for _ in range(rounds):
            floor_ns = None
            for case in cases:
                ns = case.run_round()
                floor_ns = floor_ns or ns
                case.ns.append(ns)
                case.ratios.append(ns / floor_ns)
    finally:
        gc.enable()

    print(
        f"Python {sys.version.split()[0]}; {rounds} interleaved rounds;"
        " median ns per call and median of the per-round ratios to the floor"
    )
    print(f"{'case':<44} {'ns/call':>8} {'x floor':>8}   goal")
    for case in cases:
        print(
            f"{case.label:<44} {statistics.median(case.ns):8.0f}"
            f" {statistics.median(case.ratios):7.2f}x   {case.goal}"
        )
    b, twin_case, c = cases[2], cases[3], cases[4]
    b_vs_twin = statistics.median(x / y for x, y in zip(b.ratios, twin_case.ratios))
    c_vs_b = statistics.median(x / y for x, y in zip(c.ratios, b.ratios))
    d_small, d_large = cases[5], cases[6]
    d_flat = statistics.median(x / y for x, y in zip(d_large.ratios, d_small.ratios))
    print(f"(b) / twin: {b_vs_twin:.2f} (goal at most 0.90)")
    print(f"(c) / (b):  {c_vs_b:.2f} (goal at most 1.05)")
    print(f"(d) ~100,000 / ~10: {d_flat:.2f} (flat: about 1)")
    f_vs_b = statistics.median(x / y for x, y in zip(cases[8].ratios, b.ratios))
    print(f"(f) / (b):  {f_vs_b:.2f} (goal at most 3)")


if __name__ == "__main__":
    main()
