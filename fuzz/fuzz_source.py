"""A fuzz harness for the policy compiler, in Python: it mutates the
sources of `corpus/fuzz_source/` (characters and tokens deleted, inserted,
swapped, lines duplicated) and checks the compiler's contract on each
mutant: a policy the engine loads, or a PolicySourceError whose every
place lies inside the text. Anything else (another exception, a place
outside the text, a load failure of a compiled policy) is a finding; its
input is written to `fuzz/findings/` and the run exits 1.

    python fuzz/fuzz_source.py --seconds 60        # a campaign
    python fuzz/fuzz_source.py --runs 0            # each seed once (CI)
"""

import argparse
import pathlib
import random
import sys
import time
import traceback

from corvanth_core import PolicyEngine, PolicySourceError, compile

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = HERE / "corpus" / "fuzz_source"
FINDINGS = HERE / "findings"
TOKENS = [
    " ",
    "\n",
    ":",
    "- ",
    "'",
    '"',
    "{",
    "}",
    "(",
    ")",
    "[",
    "]",
    " -> ",
    "!expr ",
    "&a ",
    "*a",
    "#",
    "|\n",
    ">\n",
    "\t",
    " and ",
    "`",
    "\\",
    "$0",
    "match ",
    " => ",
    'f"{',
    "1e999",
    "18446744073709551616",
    "\x00",
    "\u2028",
    "é",
    "{{",
    "}}",
    "not ",
    "all(",
    " for x in ",
    "repeats: ",
    "events:\n  t: {a: int}\n",
    "on: []",
    "when: ",
    "    ",
]


def check(text: str) -> str | None:
    """A description of how `text` breaks the contract, or None."""
    try:
        compiled = compile(text, filename="fuzz.yaml")
    except PolicySourceError as e:
        lines = text.split("\n")
        for issue in e.errors:
            if not 1 <= issue.line <= len(lines):
                return f"line {issue.line} outside the text: {issue.message}"
            if not 1 <= issue.column <= len(lines[issue.line - 1]) + 1:
                return (
                    f"column {issue.column} outside line {issue.line}: {issue.message}"
                )
        return None
    except Exception:  # noqa: BLE001 - every other exception is a finding
        return traceback.format_exc()
    try:
        PolicyEngine.from_json(compiled)
    except Exception:  # noqa: BLE001
        return "compiled policy does not load:\n" + traceback.format_exc()
    return None


def mutate(text: str, rng: random.Random) -> str:
    for _ in range(rng.randint(1, 6)):
        at = rng.randint(0, len(text))
        how = rng.random()
        if how < 0.3:
            text = text[:at] + text[at + rng.randint(1, 8) :]
        elif how < 0.55:
            text = text[:at] + rng.choice(TOKENS) + text[at:]
        elif how < 0.7:
            text = text[:at] + chr(rng.randint(0, 0x2FFF)) + text[at:]
        elif how < 0.85 and at + 1 < len(text):
            text = text[:at] + text[at + 1] + text[at] + text[at + 2 :]
        else:
            lines = text.split("\n")
            i = rng.randrange(len(lines))
            lines.insert(rng.randrange(len(lines) + 1), lines[i])
            text = "\n".join(lines)
    return "".join(c for c in text if not 0xD800 <= ord(c) <= 0xDFFF)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=0.0)
    parser.add_argument("--runs", type=int, default=0, help="mutants after the seeds")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args(argv)
    seeds = [p.read_text(encoding="utf-8") for p in sorted(CORPUS.glob("*.yaml"))]
    rng = random.Random(args.seed)
    inputs = iter(seeds)
    deadline = time.monotonic() + args.seconds
    done = 0
    while True:
        text = next(inputs, None)
        if text is None:
            if done >= len(seeds) + args.runs and time.monotonic() >= deadline:
                break
            text = mutate(rng.choice(seeds), rng)
        done += 1
        finding = check(text)
        if finding is not None:
            FINDINGS.mkdir(exist_ok=True)
            path = FINDINGS / f"finding-{args.seed}-{done}.yaml"
            path.write_text(text, encoding="utf-8", errors="surrogatepass")
            print(f"finding in {path}:\n{finding}", file=sys.stderr)
            return 1
    print(f"{done} inputs, no finding")
    return 0


if __name__ == "__main__":
    sys.exit(main())
