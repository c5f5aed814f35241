"""A writer of .halvoc containers for tests: the 12-byte header and payload."""

import struct

MAGIC = 0x015C91AE


def container(payload, version=1, reserved=0, length=None):
    """Bytes of a container around `payload` (str or bytes).

    `length` overrides the declared payload length.
    """
    if isinstance(payload, str):
        payload = payload.encode("utf-8")
    declared = len(payload) if length is None else length
    return struct.pack("<IHHI", MAGIC, version, reserved, declared) + payload
