"""The runtime's committed Unicode tables (halvo-runtime/src/unicode_tables.inc)
read back into Python, and the case mappings and white space they define.

The tests compare the engine's "to_upper", "to_lower" and "trim" against
these, so they check the same thing on every Python, whatever version of the
Unicode database the running interpreter carries.
"""

import functools
import pathlib
import re

TABLES = (
    pathlib.Path(__file__).resolve().parents[2]
    / "halvo-runtime"
    / "src"
    / "unicode_tables.inc"
)

CAPITAL_SIGMA = "\u03a3"
FINAL_SIGMA = "\u03c2"

_ARRAY = re.compile(r"constexpr \w+ (\w+)\[\] = \{\n(.*?)\n\};", re.DOTALL)
_NUMBER = re.compile(r"-?(?:0x[0-9A-F]+|\d+)")


@functools.cache
def arrays():
    """Each table's rows as tuples of ints, by table name."""
    text = TABLES.read_text()
    return {
        name: [
            tuple(int(n, 0) for n in _NUMBER.findall(row)) for row in body.splitlines()
        ]
        for name, body in _ARRAY.findall(text)
    }


@functools.cache
def unicode_version():
    match = re.search(r"^// Unicode (\S+), ", TABLES.read_text(), re.MULTILINE)
    return match.group(1)


def _code_points(ranges):
    return frozenset(cp for first, last in ranges for cp in range(first, last + 1))


@functools.cache
def cased():
    return _code_points(arrays()["kCased"])


@functools.cache
def case_ignorable():
    return _code_points(arrays()["kCaseIgnorable"])


@functools.cache
def white_space():
    return _code_points(arrays()["kWhiteSpace"])


@functools.cache
def mapping(direction):
    """chr -> mapped text for every code point that "Upper" or "Lower" maps
    to something else; a code point missing from the table maps to itself."""
    table = {}
    for first, last, stride, delta in arrays()[f"k{direction}Ranges"]:
        for cp in range(first, last + 1, stride):
            table[chr(cp)] = chr(cp + delta)
    for cp, length, *mapped in arrays()[f"k{direction}Expansions"]:
        table[chr(cp)] = "".join(map(chr, mapped[:length]))
    return table


def to_upper(text):
    table = mapping("Upper")
    return "".join(table.get(ch, ch) for ch in text)


def _is_final_sigma(text, index):
    """Unicode's Final_Sigma condition for the capital sigma at `index`: a
    cased letter before it and none after it, case-ignorable ones skipped."""
    ignorable, cased_points = case_ignorable(), cased()

    def nearest(indexes):
        for i in indexes:
            cp = ord(text[i])
            if cp not in ignorable:
                return cp in cased_points
        return False

    return nearest(range(index - 1, -1, -1)) and not nearest(
        range(index + 1, len(text))
    )


def to_lower(text):
    table = mapping("Lower")
    return "".join(
        FINAL_SIGMA
        if ch == CAPITAL_SIGMA and _is_final_sigma(text, i)
        else table.get(ch, ch)
        for i, ch in enumerate(text)
    )
