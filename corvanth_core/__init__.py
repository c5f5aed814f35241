"""Corvanth's policy engine for Python: the native `PolicyEngine`, loading
policies from files or data whatever their form, the `.halvoc` container,
the policy model (`corvanth_core.ir`), the shapes of the engine's results,
and the policy source language (`compile`, `decompile`, `corvanth_core.source`).

    import corvanth_core

    engine = corvanth_core.load("examples/coding_agent_guard.json")
    result = engine.evaluate("tool_call", {"tool": "shell", "command": "ls"})

The package is laid out in floors, each importing only those below it (see
docs/architecture.md): the shapes (`ir`, `results`, `errors`, `container`),
the policy source language (`source`), loading (`loading`), the guard
(`guard`), and the command line (`cli`) on top.
"""

from _corvanth_core import PolicyEngine, __version__

from corvanth_core.errors import PolicyLoadError
from corvanth_core.guard import Decision, DecisionLog, Guard, PolicyDenied
from corvanth_core.limits import SharedLimits
from corvanth_core.loading import load, loads, pack, unpack
from corvanth_core.results import (
    Action,
    ConstraintViolation,
    Diagnostic,
    EvaluationResult,
    ExplainResult,
    Trace,
    Violation,
)
from corvanth_core.source import PolicySourceError, compile, decompile

__all__ = [
    "Action",
    "ConstraintViolation",
    "Decision",
    "DecisionLog",
    "Diagnostic",
    "EvaluationResult",
    "ExplainResult",
    "Guard",
    "PolicyDenied",
    "PolicyEngine",
    "PolicyLoadError",
    "PolicySourceError",
    "SharedLimits",
    "Trace",
    "Violation",
    "__version__",
    "compile",
    "decompile",
    "load",
    "loads",
    "pack",
    "unpack",
]
