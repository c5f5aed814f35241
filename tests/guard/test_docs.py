"""docs/guard.md stays true: its blocks run in order, in a directory holding
a copy of examples/. Every ```python block runs in one namespace; each line
of a ```sh block is a command run with bash (`# exit N` at its end: the
status it must exit with, else 0); a ```text block's lines must occur, in
order and together, in the output of the sh block before it."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGE = ROOT / "docs" / "guard.md"
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```$", re.MULTILINE | re.DOTALL)
EXIT = re.compile(r"#\s*exit (\d+)\s*$")


def run_command(line: str, cwd: pathlib.Path) -> str:
    match = EXIT.search(line)
    expected = int(match.group(1)) if match else 0
    env = {
        **os.environ,
        "PATH": f"{pathlib.Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}",
        "PYTHONPATH": str(ROOT),
    }
    done = subprocess.run(
        ["bash", "-c", line],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        check=False,
    )
    assert done.returncode == expected, (line, done.stdout, done.stderr)
    return done.stdout


def test_every_block_of_the_page_runs(tmp_path, monkeypatch):
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    monkeypatch.chdir(tmp_path)
    namespace: dict[str, object] = {"__name__": "guard_page"}
    output = None
    kinds = []
    text = PAGE.read_text()
    for match in BLOCK.finditer(text):
        kind, body = match.groups()
        kinds.append(kind)
        if kind == "python":
            # Padded so that a traceback gives the page's own line numbers.
            first_line = text.count("\n", 0, match.start(2))
            code = compile("\n" * first_line + body, str(PAGE), "exec")
            exec(code, namespace)  # noqa: S102
        elif kind == "sh":
            output = "".join(
                run_command(line, tmp_path)
                for line in body.splitlines()
                if line.strip() and not line.startswith("#")
            )
        elif kind == "text":
            assert output is not None and body in output, (body, output)
    assert kinds.count("python") >= 6 and "sh" in kinds and "text" in kinds
