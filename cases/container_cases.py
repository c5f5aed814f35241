"""The .halvoc containers of the container reader's tests: a valid one, and
damaged headers and payloads with the reader's message for each.

Used by tests/core/test_container.py, which reads each case, and by
tools/make_fuzz_seeds.py, which writes them as seeds of the container's
fuzz harness:

    from container_cases import HEADER_ERRORS

    for label, data, message in HEADER_ERRORS:
        ...
"""

import json

from halvoc import container

from corvanth_core.ir import policy

PAYLOAD = json.dumps(policy(name="boxed"), separators=(",", ":"))
VALID = container(PAYLOAD)
MAGIC_BYTES = bytes([0xAE, 0x91, 0x5C, 0x01])
SHORT = "I/O error: failed to fill whole buffer"
BAD_MAGIC = "not a valid .halvoc file (bad magic bytes)"


HEADER_ERRORS = [
    ("empty", b"", SHORT),
    ("one byte", MAGIC_BYTES[:1], SHORT),
    ("two bytes", MAGIC_BYTES[:2], SHORT),
    ("three bytes", MAGIC_BYTES[:3], SHORT),
    ("magic only", MAGIC_BYTES, SHORT),
    ("magic and half a version", MAGIC_BYTES + b"\x01", SHORT),
    ("four zero bytes", b"\x00\x00\x00\x00", BAD_MAGIC),
    ("magic big-endian", bytes([0x01, 0x5C, 0x91, 0xAE]) + VALID[4:], BAD_MAGIC),
    ("text instead of a container", PAYLOAD.encode(), BAD_MAGIC),
    ("version 1, nothing more", VALID[:6], SHORT),
    ("half the reserved field", VALID[:7], SHORT),
    ("no length", VALID[:8], SHORT),
    ("three length bytes", VALID[:11], SHORT),
    ("header without payload", VALID[:12], SHORT),
    ("payload one byte short", VALID[:-1], SHORT),
    (
        "length one more than present",
        container(PAYLOAD, length=len(PAYLOAD) + 1),
        SHORT,
    ),
    ("length 4294967295 and 20 bytes", container(b"x" * 20, length=0xFFFFFFFF), SHORT),
    (
        "version 0",
        container(PAYLOAD, version=0),
        "unsupported format version 0 (expected 1)",
    ),
    (
        "version 2",
        container(PAYLOAD, version=2),
        "unsupported format version 2 (expected 1)",
    ),
    (
        "version 65535",
        container(PAYLOAD, version=0xFFFF),
        "unsupported format version 65535 (expected 1)",
    ),
    (
        "version 2 without payload",
        MAGIC_BYTES + b"\x02\x00",
        "unsupported format version 2 (expected 1)",
    ),
    (
        "bad magic before a bad version",
        b"\x00\x00\x00\x00\x02\x00",
        BAD_MAGIC,
    ),
]


NO_METADATA = PAYLOAD[: PAYLOAD.index(',"metadata"')] + "}"

PAYLOAD_ERRORS = [
    (
        "length 0",
        container(PAYLOAD, length=0),
        "EOF while parsing a value at line 1 column 0",
    ),
    (
        "length cuts the policy short",
        container(PAYLOAD, length=len(PAYLOAD) - 1),
        f"EOF while parsing an object at line 1 column {len(PAYLOAD) - 1}",
    ),
    (
        "second value inside the payload",
        container(PAYLOAD + " {}"),
        f"trailing characters at line 1 column {len(PAYLOAD) + 2}",
    ),
    (
        "text after the policy",
        container(PAYLOAD + "\nx"),
        "trailing characters at line 2 column 1",
    ),
    (
        "object without name",
        container('{"severity":"Low"}'),
        "missing field `name` at line 1 column 18",
    ),
    (
        "policy without metadata",
        container(NO_METADATA),
        f"missing field `metadata` at line 1 column {len(NO_METADATA)}",
    ),
    (
        "positions count within the payload",
        container('{\n "name": 1}'),
        "invalid type: integer `1`, expected a string at line 2 column 10",
    ),
    (
        "invalid UTF-8 in a string",
        container(b'{"name":"\xc3\x28"}'),
        "invalid unicode code point at line 1 column 12",
    ),
]
