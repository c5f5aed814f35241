"""Where the characters of a YAML scalar's value lie in the file.

PyYAML's composed nodes give each scalar its start and end in the file
but not where each character of its (unquoted, unescaped, folded) value
came from. `value_offsets` rebuilds that by walking the scalar's source
text beside its value: a value character is the next source character
equal to it, after the quoting and escaping of the scalar's style; line
breaks folded into spaces, indentation and block headers are skipped.

    offsets = value_offsets(source, node)   # len(node.value) + 1 offsets
    offsets[3]                              # where value[3] is in `source`

The walk is exact for plain, quoted and block scalars; if a value cannot be
followed (an unusual escape), the remaining characters map to the
scalar's end, which is still inside it.
"""

import yaml

_SIMPLE_ESCAPES = frozenset('0abtnvfre "/\\N_LP\t')
_HEX_ESCAPES = {"x": 2, "u": 4, "U": 8}
_BREAKS = "\r\n\x85\u2028\u2029"


def _content_start(source: str, node: yaml.ScalarNode) -> int:
    """The offset of the first character of the scalar itself, after any
    tag or anchor, after the opening quote or the block header line."""
    pos = node.start_mark.index
    end = node.end_mark.index
    while pos < end and source[pos] in "!&":
        while pos < end and source[pos] not in " \t\r\n":
            pos += 1
        while pos < end and source[pos] in " \t\r\n":
            pos += 1
    style = node.style
    if style in ("'", '"') and pos < end and source[pos] == style:
        return pos + 1
    if style in ("|", ">"):
        newline = source.find("\n", pos, end)
        return end if newline < 0 else newline + 1
    return pos


def value_offsets(source: str, node: yaml.ScalarNode) -> list[int]:
    """For each character of `node.value`, its offset in `source`, and one
    more entry for the end of the value."""
    value = node.value
    end = node.end_mark.index
    pos = _content_start(source, node)
    style = node.style
    offsets: list[int] = []
    for char in value:
        pos = _skip_to(source, pos, end, char, style)
        offsets.append(min(pos, end))
        pos = _step(source, pos, end, style)
    offsets.append(min(pos, end))
    return offsets


def _skip_to(source: str, pos: int, end: int, char: str, style: str | None) -> int:
    """The offset at which the source of value character `char` starts."""
    while pos < end:
        here = source[pos]
        if style == '"' and here == "\\":
            if pos + 1 < end and source[pos + 1] in _BREAKS:
                pos += 2  # an escaped line break stands for nothing
                continue
            return pos
        if style == "'" and source.startswith("''", pos):
            return pos
        if here == char:
            return pos
        if char in " \n" and here in _BREAKS:
            return pos
        if here in " \t" or here in _BREAKS:
            pos += 1
            continue
        return pos  # cannot follow: stay here
    return end


def _step(source: str, pos: int, end: int, style: str | None) -> int:
    """The offset after the source of the value character at `pos`."""
    if pos >= end:
        return end
    if style == '"' and source[pos] == "\\" and pos + 1 < end:
        letter = source[pos + 1]
        if letter in _HEX_ESCAPES:
            return pos + 2 + _HEX_ESCAPES[letter]
        return pos + 2 if letter in _SIMPLE_ESCAPES else pos + 1
    if style == "'" and source.startswith("''", pos):
        return pos + 2
    if source.startswith("\r\n", pos):
        return pos + 2
    return pos + 1
