"""Tokens of the expression language.

    tokens = tokenize('tool == "shell" and size > 4096', 0)
    [t.kind for t in tokens]   # NAME OP STRING NAME NAME OP INT END

Kinds: NAME (identifiers and words), QNAME (a name in backquotes, any
text), LOCAL (`$0`, a local by index), INT, FLOAT, DURATION (`30s`), STRING
(`"..."` or `'...'`), REGEX (`re"..."`), FSTRING (`f"...{expr}..."`, whose
value is a list of text parts and token lists), OP, and END. Offsets are
those of the text given, so errors can be placed through the source map.
"""

import re
from dataclasses import dataclass
from typing import Final

from corvanth_core.source.names import DURATION_UNITS


class LexError(Exception):
    """A token that cannot be read: message, offsets, optional help."""

    def __init__(
        self, message: str, start: int, end: int, help: str | None = None
    ) -> None:
        super().__init__(message)
        self.message = message
        self.start = start
        self.end = end
        self.help = help


@dataclass
class Token:
    kind: str
    value: object
    start: int
    end: int


FStringPart = str | list[Token]

_NAME: Final = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_NUMBER: Final = re.compile(
    r"(?P<int>[0-9]+)(?P<frac>\.[0-9]+)?(?P<exp>[eE][+-]?[0-9]+)?"
    r"(?P<unit>ms|s|m|h|d)?"
)
_SPACE: Final = re.compile(r"[ \t\r\n]+")
_OPS: Final = (
    "==",
    "!=",
    "<=",
    ">=",
    "&&",
    "||",
    "=>",
    "<",
    ">",
    "+",
    "-",
    "*",
    "/",
    "%",
    "!",
    "(",
    ")",
    "[",
    "]",
    "{",
    "}",
    ",",
    ".",
)
_ESCAPES: Final = {
    "n": "\n",
    "t": "\t",
    "r": "\r",
    "0": "\0",
    "\\": "\\",
    '"': '"',
    "'": "'",
    "`": "`",
}
_HEX_LENGTHS: Final = {"x": 2, "u": 4, "U": 8}


def tokenize(text: str, start: int = 0, stop_at_brace: bool = False) -> list[Token]:
    """The tokens of `text` from `start`, ending with END. With
    `stop_at_brace`, stops before a `}` that closes nothing (the end of an
    f-string part) and fails if there is none."""
    return _Lexer(text).run(start, stop_at_brace)[0]


def template_parts(text: str) -> list[FStringPart]:
    """The parts of a template (a message): text with `{expression}` parts,
    `{{` and `}}` for braces; no other escapes."""
    parts, _ = _Lexer(text).fstring_body(0, quote=None)
    return parts


