"""Robustness at the edges of the host: policy files read from pipes, the wall
clock far in the future, and deeply nested values on small thread stacks."""

import json
import os
import shutil
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from _corvanth_core import PolicyEngine
from halvoc import container
from helpers import scale_main_stack, scaled_stack

from corvanth_core.ir import policy

PAYLOAD = json.dumps(policy(name="piped"), separators=(",", ":"))
VALID = container(PAYLOAD)
SHORT = "Failed to load policy: I/O error: failed to fill whole buffer"

# --- from_file on pipes --------------------------------------------------------


def pieces(data, sizes):
    """`data` cut into pieces of the given sizes, the last size repeated."""
    out, pos, i = [], 0, 0
    while pos < len(data):
        size = sizes[min(i, len(sizes) - 1)]
        out.append(data[pos : pos + size])
        pos += size
        i += 1
    return out


class PipeWriter(threading.Thread):
    """Opens the pipe after `delay` seconds and writes `chunks` with `pause`
    seconds between them; with `hold`, keeps its end open until released."""

    def __init__(self, path, chunks, delay=0.0, pause=0.0, hold=False):
        super().__init__(daemon=True)
        self.path, self.chunks = path, chunks
        self.delay, self.pause = delay, pause
        self.release = threading.Event()
        if not hold:
            self.release.set()
        self.error = None

    def run(self):
        try:
            time.sleep(self.delay)
            with open(self.path, "wb", buffering=0) as pipe:
                for chunk in self.chunks:
                    pipe.write(chunk)
                    time.sleep(self.pause)
                self.release.wait(10)
        except BaseException as error:  # noqa: BLE001 (reported by the test)
            self.error = error


PIPE_CASES = [
    # (label, chunks, delay, pause, expected policy name or error text)
    ("whole at once", [VALID], 0.0, 0.0, "piped"),
    ("one byte at a time", pieces(VALID, [1]), 0.0, 0.001, "piped"),
    ("header split across pieces", pieces(VALID, [3, 5, 2, 40]), 0.0, 0.02, "piped"),
    ("writer opens a moment later", [VALID], 0.3, 0.0, "piped"),
    ("late writer, in pieces", pieces(VALID, [7, 64]), 0.2, 0.05, "piped"),
    ("writer stops in the header", [VALID[:6]], 0.0, 0.0, SHORT),
    ("writer stops in the payload", pieces(VALID[:-1], [20]), 0.0, 0.01, SHORT),
    ("writer sends nothing", [], 0.0, 0.0, SHORT),
]


@pytest.mark.parametrize(
    "label, chunks, delay, pause, expected",
    PIPE_CASES,
    ids=[case[0] for case in PIPE_CASES],
)
def test_from_file_reads_a_pipe_like_cat(
    tmp_path, label, chunks, delay, pause, expected
):
    path = tmp_path / "policy.halvoc"
    os.mkfifo(path)
    writer = PipeWriter(path, chunks, delay, pause)
    writer.start()
    if expected == SHORT:
        with pytest.raises(RuntimeError) as info:
            PolicyEngine.from_file(str(path))
        assert str(info.value) == SHORT
    else:
        assert PolicyEngine.from_file(str(path)).policy_name == expected
    writer.join(10)
    assert writer.error is None


def test_from_file_stops_at_the_end_of_the_container(tmp_path):
    # The writer keeps its end open after the container and more bytes:
    # reading ends with the container, not with the pipe.
    path = tmp_path / "policy.halvoc"
    os.mkfifo(path)
    writer = PipeWriter(path, [VALID + b"more"], hold=True)
    writer.start()
    try:
        assert PolicyEngine.from_file(str(path)).policy_name == "piped"
        assert writer.is_alive()
    finally:
        writer.release.set()
        writer.join(10)
    assert writer.error is None


READ_STDIN = textwrap.dedent(
    """
    import sys
    from _corvanth_core import PolicyEngine
    print(PolicyEngine.from_file(sys.argv[1]).policy_name)
    """
)


