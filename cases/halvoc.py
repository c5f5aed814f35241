"""Containers for the reader's tests, the container cases and the fuzz
scripts, written by the package's writer; the overrides make the malformed
ones:

    data = container(text, length=2**32 - 1)
"""

from corvanth_core.container import MAGIC, write_container

__all__ = ["MAGIC", "container"]


def container(payload, version=1, reserved=0, length=None):
    """Bytes of a container around `payload` (str or bytes).

    `length` overrides the declared payload length.
    """
    data = write_container(payload, version=version, reserved=reserved)
    if length is None:
        return data
    header = bytearray(data[:12])
    header[8:12] = length.to_bytes(4, "little")
    return bytes(header) + data[12:]
