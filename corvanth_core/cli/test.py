"""`corvanth-core test [PATH...]`: run the policy tests of `*.test.yaml`
files (PATH: files or directories searched for them; default `.`), each a
sequence of events and what the engine must answer after each one. Exit 0
when all pass, 1 with a line per failing step. `--bootstrap POLICY` writes
`POLICY.test.yaml` with one test per rule to start from.

    corvanth-core test examples/
    corvanth-core test -k exfiltration guard.test.yaml
    corvanth-core test --bootstrap guard.yaml
"""

import argparse
import pathlib

from corvanth_core.cli._common import (
    FINDINGS,
    OK,
    Commands,
    add_command,
    emit,
    emit_json,
    load_failure,
    plain_failure,
)
from corvanth_core.errors import PolicyLoadError
from corvanth_core.policy_tests import TestFileError, TestResult, bootstrap, run_file


def register(commands: Commands) -> None:
    sub = add_command(
        commands,
        "test",
        run,
        "Run the policy tests of *.test.yaml files.",
        "a test failed",
    )
    sub.add_argument("paths", nargs="*", default=["."], metavar="PATH")
    sub.add_argument(
        "-k", dest="keyword", metavar="TEXT", help="only tests whose name holds TEXT"
    )
    sub.add_argument(
        "--bootstrap", metavar="POLICY", help="write POLICY's starting test file"
    )


def test_files(paths: list[str]) -> list[pathlib.Path]:
    found: list[pathlib.Path] = []
    for name in paths:
        path = pathlib.Path(name)
        if path.is_dir():
            found.extend(sorted(path.rglob("*.test.yaml")))
        elif path.exists():
            found.append(path)
        else:
            raise plain_failure(name, "No such file or directory")
    return found


def run(args: argparse.Namespace) -> int:
    if args.bootstrap:
        return write_bootstrap(args)
    results: list[TestResult] = []
    for path in test_files(args.paths):
        try:
            results.extend(run_file(path, args.keyword))
        except TestFileError as error:
            raise plain_failure(str(path), str(error).partition(": ")[2]) from None
        except PolicyLoadError as error:
            raise load_failure(str(path), error) from None
    failed = [r for r in results if not r.passed]
    if args.json:
        emit_json(
            {
                "tests": [
                    {
                        "file": r.file,
                        "name": r.name,
                        "passed": r.passed,
                        "failures": [
                            {
                                "step": f.step,
                                "event": f.event,
                                "key": f.key,
                                "expected": f.expected,
                                "found": f.found,
                            }
                            for f in r.failures
                        ],
                    }
                    for r in results
                ]
            }
        )
    else:
        for r in results:
            emit(f"{'PASS' if r.passed else 'FAIL'} {r.file}::{r.name}\n")
            for f in r.failures:
                emit(f"  {f.describe()}\n")
        emit(f"{len(results) - len(failed)} passed, {len(failed)} failed\n")
    return FINDINGS if failed else OK


def write_bootstrap(args: argparse.Namespace) -> int:
    policy = pathlib.Path(args.bootstrap)
    target = policy.with_name(policy.name.rsplit(".", 1)[0] + ".test.yaml")
    if target.exists():
        raise plain_failure(str(target), "exists already; not overwritten")
    try:
        text = bootstrap(policy)
    except PolicyLoadError as error:
        raise load_failure(str(policy), error) from None
    except OSError as error:
        raise plain_failure(str(policy), error.strerror or str(error)) from None
    target.write_text(text, encoding="utf-8")
    emit(f"{target}: {text.count('- name:')} tests to fill in\n")
    return OK
