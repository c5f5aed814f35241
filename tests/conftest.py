"""The test suite, laid out as the package is:

    tests/ir/       the policy model module (corvanth_core.ir)
    tests/core/     the native module: reader, writer, evaluation, engine
    tests/loading/  load/loads, PolicyLoadError, pack/unpack
    tests/cli/      the command line
    tests/          the architecture, typing and README checks

The helpers and case tables shared with the fuzz scripts and tools live in
the repository's `cases/` directory: `helpers.py` (engine_for, eval_expr,
outcome, assert_same), `halvoc.py` (containers for tests of the readers),
the tables of the reader, container, plan and snapshot tests, and the
hypothesis strategies of the property tests. That directory is put first on
the import path, so that a test anywhere below imports them by name:

    from helpers import engine_for
    from reader_cases import SYNTAX_ERRORS

Nothing outside `tests/` imports from here.
"""

import pathlib
import sys

import pytest

CASES = str(pathlib.Path(__file__).resolve().parent.parent / "cases")
if CASES not in sys.path:
    sys.path.insert(0, CASES)

# The shared checks are plain asserts; rewritten, a failing one shows its
# values as it did in a test module.
pytest.register_assert_rewrite("helpers", "policy_strategies")