class _Lexer:
    def __init__(self, text: str) -> None:
        self.text = text

    def run(self, pos: int, stop_at_brace: bool) -> tuple[list[Token], int]:
        text = self.text
        tokens: list[Token] = []
        depth = 0
        while True:
            space = _SPACE.match(text, pos)
            if space:
                pos = space.end()
            if pos >= len(text):
                if stop_at_brace:
                    raise LexError("unclosed `{` in a template", pos, pos)
                tokens.append(Token("END", None, pos, pos))
                return tokens, pos
            char = text[pos]
            if stop_at_brace and char == "}" and depth == 0:
                tokens.append(Token("END", "}", pos, pos + 1))
                return tokens, pos
            if char == "{":
                depth += 1
            elif char == "}":
                depth -= 1
            token = self.one(pos)
            tokens.append(token)
            pos = token.end

    def one(self, pos: int) -> Token:
        text = self.text
        char = text[pos]
        if char in "\"'":
            value, end = self.string_body(pos + 1, char)
            return Token("STRING", value, pos, end)
        name = _NAME.match(text, pos)
        if name:
            word = name.group()
            after = name.end()
            if word in ("f", "re") and after < len(text) and text[after] in "\"'":
                if word == "re":
                    value, end = self.string_body(after + 1, text[after])
                    return Token("REGEX", value, pos, end)
                parts, end = self.fstring_body(after + 1, text[after])
                return Token("FSTRING", parts, pos, end)
            return Token("NAME", word, pos, after)
        if "0" <= char <= "9":
            return self.number(pos)
        if char == "`":
            value, end = self.string_body(pos + 1, "`")
            return Token("QNAME", value, pos, end)
        if char == "$":
            digits = re.compile(r"[0-9]+").match(text, pos + 1)
            if not digits:
                raise LexError(
                    "`$` must be followed by a local's number",
                    pos,
                    pos + 1,
                    "write `$0` for the element of the innermost loop",
                )
            return Token("LOCAL", int(digits.group()), pos, digits.end())
        for op in _OPS:
            if text.startswith(op, pos):
                return Token("OP", op, pos, pos + len(op))
        if char == "=":
            raise LexError("unexpected `=`", pos, pos + 1, "compare with `==`")
        if char == "&" or char == "|":
            raise LexError(f"unexpected `{char}`", pos, pos + 1, f"write `{char * 2}`")
        raise LexError(f"unexpected character {char!r}", pos, pos + 1)

    def number(self, pos: int) -> Token:
        found = _NUMBER.match(self.text, pos)
        assert found is not None
        end = found.end()
        if end < len(self.text) and (self.text[end].isalnum() or self.text[end] == "_"):
            tail = _NAME.match(self.text, end)
            stop = tail.end() if tail else end + 1
            raise LexError(
                f"invalid number `{self.text[pos:stop]}`",
                pos,
                stop,
                "durations take a unit of ms, s, m, h or d",
            )
        unit = found.group("unit")
        is_float = found.group("frac") is not None or found.group("exp") is not None
        if unit is not None:
            if is_float:
                raise LexError(
                    "a duration is a whole number of its unit",
                    pos,
                    end,
                    "write 1500ms rather than 1.5s",
                )
            value = (int(found.group("int")), DURATION_UNITS[unit][0])
            return Token("DURATION", value, pos, end)
        if is_float:
            number = float(found.group())
            if number in (float("inf"), float("-inf")):
                raise LexError("number is too large for a float", pos, end)
            return Token("FLOAT", number, pos, end)
        return Token("INT", int(found.group("int")), pos, end)

    def escape(self, pos: int) -> tuple[str, int]:
        """The character of the escape whose letter is at `pos`."""
        text = self.text
        if pos >= len(text):
            raise LexError("unfinished escape", pos - 1, pos)
        letter = text[pos]
        if letter in _HEX_LENGTHS:
            digits = text[pos + 1 : pos + 1 + _HEX_LENGTHS[letter]]
            if len(digits) != _HEX_LENGTHS[letter] or not all(
                c in "0123456789abcdefABCDEF" for c in digits
            ):
                raise LexError(
                    f"`\\{letter}` needs {_HEX_LENGTHS[letter]} hex digits",
                    pos - 1,
                    pos + 1 + len(digits),
                )
            code = int(digits, 16)
            if code > 0x10FFFF or 0xD800 <= code <= 0xDFFF:
                raise LexError(
                    f"`\\{letter}{digits}` is not a character",
                    pos - 1,
                    pos + 1 + len(digits),
                )
            return chr(code), pos + 1 + len(digits)
        if letter in _ESCAPES:
            return _ESCAPES[letter], pos + 1
        raise LexError(
            f"unknown escape `\\{letter}`",
            pos - 1,
            pos + 1,
            "the escapes are \\n \\t \\r \\0 \\\\ \\\" \\' \\` \\xHH \\uHHHH \\UHHHHHHHH",
        )

    def string_body(self, pos: int, quote: str) -> tuple[str, int]:
        text = self.text
        out: list[str] = []
        start = pos - 1
        while True:
            stop = _next_special(text, pos, quote)
            out.append(text[pos:stop])
            if stop >= len(text):
                raise LexError("unclosed string", start, len(text))
            if text[stop] == quote:
                return "".join(out), stop + 1
            char, pos = self.escape(stop + 1)
            out.append(char)

    def fstring_body(
        self, pos: int, quote: str | None
    ) -> tuple[list[FStringPart], int]:
        """Parts of an f-string (quote given) or of a template (no quote,
        no escapes, to the end of the text)."""
        text = self.text
        parts: list[FStringPart] = []
        buffer: list[str] = []
        start = pos - 1
        while True:
            if pos >= len(text):
                if quote is not None:
                    raise LexError("unclosed string", start, len(text))
                break
            char = text[pos]
            if char == quote:
                pos += 1
                break
            if char == "\\" and quote is not None:
                value, pos = self.escape(pos + 1)
                buffer.append(value)
            elif char == "{" and text.startswith("{{", pos):
                buffer.append("{")
                pos += 2
            elif char == "}":
                if not text.startswith("}}", pos):
                    raise LexError(
                        "single `}` in a template", pos, pos + 1, "write `}}`"
                    )
                buffer.append("}")
                pos += 2
            elif char == "{":
                if buffer:
                    parts.append("".join(buffer))
                    buffer = []
                tokens, pos = self.run(pos + 1, stop_at_brace=True)
                if len(tokens) == 1:
                    raise LexError(
                        "empty `{}` in a template", pos - 1, pos + 1, "write `{{}}`"
                    )
                parts.append(tokens)
                pos += 1
            else:
                buffer.append(char)
                pos += 1
        if buffer:
            parts.append("".join(buffer))
        return parts, pos


def _next_special(text: str, pos: int, quote: str) -> int:
    """The offset of the next quote or backslash from `pos`, or the end."""
    found = [i for i in (text.find(quote, pos), text.find("\\", pos)) if i >= 0]
    return min(found) if found else len(text)