def test_from_file_reads_dev_stdin_fed_by_a_slow_pipe():
    reader = subprocess.Popen(
        [sys.executable, "-c", READ_STDIN, "/dev/stdin"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    for chunk in pieces(VALID, [5, 9, 30]):
        reader.stdin.write(chunk)
        reader.stdin.flush()
        time.sleep(0.02)
    out, err = reader.communicate(timeout=30)
    assert (out, err, reader.returncode) == (b"piped\n", b"", 0)


@pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash")
def test_from_file_reads_a_process_substitution(tmp_path):
    source = tmp_path / "policy.halvoc"
    source.write_bytes(VALID)
    script = tmp_path / "read.py"
    script.write_text(READ_STDIN)
    # The substituted command opens its end only after a pause.
    command = f'"{sys.executable}" "{script}" <(sleep 0.3; cat "{source}")'
    done = subprocess.run(
        ["bash", "-c", command],
        capture_output=True,
        timeout=30,
        env=os.environ,
        check=False,
    )
    assert (done.stdout, done.stderr, done.returncode) == (b"piped\n", b"", 0)


# --- the wall clock far from now ---------------------------------------------

FAKETIME = shutil.which("faketime")
# The directory of the shared helpers, for the probes run as scripts.
CASES_DIR = os.path.join(
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
    "cases",
)

# Runs under a faked wall clock, where Python's own time functions may fail
# (its nanosecond clock ends in 2262), so nothing here reads the time or
# sleeps: the engine's clock is seen through the event's timestamp, and a
# 5 ms deadline is awaited by evaluating until it fires.
CLOCK_PROBE = textwrap.dedent(
    """
    import json, sys
    sys.path.insert(0, sys.argv[1])
    import helpers
    from corvanth_core import ir as b
    whole_event = b.rule(actions=[b.action("Log", v=b.field())])
    late = b.machine(
        states=[b.state("start"), b.state("late", "Violated")],
        transitions=[b.transition(0, 1, "Timeout")],
        violating=[1],
        deadline_millis=5,
    )
    engine = helpers.engine_for(b.policy(rules=[whole_event], state_machines=[late]))
    first = engine.evaluate("t")
    stamp = first["actions"][0]["args"]["v"]["timestamp"]
    fired = None
    for n in range(1, 200_000):
        if engine.evaluate("t")["violations"]:
            fired = n
            break
    print(json.dumps({"timestamp": stamp, "deadline_fired": fired is not None}))
    """
)


def faked_clock_probe(date):
    env = dict(os.environ, FAKETIME_DONT_FAKE_MONOTONIC="1")
    done = subprocess.run(
        [FAKETIME, date, sys.executable, "-c", CLOCK_PROBE, CASES_DIR],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


CLOCK_CASES = [
    # (faked wall clock, its milliseconds since the epoch; None: before it)
    ("2026-12-08 06:00:00", 1796709600000),
    ("2262-04-11 23:47:16", 9223372036000),  # where a signed ns count ends
    ("2262-04-12 00:00:00", 9223372800000),
    ("2300-01-01 00:00:00", 10413792000000),
    ("9999-12-31 23:59:00", 253402300740000),
    ("1960-01-01 00:00:00", None),
]


@pytest.mark.skipif(FAKETIME is None, reason="needs faketime (libfaketime)")
@pytest.mark.parametrize("date, millis", CLOCK_CASES, ids=[c[0] for c in CLOCK_CASES])
def test_wall_clock_under_a_faked_date(date, millis):
    probe = faked_clock_probe(date)
    if millis is None:
        assert probe == {"timestamp": 0, "deadline_fired": False}
    else:
        # The faked clock starts at the date and runs on from there.
        assert millis <= probe["timestamp"] < millis + 60_000
        assert probe["deadline_fired"] is True


# --- deep nesting on small stacks -------------------------------------------

NESTED = "maximum recursion depth exceeded while converting a nested value"
HELD_TOO_DEEP = (
    "maximum recursion depth exceeded: the engine's context or configuration "
    "is nested too deeply for this thread's stack"
)
MAX_DEPTH = 1000  # levels of lists and dicts a value may have
DEPTHS = [10, 100, 500, 990, 1000, 1001, 5000, 30_000, 100_000]

# Runs every depth and kind through every recursion over values: conversion
# in (fields and context), equality, copies into action arguments, the text
# form, conversion back, and destruction when a held value is replaced.
# A crash shows as a failing exit status of the subprocess.
NESTING_PROBE = textwrap.dedent(
    """
    import json, sys, threading
    sys.path.insert(0, sys.argv[1])
    import helpers
    from corvanth_core import ir as b
    stack, depths = sys.argv[2], json.loads(sys.argv[3])
    sys.setrecursionlimit(10**6)
    # Containment compares structurally: [x] contains x.
    same = b.predicate("Contains", b.list_expr(b.field("x")), b.field("x"))
    engine = helpers.engine_for(b.policy(rules=[b.rule(condition=same, actions=[
        b.action("Log", v=b.field("x"), c=b.ref("Context", "k"),
                 t=b.call("str", b.field("x")))])]))
    held = helpers.engine_for(b.policy(rules=[b.rule(actions=[
        b.action("Log", c=b.ref("Context", "k"))])]))

    def deep(kind, depth):
        value = 1
        for _ in range(depth):
            value = [value] if kind == "list" else {"k": value}
        return value

    # Built here, on the main thread, and kept to the end: the interpreter
    # itself (3.13) can overflow a small thread stack freeing a list tens of
    # thousands deep, whatever the engine does.
    values = {(kind, depth): deep(kind, depth)
              for kind in ("list", "dict") for depth in depths}
    deep_held = deep("dict", 1000)

    def is_deep(value, kind, depth):
        # Walks down without recursing: comparing with == would recurse in
        # the interpreter, which the raised limit leaves unguarded.
        for _ in range(depth):
            if kind == "list" and type(value) is list and len(value) == 1:
                value = value[0]
            elif kind == "dict" and type(value) is dict and list(value) == ["k"]:
                value = value["k"]
            else:
                return False
        return value == 1

    def attempt(call):
        try:
            return call()
        except RecursionError as error:
            return "RecursionError: " + str(error)

    def case(kind, depth):
        value = values[kind, depth]
        def through_fields():
            args = engine.evaluate("t", {"x": value})["actions"][0]["args"]
            return "ok" if is_deep(args["v"], kind, depth) and args["t"] == (
                "[1 items]" if kind == "list" else "{1 fields}") else "wrong"
        def through_context():
            engine.set_context("k", value)
            args = engine.evaluate("t")["actions"][0]["args"]
            engine.set_context("k", None)
            return "ok" if is_deep(args["c"], kind, depth) else "wrong"
        return [attempt(through_fields), attempt(through_context)]

    def held_elsewhere():
        # Set on the main thread, used and replaced on this one.
        args = held.evaluate("t")["actions"][0]["args"]
        held.set_context("k", None)
        return "ok" if is_deep(args["c"], "dict", 1000) else "wrong"

    out = {}
    def run():
        for kind in ("list", "dict"):
            for depth in depths:
                out[f"{kind} {depth}"] = case(kind, depth)
        out["held"] = attempt(held_elsewhere)
        out["after"] = engine.evaluate("t", {"x": 1})["verdict"]

    held.set_context("k", deep_held)
    if stack == "main":
        run()
    else:
        threading.stack_size(int(stack))
        worker = threading.Thread(target=run)
        worker.start()
        worker.join()
    print(json.dumps(out))
    """
)


def nesting_outcomes(stack):
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            NESTING_PROBE,
            CASES_DIR,
            str(scaled_stack(stack)),
            json.dumps(DEPTHS),
        ],
        capture_output=True,
        text=True,
        preexec_fn=scale_main_stack,
        timeout=300,
        check=False,
    )
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    return json.loads(done.stdout)


@pytest.mark.parametrize("stack", [256 * 1024, 512 * 1024, "main"])
def test_deep_nesting_never_crashes(stack):
    outcomes = nesting_outcomes(stack)
    assert outcomes.pop("after") == "allow"
    assert outcomes.pop("held") in ("ok", "RecursionError: " + HELD_TOO_DEEP)
    for label, results in outcomes.items():
        depth = label.split()[1]
        for result in results:
            if int(depth) <= 100:
                assert result == "ok", label
            elif int(depth) > MAX_DEPTH:
                assert result == "RecursionError: " + NESTED, label
            else:
                assert result in ("ok", "RecursionError: " + NESTED), label


def test_nesting_up_to_the_bound_converts_on_the_main_thread():
    outcomes = nesting_outcomes("main")
    for kind in ("list", "dict"):
        assert outcomes[f"{kind} 990"] == ["ok", "ok"]
        assert outcomes[f"{kind} 1000"] == ["ok", "ok"]
    assert outcomes["held"] == "ok"


@pytest.mark.parametrize("stack", [256 * 1024, 512 * 1024])
def test_small_stacks_convert_moderate_nesting(stack):
    # The headroom, not only the depth bound, decides on small stacks: a
    # 990-deep dict does not fit in 256 KiB, a 500-deep list does.
    outcomes = nesting_outcomes(stack)
    assert outcomes["list 500"] == ["ok", "ok"]
    if stack == 256 * 1024:
        assert outcomes["dict 990"] == ["RecursionError: " + NESTED] * 2
