"""The `.halvoc` container: a 12-byte header and a policy's JSON as payload.

Layout (all integers little-endian):

    offset  size  field
    0       4     magic, 0x015C91AE (the bytes AE 91 5C 01)
    4       2     format version, 1
    6       2     reserved, written 0, ignored by readers
    8       4     payload length N
    12      N     the policy as UTF-8 JSON text

This module is the Python writer of that layout, checking nothing but
sizes, and needs no engine; reading is the extension's
(`PolicyEngine.from_bytes`), so a container is always judged by one reader.
The checked writer and reader, `pack` and `unpack`, are in `loading`.

    data = write_container(open("guard.json").read())
    assert is_container(data)
"""

import struct
from typing import Final

MAGIC: Final = 0x015C91AE
MAGIC_BYTES: Final = MAGIC.to_bytes(4, "little")
FORMAT_VERSION: Final = 1
HEADER: Final = struct.Struct("<IHHI")
MAX_PAYLOAD: Final = 0xFFFFFFFF

BytesLike = bytes | bytearray | memoryview


def write_container(
    payload: str | BytesLike, *, version: int = FORMAT_VERSION, reserved: int = 0
) -> bytes:
    """Bytes of a container around `payload` (str is written as UTF-8).

    Nothing is checked but the sizes the header can hold; `pack` is the
    checked writer. Other versions and reserved values are for testing
    readers.
    """
    data = payload.encode("utf-8") if isinstance(payload, str) else bytes(payload)
    if len(data) > MAX_PAYLOAD:
        raise ValueError(
            f"payload of {len(data)} bytes exceeds the container's limit "
            f"of {MAX_PAYLOAD} bytes"
        )
    return HEADER.pack(MAGIC, version, reserved, len(data)) + data


def is_container(data: bytes) -> bool:
    """Whether `data` is meant as a container rather than JSON text: it
    starts with the magic's first byte, which no UTF-8 text starts with."""
    return data[:1] == MAGIC_BYTES[:1]
