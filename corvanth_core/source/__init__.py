"""Policies as people write them: a YAML file with an expression
language, compiled to the IR the engine loads, and printed back.

    from corvanth_core.source import compile, decompile

    text = compile(open("guard.yaml").read(), filename="guard.yaml")
    engine = PolicyEngine.from_json(text)
    assert compile(decompile(engine)) == engine.to_json()

Nothing here loads the native engine: compiling and printing are pure
Python over the policy's JSON form.
"""

import pathlib

from corvanth_core.source.compiler import (
    compile,
    compile_with_limits,
    compile_with_map,
)
from corvanth_core.source.errors import PolicySourceError, SourceIssue
from corvanth_core.source.host_limits import CompiledLimits, HostLimit
from corvanth_core.source.printer import decompile
from corvanth_core.source.source_map import CompiledSource, SourceMap

__all__ = [
    "CompiledLimits",
    "CompiledSource",
    "HostLimit",
    "PolicySourceError",
    "SourceIssue",
    "SourceMap",
    "compile",
    "compile_with_limits",
    "compile_with_map",
    "decompile",
    "schema_path",
]


def schema_path() -> pathlib.Path:
    """The JSON Schema of the policy file format, for editors and
    validators."""
    return pathlib.Path(__file__).with_name("policy_source.schema.json")
