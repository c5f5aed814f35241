"""A fuzz harness for the policy compiler, driven by hypothesis: every seed
of the corpus (`corpus/fuzz_source/`: the example policies, their printed
forms and the error cases) is compiled once, then hypothesis draws inputs
until the time given is up: seeds with characters and tokens deleted,
inserted and swapped and lines repeated, any text, and any YAML document
made of the file format's keys. Each input must give a policy the engine
loads, or a PolicySourceError whose every place lies inside the text,
within a few seconds. Anything else (another exception, a place outside
the text, a compiled policy that does not load, a hang) is a finding:
hypothesis shrinks it, the smallest input is written to `fuzz/findings/`
and the run exits 1.

    python fuzz/fuzz_source.py --seconds 30               # CI
    python fuzz/fuzz_source.py --cpu-seconds 1200 --seed 7 # a campaign
    python fuzz/fuzz_source.py --runs 300 --seed 3        # a fixed number

With `--seconds` and `--cpu-seconds` both given, the first one reached ends
the run (the clocks are read between batches of BATCH inputs).
"""

import argparse
import pathlib
import re
import signal
import sys
import time
import traceback
from collections.abc import Callable
from dataclasses import dataclass
from types import FrameType

import yaml
from hypothesis import HealthCheck, Phase, given, seed, settings
from hypothesis import strategies as st

from corvanth_core import PolicyEngine, PolicySourceError, compile

HERE = pathlib.Path(__file__).resolve().parent
CORPUS = HERE / "corpus" / "fuzz_source"
FINDINGS = HERE / "findings"
BATCH = 200  # inputs per hypothesis run; the clock is read between runs
SLOW_SECONDS = 10  # one input compiled for longer is a hang
TOKENS = [
    " ", "\n", ":", "- ", "'", '"', "{", "}", "(", ")", "[", "]", " -> ",
    "!expr ", "!!python/object:os.system ", "&a ", "*a", "<<: *a", "#",
    "|\n", ">-\n", "\t", " and ", " or ", " implies ", "!", "&&", "`", "\\",
    "$0", "match ", " => ", "_ => ", 'f"{', "re\"", "1e999", "-0.0",
    "18446744073709551616", "9223372036854775808", "250ms", "\x00", "\u2028",
    "\ufeff", "é", "{{", "}}", "not ", "all(", "count(", " for x in ",
    " if ", "repeats: ", "events:\n  t: {a: int}\n", "on: []", "when: ",
    "unless: ", "after: deadline", "#1", "    ", "---\n", "...\n",
]  # fmt: skip
KEYS = [
    "name", "severity", "scopes", "annotations", "metadata", "rules", "limits",
    "invariants", "events", "id", "on", "when", "deny", "allow", "audit",
    "redact", "verdicts", "actions", "rate", "quota", "max", "per", "kind",
    "states", "initial", "accepting", "violating", "deadline", "repeats",
    "transitions", "invariant", "unless", "after", "source_hash",
    "compiler_version", "log", "block", "tag",
]  # fmt: skip
WORD = re.compile(r"\w+|[^\w\s]+|\s+")


class Hang(Exception):
    """An input that compiled for longer than SLOW_SECONDS."""


def _on_alarm(signum: int, frame: FrameType | None) -> None:
    raise Hang(f"compiling took longer than {SLOW_SECONDS} s")


def check(text: str) -> str | None:
    """A description of how `text` breaks the compiler's contract, or None."""
    previous = signal.signal(signal.SIGALRM, _on_alarm)
    signal.alarm(SLOW_SECONDS)
    try:
        compiled = compile(text, filename="fuzz.yaml")
    except PolicySourceError as e:
        return _outside(text, e)
    except Exception:  # noqa: BLE001 - every other exception is a finding
        return traceback.format_exc()
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
    try:
        PolicyEngine.from_json(compiled)
    except Exception:  # noqa: BLE001
        return "compiled policy does not load:\n" + traceback.format_exc()
    return None


def _outside(text: str, error: PolicySourceError) -> str | None:
    """A place of `error` that lies outside `text`, described, or None."""
    lines = text.split("\n")
    for issue in error.errors:
        for line, column in (
            (issue.line, issue.column),
            (issue.end_line, issue.end_column),
        ):
            if not 1 <= line <= len(lines):
                return f"line {line} outside the text: {issue.message}"
            if not 1 <= column <= len(lines[line - 1]) + 1:
                return f"column {column} outside line {line}: {issue.message}"
    return None


# --- inputs ------------------------------------------------------------------------


@st.composite
def mutants(draw: st.DrawFn, seeds: list[str]) -> str:
    """A seed with one to six edits."""
    text = draw(st.sampled_from(seeds))
    for _ in range(draw(st.integers(1, 6))):
        at = draw(st.integers(0, len(text)))
        how = draw(st.sampled_from(["cut", "token", "char", "swap", "words", "line"]))
        if how == "cut":
            text = text[:at] + text[at + draw(st.integers(1, 12)) :]
        elif how == "token":
            text = text[:at] + draw(st.sampled_from(TOKENS)) + text[at:]
        elif how == "char":
            text = text[:at] + draw(st.characters(codec="utf-8")) + text[at:]
        elif how == "swap" and at + 1 < len(text):
            text = text[:at] + text[at + 1] + text[at] + text[at + 2 :]
        elif how == "words":
            text = _swap_words(text, draw)
        else:
            lines = text.split("\n")
            i = draw(st.integers(0, len(lines) - 1))
            lines.insert(draw(st.integers(0, len(lines))), lines[i])
            text = "\n".join(lines)
    return text


