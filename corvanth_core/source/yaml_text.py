"""YAML scalars as the printer writes them: plain when the text reads
back unchanged and as a string, single-quoted when it only needs quoting,
double-quoted with escapes when it holds characters YAML cannot carry
raw (line breaks, control characters).

    scalar("coding_agent")      # coding_agent
    scalar("3")                 # '3'          (plain would read as a number)
    scalar("a: b")              # 'a: b'
    scalar("two\\nlines")        # "two\\nlines"
"""

import re
from typing import Final

import yaml

_RESOLVER: Final = yaml.resolver.Resolver()
_INDICATORS: Final = frozenset("-?:,[]{}#&*!|>'\"%@`")
_FLOW_PLAIN: Final = re.compile(r"[A-Za-z0-9_][A-Za-z0-9_ ./+@-]*\Z")
_DOUBLE_ESCAPES: Final = {
    "\0": "\\0",
    "\t": "\\t",
    "\n": "\\n",
    "\r": "\\r",
    '"': '\\"',
    "\\": "\\\\",
}


def _raw_ok(char: str) -> bool:
    """Whether YAML carries the character raw inside a quoted scalar."""
    code = ord(char)
    if 0x20 <= code <= 0x7E:
        return True
    if code < 0xA0 or code in (0x2028, 0x2029, 0xFEFF):
        return False
    return not (0xD800 <= code <= 0xDFFF or code in (0xFFFE, 0xFFFF))


def plain_ok(text: str, flow: bool = False, typed: bool = True) -> bool:
    """Whether `text` can be written as a plain scalar. With `typed`, it
    must also read as a string (not `3`, `true`, `null`)."""
    if not text or text != text.strip(" ") or not all(_raw_ok(c) for c in text):
        return False
    first = text[0]
    if first in _INDICATORS and (
        flow or first not in "-?:" or len(text) == 1 or text[1] == " "
    ):
        return False
    if ": " in text or " #" in text or text.endswith(":"):
        return False
    if flow and not _FLOW_PLAIN.match(text):
        return False
    if typed:
        tag = _RESOLVER.resolve(yaml.ScalarNode, text, (True, False))  # type: ignore[no-untyped-call]
        return bool(tag == "tag:yaml.org,2002:str")
    return True


def quoted(text: str) -> str:
    if all(_raw_ok(c) for c in text):
        return "'" + text.replace("'", "''") + "'"
    out: list[str] = []
    for char in text:
        if char in _DOUBLE_ESCAPES:
            out.append(_DOUBLE_ESCAPES[char])
        elif _raw_ok(char):
            out.append(char)
        else:
            code = ord(char)
            out.append(f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}")
    return '"' + "".join(out) + '"'


def scalar(text: str, flow: bool = False, typed: bool = True) -> str:
    return text if plain_ok(text, flow, typed) else quoted(text)
