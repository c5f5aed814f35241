"""Every member that walks the values an engine holds, on small thread stacks.

Each case runs in an interpreter of its own (a crash fails one row, not the
run): an engine holding a context value nested `depth` levels deep (built
on the main thread), then one member called on a thread with the given
stack (or on the main thread with a raised recursion limit). A member must
complete or raise the stack guard's RecursionError, and the engine's
snapshot, taken on the main thread afterwards, must not have changed.
Dropping an engine cannot raise, so it must complete everywhere.
"""

import json
import subprocess
import sys
import textwrap

import pytest
from helpers import scale_main_stack, scaled_stack

HELD_TOO_DEEP = (
    "maximum recursion depth exceeded: the engine's context or configuration "
    "is nested too deeply for this thread's stack"
)
RESTORE_TOO_DEEP = (
    "maximum recursion depth exceeded: the snapshot has values nested {} levels "
    "deep, more than this thread's stack has room for; restore it on a thread "
    "with a larger stack (threading.stack_size)"
)

CASE = textwrap.dedent(
    """
    import copy, json, pickle, struct, sys, threading
    from _corvanth_core import PolicyEngine

    member, kind, depth, stack = sys.argv[1:5]
    depth = int(depth)
    POLICY = json.dumps({
        "name": "p", "severity": "Low", "scopes": [], "rules": [],
        "constraints": [], "state_machines": [],
        "metadata": {"annotations": [], "source_hash": 0,
                     "compiler_version": "x"},
    })

    def deep(levels):
        value = 1
        for _ in range(levels):
            value = [value] if kind == "list" else {"k": value}
        return value

    def fnv1a(data):
        h = 0xCBF29CE484222325
        for byte in data:
            h = ((h ^ byte) * 0x100000001B3) % 2**64
        return h

    def crafted(engine, levels):
        # A well-formed snapshot, checksum and all, whose context holds one
        # value `levels` deep: what anyone can write without the engine.
        tag = {"list": b"\\x06", "dict": b"\\x07"}[kind]
        key = struct.pack("<Q", 1) + b"k"
        count = struct.pack("<Q", 1)
        inner = b"\\x00"
        for _ in range(levels):
            inner = tag + count + (key if kind == "dict" else b"") + inner
        body = struct.pack("<QQQ", 0, 0, 0) + count + key + inner
        body += struct.pack("<Q", 0)
        head = engine.snapshot()[:32]
        total = len(head) + len(body) + 8
        data = head[:16] + struct.pack("<Q", total) + head[24:] + body
        return data + struct.pack("<Q", fnv1a(data))

    engine = PolicyEngine.from_json(POLICY)
    holder = [PolicyEngine.from_json(POLICY)]
    if member == "restore-crafted":
        data = crafted(engine, depth)
    else:
        engine.set_context("k", deep(depth))
        holder[0].set_context("k", deep(depth))
    before = engine.snapshot()

    def call():
        if member == "snapshot":
            engine.snapshot()
        elif member == "restore":
            engine.restore(before)
        elif member == "restore-crafted":
            engine.restore(data)
        elif member == "copy":
            copy.copy(engine)
        elif member == "deepcopy":
            copy.deepcopy(engine)
        elif member == "pickle":
            pickle.loads(pickle.dumps(engine))
        elif member == "explain":
            engine.explain("t")
        elif member == "evaluate":
            engine.evaluate("t")
        elif member == "set_context":
            engine.set_context("other", 1)
            engine.set_context("other", None)
        elif member == "drop":
            holder.pop()  # the engine and its values go on this thread

    outcome = []
    def run():
        try:
            call()
            outcome.append("ok")
        except RecursionError as error:
            outcome.append(str(error))

    if stack == "main":
        sys.setrecursionlimit(10**6)
        run()
    else:
        threading.stack_size(int(stack) * 1024)
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
    after = engine.snapshot()
    # Only a refusal must leave every member's engine as it was.
    mutates = member in ("evaluate", "set_context", "restore-crafted")
    changed = after != before and not (mutates and outcome == ["ok"])
    print(json.dumps({"outcome": outcome[0], "changed": changed}))
    """
)

MEMBERS = [
    "snapshot",
    "restore",
    "copy",
    "deepcopy",
    "pickle",
    "explain",
    "evaluate",
    "set_context",
    "drop",
]

# (stack in KiB or "main", depth, whether the guard lets depth through): by
# the guard's own rule, 1000 levels fit only the main thread's stack, and
# 100 levels a 128 KiB one.
STACKS = [
    (32, 1000, False),
    (64, 1000, False),
    (128, 1000, False),
    (256, 1000, False),
    (128, 100, True),
    ("main", 1000, True),
]


def run_case(member, kind, depth, stack):
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            CASE,
            member,
            kind,
            str(depth),
            str(scaled_stack(stack)),
        ],
        capture_output=True,
        preexec_fn=scale_main_stack,
        text=True,
        timeout=120,
        check=False,
    )
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    return json.loads(done.stdout)


def expected_outcome(member, depth, fits):
    if fits or member == "drop":
        return "ok"
    return RESTORE_TOO_DEEP.format(depth) if member == "restore" else HELD_TOO_DEEP


@pytest.mark.parametrize("kind", ["list", "dict"])
@pytest.mark.parametrize(
    "stack, depth, fits", STACKS, ids=[f"{s}-{d}" for s, d, _ in STACKS]
)
@pytest.mark.parametrize("member", MEMBERS)
def test_member_completes_or_refuses_on_any_stack(member, kind, stack, depth, fits):
    result = run_case(member, kind, depth, stack)
    expected = expected_outcome(member, depth, fits)
    assert result == {"outcome": expected, "changed": False}


# Decoding 500 levels needs more than 256 KiB of stack by the guard's rule;
# the main thread's stack holds it.
CRAFTED = [(32, False), (64, False), (128, False), (256, False), ("main", True)]


@pytest.mark.parametrize("kind", ["list", "dict"])
@pytest.mark.parametrize("stack, fits", CRAFTED)
def test_crafted_deep_snapshot_is_refused_before_it_is_built(kind, stack, fits):
    result = run_case("restore-crafted", kind, 500, stack)
    expected = "ok" if fits else RESTORE_TOO_DEEP.format(500)
    assert result == {"outcome": expected, "changed": False}


CALLED_DEEP = textwrap.dedent(
    """
    import json, sys
    from _corvanth_core import PolicyEngine
    engine = PolicyEngine.from_json(json.dumps({
        "name": "p", "severity": "Low", "scopes": [], "rules": [],
        "constraints": [], "state_machines": [],
        "metadata": {"annotations": [], "source_hash": 0,
                     "compiler_version": "x"},
    }))
    value = 1
    for _ in range(1000):
        value = {"k": value}

    def nested(frames):
        if frames:
            return nested(frames - 1)
        engine.set_context("k", value)
        return "ok"

    print(nested(int(sys.argv[1])))
    """
)


@pytest.mark.parametrize("frames", [0, 900])
def test_nesting_limit_does_not_depend_on_the_callers_frames(frames):
    # At the default recursion limit, however deep the caller is.
    done = subprocess.run(
        [sys.executable, "-c", CALLED_DEEP, str(frames)],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    assert (done.returncode, done.stdout.strip()) == (0, "ok"), done.stderr[-2000:]
