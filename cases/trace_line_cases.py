"""Trace lines for the replay tests and the trace reader's fuzz seeds.

from trace_line_cases import ODD_LINES
"""

# Lines the package's reader refuses, or reads in ways a hand-written reader
# easily gets wrong: the native replay must give the same texts and effects.
ODD_LINES = [
    b"",
    b"   \t",
    b"\x0c\xc2\xa0",
    b"\xef\xbb\xbf{}",
    b'{"type": "a"}\r\r',
    b"not json",
    b"[1, 2]",
    b'"text"',
    b"{",
    b'{"type"',
    b'{"type": }',
    b'{"type": "a",}',
    b'{"type": "a"} x',
    b'{"type": "a" "fields": {}}',
    b'{"type": "\\x"}',
    b'{"type": "\\u12g4"}',
    b'{"type": "a\x01"}',
    b'{"type": "unterminated',
    b'{"type": 1.}',
    b'{"type": -}',
    b'{"type": [1,]}',
    b'{"type": "\xc3\xa9", "x": 1}',
    b'{"type": "a\xff"}',
    b"\xe2\x82",
    b"\xed\xa0\x80",
    b"{}",
    b'{"fields": {}}',
    b'{"type": 3}',
    b'{"type": "a", "fields": []}',
    b'{"type": "a", "fields": null}',
    b'{"type": "a", "timestamp_ms": -1}',
    b'{"type": "a", "timestamp_ms": 1e3}',
    b'{"type": "a", "timestamp_ms": 18446744073709551616}',
    b'{"type": "a", "timestamp_ms": true}',
    b'{"type": "a", "timestamp_ms": "5"}',
    b'{"type": "a", "timestamp_ms": NaN}',
    b'{"type": "a", "timestamp_ms": 0.1}',
    b'{"type": "a", "timestamp_ms": 1e400}',
    b'{"type": "a", "timestamp_ms": [1, "\xc3\xa9"]}',
    b'{"type": "a", "timestamp_ms": null}',
    b'{"type": "a", "decision": 1}',
    b'{"type": "a", "policy": "p"}',
    b'{"type": "a", "decision_id": 7}',
    b'{"type": "a", "decision": {}, "surface": 1, "shadow": []}',
    b'{"type": "a", "extra": 1}',
    b'{"config": {}, "type": "a"}',
    b'{"config": [1]}',
    b'{"context": "c"}',
    b'{"config": {"k": 1, "\\ud800x": 2}}',
    b'{"context": {"k": {"\\udc00\\ud800": 1}}}',
    b'{"type": "a\\ud800"}',
    b'{"type": "a", "fields": {"tool": "\\ud800"}}',
    b'{"type": "a", "fields": {"x\\udfff": 1}}',
    b'{"type": "a", "fields": {"n": NaN, "i": -Infinity, "b": 1e999}}',
    b'{"type": "a", "fields": {"big": 123456789012345678901234567890}}',
    b'{"type": "a", "fields": {"tool": "x", "tool": "shell"}}',
    b'{"type": "a", "fields": {"s": "\\ud83d\\ude00\\u00e9"}}',
    # Lone surrogates after multibyte text, escapes and an earlier run: the
    # error names the first run at its code point.
    b'{"type": "a", "fields": {"\xc3\xa9\\n\\udc00\\ud800x\\udc02": 1}}',
    b'{"config": {"\\u00e9\\t\\ud83d\\ude00\\udbff\\udbff": 1}}',
    # Timestamps at the edges of the short integer path: 18 and 19 digits,
    # the largest, a fraction, an exponent, a leading zero, space before the
    # brace, a letter after the digits.
    b'{"type": "a", "timestamp_ms": 123456789012345678}',
    b'{"type": "a", "timestamp_ms": 1234567890123456789}',
    b'{"type": "a", "timestamp_ms": 18446744073709551615}',
    b'{"type": "a", "timestamp_ms": 17955108000005.0}',
    b'{"type": "a", "timestamp_ms": 5E2}',
    b'{"type": "a", "timestamp_ms": 05}',
    b'{"type": "a", "timestamp_ms": 5 }',
    b'{"type": "a", "timestamp_ms": 5x}',
    # Strings read eight bytes at a time: the stop (quote, backslash,
    # control) on each side of an eight-byte boundary, an escaped key, text
    # running to the line's end.
    b'{"type": "abcdefg", "fields": {"k": "12345678\\"}}',
    b'{"type": "abcdefgh\u0041", "fields": {"k": "1234567\x1f8"}}',
    b'{"\u0074ype": "a", "fields": {"\u006b": "v", "k2": "\u00e9abcdefgh"}}',
    b'{"type": "a", "fields": {"k": "abcdefghijklmnop',
    # Bytes that are not UTF-8 in a line that is JSON otherwise: in a field's
    # value past eight bytes, in a key, in a setting, beside an escape, cut
    # short at the end, and after the object.
    b'{"type": "a", "fields": {"k": "abcdefghij\xc3"}}',
    b'{"type": "a", "fields": {"\xe9": 1}}',
    b'{"config": {"k": "\xf5\x80"}}',
    b'{"type": "a", "fields": {"k": "\\n\xed\xa0\x80"}}',
    b'{"type": "a", "fields": {"k": "\xe2\x82',
    b'{"type": "a"} \xff',
    b'{"type": "\xc3\xa9t\xc3\xa9", "fields": {"k": "caf\xc3\xa9 cr\xc3\xa8me"}}',
    # Names one letter or one length away from the line's own keys.
    b'{"typ": "a"}',
    b'{"type": "a", "timestamp": 5}',
    b'{"type": "a", "decisions": {}}',
    b'{"type": "a", "surfaces": 1}',
    b'{"contexts": {}}',
    b'{"": 1}',
    b"[" * 100 + b"]" * 100,
    # Deeper than any interpreter's json module reads (3.13's takes 5,000
    # levels, earlier ones refuse them), so both sides refuse it alike.
    b"[" * 100000 + b"]" * 100000,
]
