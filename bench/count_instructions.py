"""Instructions per guard call, counted by callgrind.

Runs the guard policy of bench_evaluate.py on its event under
valgrind --tool=callgrind twice, with N and with 2N calls, and prints the
difference divided by N: the instructions of one call, start-up and
loading taken out. Instruction counts do not move with the machine's load,
so this is the figure to compare between builds. It also prints the share
of the engine and the field access: the inclusive cost of converting the
fields and of PolicyEngine::evaluate, without the call and the result dict.

    pip install . -Cinstall.strip=false   # the engine's symbols
    python bench/count_instructions.py [--calls N]

Needs valgrind (Debian package valgrind), which brings callgrind_annotate.
"""

import argparse
import os
import pathlib
import re
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent

# Run in the child: build the guard engine as bench_evaluate.py does, then
# make `calls` calls, resetting before each quota's worth.
CHILD = """
import sys
sys.path.insert(0, {here!r})
import bench_evaluate as b
engine = b.engine_of(b.example_document())
calls = {calls}
evaluate = engine.evaluate
while calls:
    batch = min(calls, b.EXAMPLE_QUOTA - 100)
    engine.reset()
    for _ in range(batch):
        evaluate(b.EVENT_TYPE, b.FIELDS)
    calls -= batch
"""

# The inclusive cost of these functions is the engine and the field access:
# the fields converted, then the evaluation itself (rate, rules and machine
# phases); building the result dict and the call itself are left out.
ENGINE_PARTS = ("fill_event_fields", "PolicyEngine::evaluate(")
TOTALS = re.compile(r"^\s*([\d,]+) \(100.0%\)\s+PROGRAM TOTALS", re.MULTILINE)
LINE = re.compile(r"^\s*([\d,]+) \([^)]*\)\s+\S*?:(.*)$", re.MULTILINE)


def run(calls, out_dir):
    """Callgrind's output file for a child making `calls` calls."""
    out = out_dir / f"callgrind.{calls}"
    subprocess.run(
        [
            "valgrind",
            "--tool=callgrind",
            f"--callgrind-out-file={out}",
            sys.executable,
            "-c",
            CHILD.format(here=str(HERE), calls=calls),
        ],
        check=True,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
        env={**os.environ, "PYTHONHASHSEED": "0"},
    )
    return out


def counts(out):
    """The program's total and the engine's inclusive instructions."""
    text = subprocess.run(
        ["callgrind_annotate", "--inclusive=yes", "--threshold=100", str(out)],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    total = int(TOTALS.search(text).group(1).replace(",", ""))
    # A function is listed once under its own file and once more under each
    # file whose inlined code in it makes calls, each of those a part of the
    # first: the largest figure is the function's own.
    inclusive = {}
    for count, function in LINE.findall(text):
        for part in ENGINE_PARTS:
            # The outermost frame only: recursive frames carry a suffix.
            if part in function and "'" not in function.split("(")[0]:
                figure = int(count.replace(",", ""))
                inclusive[part] = max(inclusive.get(part, 0), figure)
    if set(inclusive) != set(ENGINE_PARTS):
        sys.exit(
            "the extension has no symbols for "
            + ", ".join(sorted(set(ENGINE_PARTS) - set(inclusive)))
            + ": install it unstripped (pip install . -Cinstall.strip=false)"
        )
    return total, sum(inclusive.values())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000)
    calls = parser.parse_args().calls
    with tempfile.TemporaryDirectory(prefix="corvanth-cg-") as tmp:
        out_dir = pathlib.Path(tmp)
        small_total, small_engine = counts(run(calls, out_dir))
        large_total, large_engine = counts(run(2 * calls, out_dir))
    print(f"instructions per guard call: {(large_total - small_total) / calls:,.0f}")
    print(
        "  engine and field access:"
        f" {(large_engine - small_engine) / calls:,.0f} (goal at most 2,500)"
    )


if __name__ == "__main__":
    main()
