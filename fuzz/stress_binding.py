"""Stress run of the Python binding: random policies, random events and
random Python values for a given number of seconds, plus hostile callers
(re-entrant calls from conversion hooks, containers that change while being
read, deep nesting, several threads on one engine).

Meant for a sanitizer build, not for the test suite:

    LD_PRELOAD=$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libstdc++.so) \
    ASAN_OPTIONS=detect_leaks=0 PYTHONPATH=build-asan/core-module \
    python fuzz/stress_binding.py 180

The properties and strategies are those of the property tests, from
cases/policy_strategies.py; a failed check raises, a memory error or
undefined behaviour aborts the run.
"""

import json
import os
import random
import sys
import threading
import time
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "cases"))

from _corvanth_core import PolicyEngine
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from policy_strategies import (
    JSON_DEPTH_LIMIT,
    check_policy,
    check_result,
    check_round_trip,
    events,
    json_depth,
    policies,
    python_values,
)

from corvanth_core.ir import action, field, policy, ref, rule

BATCH = settings(
    max_examples=50,
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)
ECHO = policy(rules=[rule(actions=[action("Log", v=field("v"), c=ref("Context"))])])


def until(stop_at, body):
    """Runs the hypothesis-driven `body` in batches until `stop_at`; returns
    the number of examples run."""
    done = [0]

    @BATCH
    @given(data=body.strategy)
    def run(data):
        body(data)
        done[0] += 1

    while time.monotonic() < stop_at:
        run()
    return done[0]


def policies_body(data):
    doc, evs = data
    assume(json_depth(doc) < JSON_DEPTH_LIMIT)
    check_policy(doc, evs)


policies_body.strategy = st.tuples(policies, events)


def values_body(value):
    check_round_trip(value)


values_body.strategy = python_values


# --- hostile callers -----------------------------------------------------------


class Reenter:
    """Calls back into the engine while its own value is being converted."""

    def __init__(self, engine):
        self.engine = engine

    def __str__(self):
        self.engine.set_context("r", [1, "x"])
        self.engine.evaluate("t", {"v": 1})
        self.engine.status()
        repr(self.engine)
        return "reentered"


class Mutator:
    """Changes the dict or list that holds it while being converted."""

    def __init__(self, container):
        self.container = container

    def __str__(self):
        if isinstance(self.container, dict):
            if random.random() < 0.5:
                self.container[f"k{random.random()}"] = 1
            else:
                self.container.clear()
        else:
            del self.container[random.randrange(len(self.container) + 1) :]
            self.container.append(Mutator(self.container))
        return "mutated"


def hostile_round(engine):
    engine.evaluate("t", {"v": Reenter(engine), "w": [Reenter(engine)]})
    fields = {"a": 1, "b": 2, "c": 3}
    fields["b"] = Mutator(fields)
    try:
        engine.evaluate("t", fields)
    except RuntimeError:
        pass
    nested = {"v": {"x": 1, "y": 2}}
    nested["v"]["y"] = Mutator(nested["v"])
    try:
        engine.set_context("n", nested)
    except RuntimeError:
        pass
    items = [1, 2, 3, 4]
    items[1] = Mutator(items)
    check_result(engine.evaluate("t", {"v": items}))
    deep = None
    for _ in range(sys.getrecursionlimit() + 50):
        deep = [deep]
    try:
        engine.evaluate("t", {"v": deep})
    except RecursionError:
        pass
    wide = {str(i): [i, float(i), str(i), None] for i in range(2000)}
    check_result(engine.evaluate("t", {"v": wide}))
    engine.set_context("wide", wide)
    check_result(engine.evaluate("t"))
    engine.set_context("wide", None)


def threaded_round(engine):
    errors = []

    def worker(seed):
        rng = random.Random(seed)
        try:
            for _ in range(200):
                choice = rng.randrange(4)
                if choice == 0:
                    check_result(engine.evaluate("t", {"v": [Reenter(engine)]}))
                elif choice == 1:
                    engine.set_config("k", rng.random())
                elif choice == 2:
                    engine.reset()
                else:
                    engine.status()
        except (AssertionError, RuntimeError, TypeError, ValueError) as error:
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]


def hostile_until(stop_at):
    rounds = 0
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        while time.monotonic() < stop_at:
            engine = PolicyEngine.from_json(json.dumps(ECHO))
            hostile_round(engine)
            threaded_round(engine)
            rounds += 1
    finally:
        sys.setswitchinterval(switch)
    return rounds


def main():
    warnings.simplefilter("ignore")
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    share = seconds / 3
    start = time.monotonic()
    counts = {
        "random policies": until(start + share, policies_body),
        "random values": until(start + 2 * share, values_body),
        "hostile rounds": hostile_until(start + seconds),
    }
    elapsed = time.monotonic() - start
    print(f"{elapsed:.0f} s: " + ", ".join(f"{k} {v}" for k, v in counts.items()))


if __name__ == "__main__":
    main()
