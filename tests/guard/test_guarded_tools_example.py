"""examples/guarded_tools.py runs as a user runs it and prints, call by
call, what the example policy allowed and denied."""

import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_the_example_prints_what_was_allowed_and_denied(tmp_path):
    done = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "guarded_tools.py")],
        cwd=tmp_path,
        env={**os.environ, "PYTHONPATH": str(ROOT)},
        capture_output=True,
        text=True,
        check=False,
    )
    assert (done.returncode, done.stderr) == (0, "")
    lines = done.stdout.splitlines()
    assert lines[0] == "allowed  shell('pytest -q') -> ran 'pytest -q'"
    assert (
        "denied   shell('rm -rf /work/app'): Blocked destructive shell command: rm -rf /work/app"
        in lines
    )
    assert lines.index("     escalation for /etc/shadow: refused") + 1 == lines.index(
        "denied   read_file('/etc/shadow'): Access to sensitive file denied: /etc/shadow"
    )
    assert "     notify security: paste.example.net (audit)" in lines
    assert "allowed  write_file('/work/app/big.txt', ...) -> [redacted]" in lines
    assert lines[-1] == "5 allowed, 4 denied"
