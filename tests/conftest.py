"""The test suite, laid out as the package is:

    tests/ir/       the policy model module (corvanth_core.ir)
    tests/core/     the native module: reader, writer, evaluation, engine
    tests/loading/  load/loads, PolicyLoadError, pack/unpack
    tests/cli/      the command line
    tests/          the architecture, typing and README checks

The helpers shared by every directory live here, beside this file:
`helpers.py` (engine_for, eval_expr, outcome, assert_same) and `halvoc.py`
(containers for tests of the readers). This directory is put first on the
import path, so that a test anywhere below imports them by name:

    from helpers import engine_for
"""

import pathlib
import sys

TESTS = str(pathlib.Path(__file__).resolve().parent)
if TESTS not in sys.path:
    sys.path.insert(0, TESTS)
