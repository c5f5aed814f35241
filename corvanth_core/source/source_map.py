"""Where the records of a compiled policy came from in its source, so that
what the engine says about the IR (the paths of `diagnostics()`, such as
`rules[0].condition.Predicate.argument`) can be shown at the source line
that wrote it.

    compiled = compile_with_map(text, filename="guard.yaml")
    engine = PolicyEngine.from_json(compiled.json)
    for d in engine.diagnostics():
        print(compiled.source_map.render(d["path"], d["severity"], d["message"]))
    # guard.yaml:12:11: warning: ...

A path is placed at the longest prefix of it the compiler recorded (an
expression at the scalar that holds it, a record at its item).
"""

import re
from dataclasses import dataclass, field
from typing import Final

from corvanth_core.source.errors import SourceText, Span

_LAST_SEGMENT: Final = re.compile(r"(\.[^.\[\]]*|\[[0-9]+\])\Z")


@dataclass
class SourceMap:
    """IR paths of a compiled policy and the spans of source they came from."""

    source: SourceText
    places: dict[str, Span] = field(default_factory=dict)

    def span(self, path: str) -> Span:
        """The span recorded for `path` or its longest recorded prefix; the
        whole text when none is."""
        current = path
        while True:
            if current in self.places:
                return self.places[current]
            if not current:
                return Span(0, len(self.source.text))
            trimmed = _LAST_SEGMENT.sub("", current)
            current = "" if trimmed == current else trimmed

    def position(self, path: str) -> tuple[int, int]:
        """The 1-based line and column of `path` in the source."""
        return self.source.position(self.span(path).start)

    def render(self, path: str, severity: str, message: str) -> str:
        """`file:line:column: severity: message`, then the source line and
        a caret under the span."""
        issue = self.source.issue(f"{severity}: {message}", self.span(path), path)
        return issue.render()


@dataclass(frozen=True)
class CompiledSource:
    """A compiled policy's canonical IR JSON and its source map."""

    json: str
    source_map: SourceMap
