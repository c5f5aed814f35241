"""The framework pages stay true where their framework is installed: the
```python blocks of each page run in order, as one program, in a
directory holding a copy of examples/."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PYTHON_BLOCK = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)


@pytest.mark.parametrize(
    ("page", "framework"),
    [("openai-agents.md", "agents"), ("langchain.md", "langchain.agents")],
)
def test_the_pages_python_runs(tmp_path, page, framework):
    pytest.importorskip(framework)
    text = (ROOT / "docs" / "integrations" / page).read_text()
    program = "\n".join(PYTHON_BLOCK.findall(text))
    assert program.count("assert ") >= 3
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    done = subprocess.run(
        [sys.executable, "-c", program],
        cwd=tmp_path,
        env={**os.environ, "PYTHONPATH": str(ROOT)},
        capture_output=True,
        text=True,
        check=False,
    )
    assert done.returncode == 0, done.stderr
