"""The snapshot format written out again in Python, to craft snapshots that
the engine's own writer never makes (version 1, little-endian):

    magic "CVSNAP\\r\\n", u32 version, u32 flags, u64 total length,
    u64 policy fingerprint, body, u64 FNV-1a checksum of all bytes before it

    body: u64 event count; u64 machine count, per machine u32 state and
    u64 start time; u64 limiter count, per limiter text target, u64 entry
    count, u64 entries; map context; map configuration

Used by the snapshot cases and the snapshot tests:

    data = seal(fingerprint, body(machines=[(0, 0)], limiters=[]))
"""

import math
import struct

MAGIC = b"CVSNAP\r\n"
HEADER_SIZE = 32
CHECKSUM_SIZE = 8


def u8(n):
    return struct.pack("<B", n)


def u32(n):
    return struct.pack("<I", n)


def u64(n):
    return struct.pack("<Q", n)


def fnv1a(data):
    h = 0xCBF29CE484222325
    for byte in data:
        h = ((h ^ byte) * 0x100000001B3) % 2**64
    return h


def text(s):
    raw = s.encode("utf-8") if isinstance(s, str) else s
    return u64(len(raw)) + raw


def value(v):
    """A Python value as the engine would hold it (no Duration)."""
    if v is None:
        return u8(0)
    if isinstance(v, bool):
        return u8(1) + u8(int(v))
    if isinstance(v, int):
        return u8(2) + struct.pack("<q", v)
    if isinstance(v, float):
        return u8(3) + struct.pack("<d", v)
    if isinstance(v, str):
        return u8(4) + text(v)
    if isinstance(v, list):
        return u8(6) + u64(len(v)) + b"".join(value(x) for x in v)
    if isinstance(v, dict):
        return u8(7) + mapping(v)
    raise TypeError(v)


def mapping(entries):
    items = entries.items() if isinstance(entries, dict) else entries
    return u64(len(items)) + b"".join(text(k) + value(v) for k, v in items)


def body(event_count=0, machines=(), limiters=(), context=(), config=()):
    """machines: (state, started_at) pairs; limiters: (target, [stamps])."""
    out = u64(event_count) + u64(len(machines))
    out += b"".join(u32(s) + u64(t) for s, t in machines)
    out += u64(len(limiters))
    for target, stamps in limiters:
        out += text(target) + u64(len(stamps)) + b"".join(u64(s) for s in stamps)
    return out + mapping(context) + mapping(config)


def seal(fingerprint, body_bytes, version=1, flags=0, length=None):
    """A whole snapshot with a right checksum; `length` overrides the total."""
    total = HEADER_SIZE + len(body_bytes) + CHECKSUM_SIZE
    head = MAGIC + u32(version) + u32(flags) + u64(total if length is None else length)
    data = head + u64(fingerprint) + body_bytes
    return data + u64(fnv1a(data))


def reseal(data):
    """The same snapshot with its length and checksum made right again."""
    data = data[:16] + u64(len(data)) + data[24:-CHECKSUM_SIZE]
    return data + u64(fnv1a(data))


def fingerprint(snapshot):
    return struct.unpack_from("<Q", snapshot, 24)[0]


def same_float(a, b):
    return (math.isnan(a) and math.isnan(b)) or (
        a == b and math.copysign(1, a) == math.copysign(1, b)
    )
