"""Growth of the maps the engine fills key by key: time per doubling of n.

Each path fills one map with n distinct keys, and n doubles from 10,000 up
to --max-n (1,280,000 by default, past a million). A map that grows in
amortised constant time per key about doubles its time per doubling of n;
the goal is at most 2.5x per doubling. The paths:

  load         PolicyEngine.from_json of a policy whose n constraints have n
               distinct targets (the engine's table of rate windows)
  set_context  n calls of set_context, each with a new key
  set_config   n calls of set_config, each with a new key
  restore      restore() of a snapshot whose context holds one n-entry map

Rounds are interleaved (every path at every n, then again), and each
doubling prints the median over rounds of its per-round ratio, so a noisy
machine moves both sides of a ratio together. A path whose single
measurement passes --cap seconds stops growing, so the quadratic cost of a
slow build shows without waiting for it.

    python bench/bench_maps.py [--rounds N] [--max-n N] [--cap SECONDS]
"""

import argparse
import gc
import json
import statistics
import sys
import time
from collections.abc import Callable

from _corvanth_core import PolicyEngine

GOAL_PER_DOUBLING = 2.5


def policy_json(constraints: int) -> str:
    """A policy with `constraints` rate limits, each on its own target."""
    doc = {
        "name": "maps",
        "severity": "Low",
        "scopes": [],
        "rules": [],
        "constraints": [
            {
                "kind": "RateLimit",
                "target": f"tool_{i}",
                "limit": 10,
                "window_millis": 60_000,
            }
            for i in range(constraints)
        ],
        "state_machines": [],
        "metadata": {"annotations": [], "source_hash": 0, "compiler_version": "x"},
    }
    return json.dumps(doc)


def time_load(n: int) -> float:
    text = policy_json(n)
    start = time.perf_counter()
    PolicyEngine.from_json(text)
    return time.perf_counter() - start


def time_setter(name: str) -> Callable[[int], float]:
    def run(n: int) -> float:
        engine = PolicyEngine.from_json(policy_json(0))
        setter = getattr(engine, name)
        keys = [f"session_{i}" for i in range(n)]
        start = time.perf_counter()
        for key in keys:
            setter(key, 1)
        return time.perf_counter() - start

    return run


def time_restore(n: int) -> float:
    engine = PolicyEngine.from_json(policy_json(0))
    engine.set_context("sessions", {f"session_{i}": i for i in range(n)})
    data = engine.snapshot()
    fresh = PolicyEngine.from_json(policy_json(0))
    start = time.perf_counter()
    fresh.restore(data)
    return time.perf_counter() - start


PATHS: dict[str, Callable[[int], float]] = {
    "load": time_load,
    "set_context": time_setter("set_context"),
    "set_config": time_setter("set_config"),
    "restore": time_restore,
}


def sizes(max_n: int) -> list[int]:
    out = [10_000]
    while out[-1] * 2 <= max_n:
        out.append(out[-1] * 2)
    return out


def measure(rounds: int, max_n: int, cap: float) -> dict[str, list[list[float]]]:
    """times[path][round][i]: the seconds of path at sizes(max_n)[i]."""
    ns = sizes(max_n)
    limit = {path: len(ns) for path in PATHS}
    times: dict[str, list[list[float]]] = {path: [] for path in PATHS}
    for _ in range(rounds):
        for path, run in PATHS.items():
            row: list[float] = []
            for n in ns[: limit[path]]:
                gc.collect()
                seconds = run(n)
                row.append(seconds)
                if seconds > cap:
                    limit[path] = len(row)
                    break
            times[path].append(row)
    for path in PATHS:  # every round as long as the shortest
        shortest = min(len(row) for row in times[path])
        times[path] = [row[:shortest] for row in times[path]]
    return times


def report(times: dict[str, list[list[float]]], max_n: int) -> bool:
    ns = sizes(max_n)
    within = True
    for path, rows in times.items():
        print(f"\n{path}")
        print(f"  {'n':>9}  {'median s':>9}  {'x per doubling':>14}")
        for i in range(len(rows[0])):
            median = statistics.median(row[i] for row in rows)
            if i == 0:
                print(f"  {ns[i]:>9,}  {median:>9.4f}")
                continue
            ratio = statistics.median(row[i] / row[i - 1] for row in rows)
            mark = "" if ratio <= GOAL_PER_DOUBLING else "  over the goal"
            within = within and ratio <= GOAL_PER_DOUBLING
            print(f"  {ns[i]:>9,}  {median:>9.4f}  {ratio:>13.2f}x{mark}")
    print(f"\ngoal: at most {GOAL_PER_DOUBLING}x per doubling")
    return within


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--max-n", type=int, default=1_280_000)
    parser.add_argument("--cap", type=float, default=30.0)
    args = parser.parse_args()
    within = report(measure(args.rounds, args.max_n, args.cap), args.max_n)
    return 0 if within else 1


if __name__ == "__main__":
    sys.exit(main())
