"""Latency of PolicyEngine.evaluate against the floor of a bare C call.

The floor is a tiny C extension (bench/floor.c, compiled here on the fly)
that takes the same arguments as evaluate, walks the fields dict and returns
a new 7-key dict. Each case prints its median latency per call and its ratio
to the floor measured in the same run.

    python bench/bench_evaluate.py

Cases:
  (a) a policy with no rules
  (b) the example guard policy (examples/coding_agent_guard.json), within
      its tool-call quota and past it
  (c) 50 rules that mostly do not match the event type
  (d) 5 state machines and 3 rate constraints on the evaluated event type,
      with the rate windows holding 10, 1,000 and 100,000 entries
All with a 5-field event.
"""

import importlib.util
import json
import pathlib
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import timeit

from _corvanth_core import PolicyEngine

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
FIELDS = {
    "tool": "shell",
    "command": "ls -la /work",
    "path": "/work/app/main.py",
    "size": 1234,
    "interactive": False,
}
GOALS = {"a": 1.5, "b": 4.0, "c": 4.0, "d": 5.0}


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


def median_ns(fn, number=20000, repeat=15, setup="pass"):
    """Median time of one call over `repeat` timings of `number` calls.

    `setup` runs before each timing and is not timed.
    """
    timings = timeit.repeat(fn, setup=setup, number=number, repeat=repeat)
    return statistics.median(timings) / number * 1e9


def policy(rules=(), constraints=(), machines=()):
    return {
        "name": "bench",
        "severity": "Low",
        "scopes": [],
        "rules": list(rules),
        "constraints": list(constraints),
        "state_machines": list(machines),
        "metadata": {"annotations": [], "source_hash": 0, "compiler_version": "x"},
    }


def field(name):
    return {"Ref": {"root": "Event", "fields": [name]}}


def eq(left, right):
    return {"Binary": {"op": "Eq", "left": left, "right": right}}


def lit(text):
    return {"Literal": {"String": text}}


def fifty_rules():
    """50 rules; 48 watch other event types, 2 watch tool_call."""
    rules = []
    for i in range(50):
        event = "tool_call" if i % 25 == 0 else f"other_event_{i}"
        rules.append(
            {
                "id": i,
                "on_events": [event],
                "condition": eq(field("tool"), lit(f"tool_{i}")),
                "verdicts": [{"verdict": "Deny", "message": lit("no")}],
                "actions": [],
                "severity": None,
            }
        )
    return policy(rules)


def stateful_policy():
    """5 machines stepping on tool_call and 3 constraints on tool_call.

    The constraints have huge limits and hour-long windows, so every event
    stays in the window and none is denied. Only the last constraint per
    target is enforced; the other two use other targets so that all three
    limiters exist and the one on tool_call is the one consulted.
    """
    machines = []
    for i in range(5):
        machines.append(
            {
                "id": i,
                "name": f"proof_{i}",
                "invariant_name": f"inv_{i}",
                "kind": "Always",
                "states": [
                    {"id": 0, "label": "a", "kind": "Active"},
                    {"id": 1, "label": "b", "kind": "Active"},
                ],
                "transitions": [
                    {
                        "from": 0,
                        "to": 1,
                        "guard": {"Predicate": eq(field("tool"), lit("shell"))},
                    },
                    {
                        "from": 1,
                        "to": 0,
                        "guard": {"NegatedPredicate": eq(field("tool"), lit("never"))},
                    },
                ],
                "initial_state": 0,
                "accepting_states": [],
                "violating_states": [],
                "deadline_millis": None,
            }
        )
    constraints = [
        {"kind": "RateLimit", "target": t, "limit": 10**12, "window_millis": 3_600_000}
        for t in ("web_request", "file_access", "tool_call")
    ]
    return policy(constraints=constraints, machines=machines)


def engine_of(doc):
    return PolicyEngine.from_json(json.dumps(doc))


def report(label, goal_key, ns, floor_ns):
    ratio = ns / floor_ns
    goal = GOALS[goal_key]
    mark = "ok" if ratio <= goal else "OVER"
    print(f"{label:<46} {ns:8.0f} ns   {ratio:5.2f}x floor   (goal {goal}x: {mark})")


def main():
    floor = build_floor()
    floor_ns = median_ns(lambda: floor("tool_call", FIELDS))
    print(f"Python {sys.version.split()[0]}; floor (bare C call): {floor_ns:.0f} ns")

    for label, key, engine in [
        ("(a) no rules", "a", engine_of(policy())),
        ("(c) 50 rules, mostly other event types", "c", engine_of(fifty_rules())),
    ]:
        ns = median_ns(lambda engine=engine: engine.evaluate("tool_call", FIELDS))
        report(label, key, ns, floor_ns)

    # The example allows 500 tool calls an hour. Below that quota the event
    # is allowed; past it every call is denied and the result carries the
    # quota's violation, so both states are shown.
    example = PolicyEngine.from_json(
        (ROOT / "examples" / "coding_agent_guard.json").read_text()
    )
    example.set_config("allowed_hosts", ["pypi.org"])
    example.set_config("secret_suffixes", [".env", ".pem"])
    ns = median_ns(
        lambda: example.evaluate("tool_call", FIELDS),
        number=400,
        repeat=50,
        setup=example.reset,
    )
    report("(b) example guard policy, within its quota", "b", ns, floor_ns)
    ns = median_ns(lambda: example.evaluate("tool_call", FIELDS))
    report("(b) example guard policy, past its quota", "b", ns, floor_ns)

    for entries in (10, 1_000, 100_000):
        engine = engine_of(stateful_policy())
        for _ in range(entries):
            engine.evaluate("tool_call", FIELDS)
        # Each timed call adds one entry; keep the batch small against the fill.
        number = max(10, min(2000, entries // 5))
        ns = median_ns(
            lambda engine=engine: engine.evaluate("tool_call", FIELDS),
            number=number,
            repeat=7,
        )
        report(f"(d) 5 machines + 3 limits, window ~{entries}", "d", ns, floor_ns)


if __name__ == "__main__":
    main()