def _swap_words(text: str, draw: st.DrawFn) -> str:
    words = WORD.findall(text)
    if len(words) < 2:
        return text
    i = draw(st.integers(0, len(words) - 1))
    j = draw(st.integers(0, len(words) - 1))
    words[i], words[j] = words[j], words[i]
    return "".join(words)


SCALARS = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(),
    st.sampled_from(["t", "a > 1", "x -> y", "1s", "deadline", "deny", "never"]),
    st.text(max_size=12),
)
DOCUMENTS = st.recursive(
    SCALARS,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.dictionaries(st.sampled_from(KEYS) | st.text(max_size=6), inner, max_size=5),
    ),
    max_leaves=30,
)


def inputs(seeds: list[str]) -> st.SearchStrategy[str]:
    """Everything the harness feeds the compiler."""
    dumped = DOCUMENTS.map(lambda d: yaml.safe_dump(d, allow_unicode=True))
    return st.one_of(mutants(seeds), mutants(seeds), st.text(), dumped)


# --- the run -------------------------------------------------------------------------


@dataclass
class Run:
    """What a run has done: inputs tried, and the last one that broke the
    contract (after shrinking: the smallest)."""

    done: int = 0
    failing: tuple[str, str] | None = None

    def try_input(self, text: str) -> None:
        self.done += 1
        finding = check(text)
        if finding is not None:
            self.failing = (text, finding)
        assert finding is None, finding


def batch(run: Run, seeds: list[str], size: int, at: int) -> Callable[[], None]:
    """A hypothesis test of `size` inputs, seeded with `at`."""

    @seed(at)
    @settings(
        max_examples=size,
        deadline=None,
        database=None,
        phases=[Phase.generate, Phase.shrink],
        suppress_health_check=list(HealthCheck),
        report_multiple_bugs=False,
    )
    @given(inputs(seeds))
    def one_batch(text: str) -> None:
        run.try_input(text)

    return one_batch


def report(run: Run, name: str) -> int:
    """Write the run's finding down; the exit status."""
    assert run.failing is not None
    text, finding = run.failing
    FINDINGS.mkdir(exist_ok=True)
    path = FINDINGS / name
    path.write_text(text, encoding="utf-8", errors="surrogatepass")
    print(f"finding in {path}:\n{finding}", file=sys.stderr)
    return 1


class Clock:
    """The bounds of a run: wall-clock and CPU seconds (None: no bound)."""

    def __init__(self, seconds: float | None, cpu_seconds: float | None) -> None:
        self.wall_start = time.monotonic()
        self.cpu_start = time.process_time()
        self.seconds = seconds
        self.cpu_seconds = cpu_seconds
        self.bounded = seconds is not None or cpu_seconds is not None

    def done(self) -> bool:
        """Whether a bound is reached (with none, at once)."""
        wall = time.monotonic() - self.wall_start
        cpu = time.process_time() - self.cpu_start
        if not self.bounded:
            return True
        return (self.seconds is not None and wall >= self.seconds) or (
            self.cpu_seconds is not None and cpu >= self.cpu_seconds
        )

    def report(self) -> str:
        wall = time.monotonic() - self.wall_start
        cpu = time.process_time() - self.cpu_start
        return f"ran {wall:.0f} s, {cpu:.0f} CPU seconds"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--seconds", type=float, default=None, help="run this long")
    parser.add_argument(
        "--cpu-seconds", type=float, default=None, help="or until this much CPU time"
    )
    parser.add_argument("--runs", type=int, default=0, help="at least this many drawn")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--corpus", type=pathlib.Path, default=CORPUS)
    args = parser.parse_args(argv)
    seeds = [p.read_text(encoding="utf-8") for p in sorted(args.corpus.glob("*.yaml"))]
    if not seeds:
        print(f"{args.corpus}: no seeds", file=sys.stderr)
        return 2
    run = Run()
    for number, text in enumerate(seeds):
        try:
            run.try_input(text)
        except AssertionError:
            return report(run, f"seed-{number}.yaml")
    clock = Clock(args.seconds, args.cpu_seconds)
    drawn = 0
    round_number = 0
    while drawn < args.runs or not clock.done():
        size = max(1, min(BATCH, args.runs - drawn)) if drawn < args.runs else BATCH
        before = run.done
        try:
            batch(run, seeds, size, args.seed * 1_000_003 + round_number)()
        except Exception:
            if run.failing is None:
                raise
            return report(run, f"finding-{args.seed}-{round_number}.yaml")
        drawn += run.done - before
        round_number += 1
    print(f"{len(seeds)} seeds and {drawn} drawn inputs, no finding")
    if clock.bounded:
        print(f"{clock.report()}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
