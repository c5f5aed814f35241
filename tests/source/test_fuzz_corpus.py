"""The compiler's fuzz harness: its corpus holds the examples, it finds
nothing on the corpus and a few hundred drawn inputs, and it does find a
compiler that breaks the contract, writing the input down."""

import importlib.util
import pathlib
import re
from types import ModuleType

import pytest

from corvanth_core import PolicySourceError

ROOT = pathlib.Path(__file__).parents[2]
HARNESS = ROOT / "fuzz" / "fuzz_source.py"


@pytest.fixture
def harness() -> ModuleType:
    found = importlib.util.spec_from_file_location("fuzz_source", HARNESS)
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_the_corpus_holds_every_example(harness: ModuleType) -> None:
    for example in sorted(ROOT.glob("examples/*_guard.yaml")):
        seed = harness.CORPUS / example.name
        assert seed.read_text(encoding="utf-8") == example.read_text(encoding="utf-8")


def test_the_fuzz_harness_finds_nothing_on_its_corpus(
    harness: ModuleType, capsys: pytest.CaptureFixture[str]
) -> None:
    assert harness.main(["--runs", "300", "--seed", "3"]) == 0
    seeds = len(list(harness.CORPUS.glob("*.yaml")))
    out = capsys.readouterr().out
    found = re.fullmatch(rf"{seeds} seeds and (\d+) drawn inputs, no finding\n", out)
    assert found is not None and int(found.group(1)) >= 300, out


def misplaced(text: str, filename: str) -> str:
    raise PolicySourceError(
        filename=filename, line=1, column=9, path="", message="past the line"
    )


@pytest.mark.parametrize(
    ("broken", "finding"),
    [
        (lambda text, filename: text[10**9], "IndexError"),
        (misplaced, "column 9 outside line 1: past the line"),
        (lambda text, filename: "{}", "compiled policy does not load"),
    ],
)
def test_a_broken_compiler_is_a_finding(
    harness: ModuleType,
    tmp_path: pathlib.Path,
    monkeypatch: pytest.MonkeyPatch,
    capsys: pytest.CaptureFixture[str],
    broken: object,
    finding: str,
) -> None:
    monkeypatch.setattr(harness, "compile", broken)
    monkeypatch.setattr(harness, "FINDINGS", tmp_path)
    (tmp_path / "corpus").mkdir()
    (tmp_path / "corpus" / "a.yaml").write_text("name: a\n", encoding="utf-8")
    assert harness.main(["--corpus", str(tmp_path / "corpus")]) == 1
    assert (tmp_path / "seed-0.yaml").read_text(encoding="utf-8") == "name: a\n"
    assert finding in capsys.readouterr().err
