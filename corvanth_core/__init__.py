"""Corvanth's policy engine for Python: the native `PolicyEngine`, loading
policies from files or data whatever their form, the `.halvoc` container,
the shapes of the engine's results, and the policy source language
(`compile`, `decompile`).

    import corvanth_core

    engine = corvanth_core.load("examples/coding_agent_guard.json")
    result = engine.evaluate("tool_call", {"tool": "shell", "command": "ls"})
"""

from _corvanth_core import PolicyEngine, __version__

from corvanth_core._types import (
    Action,
    ConstraintViolation,
    Diagnostic,
    EvaluationResult,
    ExplainResult,
    Violation,
)
from corvanth_core.container import pack, unpack
from corvanth_core.loading import load, loads
from corvanth_core.source import PolicySourceError, compile, decompile

__all__ = [
    "Action",
    "ConstraintViolation",
    "Diagnostic",
    "EvaluationResult",
    "ExplainResult",
    "PolicyEngine",
    "PolicySourceError",
    "Violation",
    "__version__",
    "compile",
    "decompile",
    "load",
    "loads",
    "pack",
    "unpack",
]
