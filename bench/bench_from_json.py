"""Loading speed: PolicyEngine.from_json against json.loads of the same text.

Generates a policy of about 1 MB (hundreds of rules with nested
expressions), then times both in one run and prints MB/s and the ratio.
from_json builds the whole typed policy (and the engine, with its
evaluation plan); json.loads builds plain dicts. Also prints the heap one
loaded engine holds per rule (policy model, plan and rule index together, as
glibc's allocator counts them; the plan's own share is not reachable from
Python).

    python bench/bench_from_json.py
"""

import ctypes
import gc
import json
import random
import statistics
import timeit

from _corvanth_core import PolicyEngine

from corvanth_core import ir

TARGET_BYTES = 1_000_000


def expr(rng, depth):
    """A random nested expression of the policy language."""
    if depth == 0:
        choice = rng.randrange(4)
        if choice == 0:
            return ir.lit_int(rng.randrange(-(10**9), 10**9))
        if choice == 1:
            return ir.lit_str(f"value_{rng.randrange(10**6)}")
        if choice == 2:
            return ir.lit_float(rng.random() * 1000)
        return ir.field("args", f"field_{rng.randrange(50)}")
    choice = rng.randrange(4)
    if choice == 0:
        op = rng.choice(["And", "Or", "Eq", "Lt", "Add", "In"])
        return ir.binary(op, expr(rng, depth - 1), expr(rng, depth - 1))
    if choice == 1:
        return ir.unary("Not", expr(rng, depth - 1))
    if choice == 2:
        kind = rng.choice(["Contains", "Matches", "StartsWith"])
        return ir.predicate(kind, expr(rng, depth - 1), ir.lit_str("needle"))
    return ir.method(expr(rng, depth - 1), "to_lower", expr(rng, depth - 1))


def rule(rng, rule_id):
    return ir.rule(
        rule_id,
        on_events=["tool_call", "file_access"],
        condition=expr(rng, 5),
        verdicts=[ir.verdict("Deny", ir.lit_str("denied by rule"))],
        actions=[ir.action("Log", detail=expr(rng, 3), rule=ir.lit_int(rule_id))],
        severity="High",
    )


def make_policy_text():
    rng = random.Random(7)
    rules = []
    text = ""
    while len(text) < TARGET_BYTES:
        rules.extend(rule(rng, len(rules) + i) for i in range(50))
        doc = ir.policy(
            name="bench",
            severity="High",
            scopes=["agents"],
            rules=rules,
            meta=ir.metadata(source_hash=1, compiler_version="1"),
        )
        text = json.dumps(doc, indent=1)
    return text, len(rules)


def best_seconds(fn, repeat=15):
    return statistics.median(timeit.repeat(fn, number=1, repeat=repeat))


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def heap_in_use():
    """Bytes the C allocator has handed out (glibc's mallinfo2), or None."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def engine_bytes(text):
    """Heap held by one engine built from `text`, or None."""
    gc.collect()
    before = heap_in_use()
    engine = PolicyEngine.from_json(text)
    after = heap_in_use()
    del engine
    if before is None or after is None:
        return None
    return after - before


def main():
    text, rule_count = make_policy_text()
    megabytes = len(text.encode()) / 1e6
    ours = best_seconds(lambda: PolicyEngine.from_json(text))
    theirs = best_seconds(lambda: json.loads(text))
    print(f"policy: {megabytes:.2f} MB, {rule_count} rules")
    print(f"from_json:  {megabytes / ours:8.1f} MB/s")
    print(f"json.loads: {megabytes / theirs:8.1f} MB/s")
    print(f"ratio:      {theirs / ours:8.2f}x (goal: at least 1.5x)")
    held = engine_bytes(text)
    if held is None:
        print("engine heap per rule: not measurable here (no mallinfo2)")
    else:
        print(f"engine heap per rule: {held / rule_count:8.0f} bytes (model + plan)")


if __name__ == "__main__":
    main()
