"""Cost of compiling a policy source against `json.loads` of the IR JSON it
produces.

A generated source of about 1 MB (rules with conditions, templates and
actions, limits and invariants, in the proportions of the example) is
compiled in interleaved rounds with `json.loads` of its compiled JSON; the
figure to compare is the median of the per-round ratios, whose goal is at
most 20. A noisy machine slows both sides of a round alike.

    python bench/bench_compile.py [--rounds N] [--size BYTES]
"""

import argparse
import json
import statistics
import time

from corvanth_core import compile

GOAL = 20.0

RULE = """\
  - on: [tool_call, file_access]
    when: >
      tool == "shell{n}" and (command contains "rm -rf"
      or any(w startswith "-" and w contains "f" for w in command.split(" ")))
      and len(args) > {n} % 7 or path endswith ".env{n}"
    deny: "Blocked {{command}} in rule {n} ({{len(args)}} arguments)"
    actions:
      - log:
          command: !expr command
          session: !expr context.session_id
          rule: {n}
    severity: high
"""
LIMIT = "  - rate: web_request_{n}\n    max: {n}\n    per: 1m\n"
INVARIANT = """\
  - name: no_exfiltration_{n}
    kind: never
    states: [clean, secret_read, exfiltration]
    violating: [exfiltration]
    transitions:
      - clean -> secret_read: path endswith ".env" and mode == "read{n}"
      - secret_read -> exfiltration: host != "pypi.org" and not host in config.allowed_hosts
"""


def generated_source(size: int) -> str:
    """A policy source of at least `size` characters."""
    rules: list[str] = []
    limits: list[str] = []
    machines: list[str] = []
    total = 0
    n = 0
    while total < size:
        n += 1
        part = RULE.format(n=n)
        rules.append(part)
        total += len(part)
        if n % 10 == 0:
            limits.append(LIMIT.format(n=n))
            machines.append(INVARIANT.format(n=n))
            total += len(limits[-1]) + len(machines[-1])
    return "".join(
        ["name: generated\nseverity: high\nrules:\n", *rules, "limits:\n", *limits]
        + ["invariants:\n", *machines]
    )


def timed(run: object, argument: str) -> float:
    start = time.perf_counter()
    run(argument)  # type: ignore[operator]
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--size", type=int, default=1_000_000)
    args = parser.parse_args()
    source = generated_source(args.size)
    compiled = compile(source)
    print(
        f"source {len(source.encode())} bytes, {source.count(chr(10))} lines; "
        f"IR JSON {len(compiled.encode())} bytes"
    )
    ratios = []
    compile_times = []
    loads_times = []
    for _ in range(args.rounds):
        loads_time = timed(json.loads, compiled)
        compile_time = timed(compile, source)
        compile_times.append(compile_time)
        loads_times.append(loads_time)
        ratios.append(compile_time / loads_time)
    ratio = statistics.median(ratios)
    print(f"compile      median {statistics.median(compile_times) * 1000:9.1f} ms")
    print(f"json.loads   median {statistics.median(loads_times) * 1000:9.1f} ms")
    verdict = "meets" if ratio <= GOAL else "MISSES"
    print(f"ratio        median {ratio:9.1f}x  (goal <= {GOAL:.0f}x: {verdict})")


if __name__ == "__main__":
    main()
