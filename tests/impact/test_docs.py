"""docs/diff-and-report.md stays true: its shell blocks run in a directory
holding a copy of examples/ (`# exit N`: the status a line must exit
with), and each text block occurs in the output of the block before it."""

import pathlib
import shutil

from guard.test_docs import BLOCK, run_command

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGE = ROOT / "docs" / "diff-and-report.md"


def test_every_block_of_the_page_runs(tmp_path):
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    output = None
    blocks = [m.groups() for m in BLOCK.finditer(PAGE.read_text())]
    for kind, body in blocks:
        if kind == "sh":
            output = "".join(run_command(line, tmp_path) for line in body.splitlines())
        else:
            assert output is not None and body in output, (body, output)
    assert [kind for kind, _ in blocks].count("text") == 2
    assert (tmp_path / "report.html").stat().st_size > 0
    assert (tmp_path / "diff.html").stat().st_size > 0
