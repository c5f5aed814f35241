"""Loading a policy from a file or from data, whatever its form.

A `.halvoc` container and JSON text are told apart by their content: a
container starts with the magic byte 0xAE, which no UTF-8 text can start
with. A policy source (YAML) is a file named `.yaml` or `.yml`, or text
that is neither a container nor JSON (whose first character is not `{` or
`[`); it is compiled first, and its errors are `PolicySourceError`s.

    engine = load("guard.halvoc")        # or "guard.json", or a pathlib.Path
    engine = loads(open("guard.json").read())
"""

import os

from _corvanth_core import PolicyEngine

from corvanth_core._checks import argument_type_error
from corvanth_core.container import BytesLike, is_container
from corvanth_core.source import compile

SOURCE_SUFFIXES = (".yaml", ".yml")

StrPath = str | os.PathLike[str]


def load(path: StrPath) -> PolicyEngine:
    """A new engine for the policy in the file at `path` (str or path-like).

    The file is read once, so a pipe or `/dev/stdin` works too. A container
    is read by `PolicyEngine.from_bytes` (its errors and their texts), JSON
    text by `PolicyEngine.from_json` after decoding it as UTF-8. A file that
    cannot be opened raises the OSError of `open`.
    """
    name = os.fspath(path) if isinstance(path, (str, os.PathLike)) else None
    if not isinstance(name, str):
        raise argument_type_error("load", "path", "str or os.PathLike[str]", path)
    with open(name, "rb") as file:
        data = file.read()
    if name.endswith(SOURCE_SUFFIXES) and not is_container(data):
        return PolicyEngine.from_json(compile(data, filename=name))
    return loads(data)


def loads(data: str | BytesLike) -> PolicyEngine:
    """A new engine for the policy in `data`: JSON or source text as str,
    or a bytes-like object holding a container or UTF-8 text."""
    if isinstance(data, str):
        return _from_text(data)
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise argument_type_error("loads", "data", "str or bytes-like", data)
    raw = bytes(data)
    if is_container(raw):
        return PolicyEngine.from_bytes(raw)
    return _from_text(raw.decode("utf-8"))


def is_json_text(text: str) -> bool:
    """Whether text is meant as IR JSON rather than policy source (blank
    text too, so that the JSON reader reports it)."""
    return text.lstrip(" \t\r\n")[:1] in ("{", "[", "")


def _from_text(text: str) -> PolicyEngine:
    if is_json_text(text):
        return PolicyEngine.from_json(text)
    return PolicyEngine.from_json(compile(text))
