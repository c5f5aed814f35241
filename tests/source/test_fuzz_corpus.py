"""The compiler's fuzz harness on its corpus and a few hundred mutants."""

import importlib.util
import pathlib

HARNESS = pathlib.Path(__file__).parents[2] / "fuzz" / "fuzz_source.py"


def test_the_fuzz_harness_finds_nothing_on_its_corpus(capsys) -> None:  # type: ignore[no-untyped-def]
    found = importlib.util.spec_from_file_location("fuzz_source", HARNESS)
    assert found is not None and found.loader is not None
    harness = importlib.util.module_from_spec(found)
    found.loader.exec_module(harness)
    assert harness.main(["--runs", "300", "--seed", "3"]) == 0
    seeds = len(list(harness.CORPUS.glob("*.yaml")))
    assert capsys.readouterr().out == f"{seeds + 300} inputs, no finding\n"
