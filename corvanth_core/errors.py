"""The package's error for a policy that cannot be loaded.

`load` and `loads` raise `PolicyLoadError` for every refused policy,
whatever its form: JSON text the reader refuses, a broken container, bytes
that are not UTF-8, or a policy whose diagnostics include an error. It is a
ValueError that says where the fault is once, on one line, and carries the
same facts as attributes; the engine's own exception, when there is one, is
its `__cause__`.

    try:
        engine = corvanth_core.load("guard.json")
    except corvanth_core.PolicyLoadError as error:
        print(error)          # guard.json:3:17: Invalid policy JSON: ... (at rules[0].id)
        print(error.kind)     # "out-of-range"

The kinds form a small closed set, stable across releases (new faults map
to one of them, "other" being the fallback):

    json-syntax      the text is not JSON (or an array form holds too many
                     elements: "trailing characters")
    wrong-type       a value of the wrong JSON type ("invalid type: ...")
    wrong-length     an array form with too few elements
    missing-field    a required field is absent
    duplicate-field  a key given twice
    unknown-variant  a name outside its enumeration
    out-of-range     a number outside its type's range
    too-deep         nesting beyond the reader's limit
    container        a container's header: too short, bad magic, version
    encoding         bytes that are not UTF-8 text
    diagnostics      the policy loads, but its diagnostics include errors
    other            any other refusal
"""

import re
from collections.abc import Sequence
from typing import Final, Literal, get_args

from corvanth_core.results import Diagnostic

ErrorKind = Literal[
    "json-syntax",
    "wrong-type",
    "wrong-length",
    "missing-field",
    "duplicate-field",
    "unknown-variant",
    "out-of-range",
    "too-deep",
    "container",
    "encoding",
    "diagnostics",
    "source",
    "other",
]
ERROR_KINDS: Final[tuple[ErrorKind, ...]] = get_args(ErrorKind)

# Texts the engine puts before a reader's message, outermost first: the
# factory's, then the container's for a payload that is not a policy.
_PREFIXES: Final = (
    "Invalid policy JSON: ",
    "Failed to parse policy bytes: ",
    "Failed to load policy: ",
    "serialization error: ",
)

# The beginnings of the engine's messages, by kind; the first match decides.
_KINDS_BY_MESSAGE: Final[tuple[tuple[str, ErrorKind], ...]] = (
    ("EOF while parsing", "json-syntax"),
    ("expected `", "json-syntax"),
    ("expected value", "json-syntax"),
    ("expected ident", "json-syntax"),
    ("invalid escape", "json-syntax"),
    ("invalid number", "json-syntax"),
    ("control character", "json-syntax"),
    ("key must be a string", "json-syntax"),
    ("lone leading surrogate", "json-syntax"),
    ("unexpected end of hex escape", "json-syntax"),
    ("invalid unicode code point", "json-syntax"),
    ("trailing comma", "json-syntax"),
    ("trailing characters", "json-syntax"),
    ("number out of range", "out-of-range"),
    ("invalid value: ", "out-of-range"),
    ("invalid type: ", "wrong-type"),
    ("invalid length ", "wrong-length"),
    ("missing field ", "missing-field"),
    ("duplicate field ", "duplicate-field"),
    ("unknown variant ", "unknown-variant"),
    ("recursion limit exceeded", "too-deep"),
    ("I/O error: ", "container"),
    ("not a valid .halvoc file", "container"),
    ("unsupported format version", "container"),
)

_POSITION: Final = re.compile(r" at line \d+ column \d+$")


class PolicyLoadError(ValueError):
    """A policy that `load` or `loads` refused.

    `filename` is the file it was read from (None for data), `line` and
    `column` the place of the fault in the JSON text (counted in bytes from
    1; None when it lies in no text), `path` the JSON path of the value being
    read (`rules[0].condition`, "" for the document itself), `kind` one of
    ERROR_KINDS, `message` the engine's message without its position, and
    `diagnostics` the error diagnostics that refused the policy (empty
    unless kind is "diagnostics").
    """

    def __init__(
        self,
        message: str,
        *,
        kind: ErrorKind = "other",
        filename: str | None = None,
        line: int | None = None,
        column: int | None = None,
        path: str | None = None,
        diagnostics: Sequence[Diagnostic] = (),
    ) -> None:
        super().__init__(message)
        self.message = message
        self.kind: ErrorKind = kind
        self.filename = filename
        self.line = line
        self.column = column
        self.path = path
        self.diagnostics: list[Diagnostic] = list(diagnostics)

    def __str__(self) -> str:
        where = self.filename if self.filename is not None else "<string>"
        if self.line is not None:
            where = f"{where}:{self.line}:{self.column}"
        at = f" (at {self.path})" if self.path else ""
        return f"{where}: {self.message}{at}"


def error_kind(message: str) -> ErrorKind:
    """The kind of an engine's load message (with or without its prefixes)."""
    text = message
    for prefix in _PREFIXES:
        text = text.removeprefix(prefix)
    for start, kind in _KINDS_BY_MESSAGE:
        if text.startswith(start):
            return kind
    return "other"


def from_engine_error(error: Exception, filename: str | None) -> PolicyLoadError:
    """The PolicyLoadError of an exception the engine's reader raised, with
    its place (the `line`, `column` and `path` attributes it carries)."""
    text = str(error)
    line = getattr(error, "line", None)
    column = getattr(error, "column", None)
    message = _POSITION.sub("", text) if line is not None else text
    return PolicyLoadError(
        message,
        kind=error_kind(text),
        filename=filename,
        line=line,
        column=column,
        path=getattr(error, "path", None),
    )


def encoding_error(error: UnicodeError, filename: str | None) -> PolicyLoadError:
    """The PolicyLoadError of data that is not UTF-8 text."""
    if isinstance(error, UnicodeDecodeError | UnicodeEncodeError):
        detail = f"{error.reason} at byte {error.start}"
        if isinstance(error, UnicodeEncodeError):
            detail = f"{error.reason} at character {error.start}"
    else:
        detail = str(error)
    return PolicyLoadError(
        f"not UTF-8 JSON text ({detail})", kind="encoding", filename=filename
    )


def diagnostics_error(
    errors: Sequence[Diagnostic], filename: str | None
) -> PolicyLoadError:
    """The PolicyLoadError of a policy whose diagnostics include `errors`
    (those of severity "error"), each listed on the one line."""
    listed = "; ".join(
        f"[{d['code']}] {d['path'] or '(policy)'}: {d['message']}" for d in errors
    )
    count = f"{len(errors)} error diagnostic{'s' if len(errors) != 1 else ''}"
    return PolicyLoadError(
        f"refused, {count} (load with check=False to accept it): {listed}",
        kind="diagnostics",
        filename=filename,
        diagnostics=errors,
    )


def host_limits_error(limits: Sequence[str], filename: str | None) -> PolicyLoadError:
    """The PolicyLoadError of a policy with keyed limits (`per: event.tool`)
    loaded as an engine alone, which would not enforce them; `limits` names
    them ("tool_call per event.tool")."""
    return PolicyLoadError(
        f"the limits {', '.join(limits)} are keyed, and only a Guard holds "
        "keyed windows: load the policy with Guard(...) or load_with_limits",
        kind="source",
        filename=filename,
    )
