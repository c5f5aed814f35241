"""Loading a policy from a file or from data, whatever its form, and the
checked container writer and reader.

A `.halvoc` container and JSON text are told apart by their content: a
container starts with the magic byte 0xAE, which no UTF-8 text can start
with. A policy source (YAML) is a file named `.yaml` or `.yml`, or text that
is neither a container nor JSON (whose first character is not `{` or `[`);
it is compiled first, and its errors are `PolicySourceError`s (a kind of
PolicyLoadError). Every refusal is a `PolicyLoadError`, and so, unless
`check=False`, is a policy whose diagnostics include an error (a misspelt
`condition` would otherwise load as a rule without condition).

    engine = load("guard.halvoc")        # or "guard.json", or a pathlib.Path
    engine = loads(open("guard.json").read())
    data = pack(open("guard.json").read())
"""

import os

from _corvanth_core import PolicyEngine

from corvanth_core._checks import argument_type_error
from corvanth_core.container import HEADER, BytesLike, is_container, write_container
from corvanth_core.errors import (
    diagnostics_error,
    encoding_error,
    from_engine_error,
    host_limits_error,
)
from corvanth_core.source import HostLimit, compile_with_limits

SOURCE_SUFFIXES = (".yaml", ".yml")

StrPath = str | os.PathLike[str]
HostLimits = tuple[HostLimit, ...]


def load(path: StrPath, *, check: bool = True) -> PolicyEngine:
    """A new engine for the policy in the file at `path` (str or path-like).

    The file is read once, so a pipe or `/dev/stdin` works too. A file that
    cannot be opened raises the OSError of `open`; a policy that cannot be
    loaded, a PolicyLoadError naming the file (see `loads`).
    """
    name = os.fspath(path) if isinstance(path, (str, os.PathLike)) else None
    if not isinstance(name, str):
        raise argument_type_error("load", "path", "str or os.PathLike[str]", path)
    return only_engine(*load_with_limits(name, check=check), name)


def load_with_limits(
    path: StrPath, *, check: bool = True
) -> tuple[PolicyEngine, HostLimits]:
    """`load`, with the keyed limits of a policy source (`per: event.tool`),
    which the engine cannot hold and a Guard holds beside it."""
    name = os.fspath(path) if isinstance(path, (str, os.PathLike)) else None
    if not isinstance(name, str):
        raise argument_type_error("load", "path", "str or os.PathLike[str]", path)
    with open(name, "rb") as file:
        data = file.read()
    return read_policy_with_limits(data, name, check=check)


def only_engine(
    engine: PolicyEngine, limits: HostLimits, filename: str | None
) -> PolicyEngine:
    """`engine`, refusing a policy with keyed limits that it would not
    enforce."""
    if limits:
        named = [f"{limit.target} per {limit.per}" for limit in limits]
        raise host_limits_error(named, filename)
    return engine


def loads(data: str | BytesLike, *, check: bool = True) -> PolicyEngine:
    """A new engine for the policy in `data`: JSON or source text as str,
    or a bytes-like object holding a container or UTF-8 text.

    Raises PolicyLoadError when the engine refuses the policy, and, with
    `check` (the default), when its `diagnostics()` include an error.
    """
    engine, limits = loads_with_limits(data, check=check)
    return only_engine(engine, limits, None)


def loads_with_limits(
    data: str | BytesLike, *, check: bool = True
) -> tuple[PolicyEngine, HostLimits]:
    """`loads`, with the keyed limits of a policy source."""
    if not isinstance(data, (str, bytes, bytearray, memoryview)):
        raise argument_type_error("loads", "data", "str or bytes-like", data)
    return read_policy_with_limits(data, None, check=check)


def read_policy(
    data: str | BytesLike, filename: str | None, *, check: bool
) -> PolicyEngine:
    """The engine for `data` read from `filename` (None: not from a file);
    a source with keyed limits is refused (see `only_engine`)."""
    engine, limits = read_policy_with_limits(data, filename, check=check)
    return only_engine(engine, limits, filename)


def read_policy_with_limits(
    data: str | BytesLike, filename: str | None, *, check: bool
) -> tuple[PolicyEngine, HostLimits]:
    """The engine for `data` read from `filename` (None: not from a file),
    and the keyed limits of a source."""
    limits: HostLimits = ()
    if is_source(data, filename):
        compiled = compile_with_limits(data, filename=filename)
        data, limits = compiled.json, compiled.host_limits
    engine = _engine(data, filename)
    if check:
        errors = [d for d in engine.diagnostics() if d["severity"] == "error"]
        if errors:
            raise diagnostics_error(errors, filename)
    return engine, limits


def is_source(data: str | BytesLike, filename: str | None) -> bool:
    """Whether `data` is a policy source rather than IR JSON or a container:
    a `.yaml`/`.yml` file that is no container, or text whose first
    character is not `{` or `[` (blank text is left to the JSON reader)."""
    if not isinstance(data, str):
        raw = bytes(data)
        if is_container(raw):
            return False
        if filename is not None and filename.endswith(SOURCE_SUFFIXES):
            return True
        try:
            data = raw.decode("utf-8")
        except UnicodeError:
            return False
    elif filename is not None and filename.endswith(SOURCE_SUFFIXES):
        return True
    return data.lstrip(" \t\r\n")[:1] not in ("{", "[", "")


def _engine(data: str | BytesLike, filename: str | None) -> PolicyEngine:
    try:
        if isinstance(data, str):
            return PolicyEngine.from_json(data)
        raw = bytes(data)
        if is_container(raw):
            return PolicyEngine.from_bytes(raw)
        return PolicyEngine.from_json(raw.decode("utf-8"))
    except UnicodeError as error:
        raise encoding_error(error, filename) from error
    except (ValueError, RuntimeError) as error:
        raise from_engine_error(error, filename) from error


def pack(policy_json: str) -> bytes:
    """A version-1 container holding `policy_json` unchanged.

    Raises the ValueError of `PolicyEngine.from_json` when the text is not a
    valid policy, so that no container is written that cannot be loaded.
    """
    if not isinstance(policy_json, str):
        raise argument_type_error("pack", "policy_json", "str", policy_json)
    PolicyEngine.from_json(policy_json)
    return write_container(policy_json)


def unpack(data: BytesLike) -> str:
    """The policy JSON held by a container, as written.

    Raises the RuntimeError of `PolicyEngine.from_bytes` when `data` is not a
    container of a valid policy (its header, its version, its payload).
    """
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise argument_type_error("unpack", "data", "bytes-like", data)
    raw = bytes(data)
    PolicyEngine.from_bytes(raw)
    _, _, _, length = HEADER.unpack_from(raw)
    return raw[HEADER.size : HEADER.size + length].decode("utf-8")
