"""Errors of the policy compiler, placed in the source text.

A `PolicySourceError` holds every independent problem found in one
compilation (`errors`, in source order), and itself carries the attributes
of the first one, so a caller that wants one place has it:

    try:
        compile(text, filename="guard.yaml")
    except PolicySourceError as e:
        print(e.line, e.column, e.path)     # 12 9 rules[3].when
        for issue in e.errors:
            print(issue.message, issue.help)

`str(e)` renders each problem the way compilers do: `file:line:column:
message`, the source line, a caret under the span and a help line.
Lines and columns count from 1, columns in characters; `end_line` and
`end_column` are the position just after the span.
"""

import bisect
import re
from dataclasses import dataclass, field
from typing import Final

from corvanth_core.errors import ErrorKind, PolicyLoadError

DEFAULT_FILENAME: Final = "<source>"
_CONTEXT: Final = 80  # characters of a long line shown around a column


@dataclass(frozen=True)
class Span:
    """Character offsets [start, end) in the source text."""

    start: int
    end: int


@dataclass(frozen=True)
class SourceIssue:
    """One problem of a policy source, with its place in the file."""

    message: str
    filename: str
    line: int
    column: int
    end_line: int
    end_column: int
    path: str
    help: str | None = None
    source_line: str = ""

    def render(self) -> str:
        """`file:line:column: message`, the line, a caret, a help line."""
        head = f"{self.filename}:{self.line}:{self.column}: {self.message}"
        gutter = str(self.line)
        parts = [head]
        if self.source_line or self.column > 0:
            width = 1
            if self.end_line == self.line:
                width = max(1, self.end_column - self.column)
            # A long line is shown around the column, the caret no wider
            # than what is shown.
            start = max(0, self.column - 1 - _CONTEXT)
            shown = self.source_line[start : self.column - 1 + _CONTEXT]
            offset = self.column - 1 - start
            if start:
                shown, offset = "..." + shown, offset + 3
            if len(self.source_line) > self.column - 1 + _CONTEXT:
                shown += "..."
            width = max(1, min(width, len(shown) - offset + 1, _CONTEXT))
            pad = " " * len(gutter)
            parts.append(f" {gutter} | {shown}")
            parts.append(f" {pad} | {' ' * offset}{'^' * width}")
        if self.help:
            parts.append(f"help: {self.help}")
        return "\n".join(parts)


class PolicySourceError(PolicyLoadError):
    """A policy source that does not compile (kind "source"); see the
    module overview."""

    def __init__(
        self,
        *,
        filename: str,
        line: int,
        column: int,
        path: str,
        message: str,
        kind: ErrorKind = "source",
        end_line: int | None = None,
        end_column: int | None = None,
        help: str | None = None,
        errors: "list[SourceIssue] | None" = None,
    ) -> None:
        super().__init__(
            message,
            kind=kind,
            filename=filename,
            line=line,
            column=column,
            path=path,
        )
        self.filename: str = filename
        self.line: int = line
        self.column: int = column
        self.path: str = path
        self.end_line = line if end_line is None else end_line
        self.end_column = column + 1 if end_column is None else end_column
        self.help = help
        first = SourceIssue(
            message,
            filename,
            line,
            column,
            self.end_line,
            self.end_column,
            path,
            help,
        )
        self.errors: list[SourceIssue] = list(errors) if errors else [first]

    def __str__(self) -> str:
        return "\n\n".join(issue.render() for issue in self.errors)

    @classmethod
    def from_issues(cls, issues: list[SourceIssue]) -> "PolicySourceError":
        """An error whose attributes are those of the first issue."""
        first = issues[0]
        return cls(
            filename=first.filename,
            line=first.line,
            column=first.column,
            end_line=first.end_line,
            end_column=first.end_column,
            path=first.path,
            message=first.message,
            help=first.help,
            errors=issues,
        )


@dataclass
class SourceText:
    """The text being compiled, with the line starts that turn character
    offsets into lines and columns."""

    text: str
    filename: str
    _line_starts: list[int] | None = field(default=None, init=False)

    @property
    def line_starts(self) -> list[int]:
        # Only an error needs lines; most compilations never ask.
        if self._line_starts is None:
            found = [m.end() for m in re.finditer("\n", self.text)]
            self._line_starts = [0, *found]
        return self._line_starts

    def position(self, offset: int) -> tuple[int, int]:
        """The 1-based line and column of a character offset, clamped into
        the text."""
        offset = max(0, min(offset, len(self.text)))
        line = bisect.bisect_right(self.line_starts, offset) - 1
        return line + 1, offset - self.line_starts[line] + 1

    def line_text(self, line: int) -> str:
        start = self.line_starts[line - 1]
        end = self.text.find("\n", start)
        return self.text[start : len(self.text) if end < 0 else end].rstrip("\r")

    def issue(
        self, message: str, span: Span, path: str, help: str | None = None
    ) -> SourceIssue:
        line, column = self.position(span.start)
        end_line, end_column = self.position(max(span.end, span.start + 1))
        shown = self.line_text(line)
        if span.end <= span.start or (end_line, end_column) == (line, column):
            # An empty span is one character wide, except at the end of a
            # line, where nothing follows it: the end stays on the line.
            end_line, end_column = line, min(column + 1, len(shown) + 1)
        return SourceIssue(
            message,
            self.filename,
            line,
            column,
            end_line,
            end_column,
            path,
            help,
            shown,
        )
