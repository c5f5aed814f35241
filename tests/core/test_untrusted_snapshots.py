"""Snapshots from outside the process: signing with a key, and the memory a
restore may take.

The signature is checked against Python's own hmac module: a signed
snapshot sets flag bit 0 and carries the HMAC-SHA256 of every byte before
it between the body and the checksum; its body is the unsigned one.
"""

import hashlib
import hmac
import re
import struct

import pytest
import snapshot_format as fmt
from _corvanth_core import PolicyEngine
from helpers import engine_for
from snapshot_cases import STATEFUL

KEY = b"host secret"
MAC_SIZE = 32


def busy_engine():
    engine = engine_for(STATEFUL)
    engine.evaluate_at(1_000, "tool_call", {"tool": "x"})
    engine.set_context("user", {"name": "ana", "roles": ["dev", None]})
    return engine


def reseal(data):
    """`data` with its checksum made right again (and only that)."""
    body = data[:-8]
    return body + fmt.u64(fmt.fnv1a(body))


@pytest.mark.parametrize("as_key", [bytes, bytearray, memoryview])
def test_signed_snapshot_layout_and_round_trip(as_key):
    engine = busy_engine()
    plain = engine.snapshot()
    signed = engine.snapshot(key=as_key(KEY))
    assert len(signed) == len(plain) + MAC_SIZE
    assert struct.unpack_from("<I", signed, 12) == (1,)
    assert struct.unpack_from("<Q", signed, 16) == (len(signed),)
    assert signed[32:-40] == plain[32:-8]
    mac = hmac.new(KEY, signed[:-40], hashlib.sha256).digest()
    assert signed[-40:-8] == mac
    assert signed[-8:] == fmt.u64(fmt.fnv1a(signed[:-8]))
    copy = engine_for(STATEFUL)
    copy.restore(signed, key=as_key(KEY))
    assert copy.snapshot() == plain


def tampered(data):
    """A byte of the body changed, the checksum sealed again."""
    changed = bytearray(data)
    changed[40] ^= 0x01
    return reseal(bytes(changed))


def short_signed(data):
    """A bare header with the signed flag: no room for a signature."""
    header = bytearray(data[:32])
    struct.pack_into("<Q", header, 16, 40)
    return reseal(bytes(header) + bytes(8))


REFUSALS = [
    (
        "key-given-for-unsigned",
        lambda e: e.snapshot(),
        KEY,
        (
            "the snapshot is not signed, and a key was given (only snapshots "
            "signed with that key are accepted)"
        ),
    ),
    (
        "signed-without-key",
        lambda e: e.snapshot(key=KEY),
        None,
        "the snapshot is signed; restore it with the key it was signed with",
    ),
    (
        "other-key",
        lambda e: e.snapshot(key=KEY),
        b"another secret",
        "signature mismatch (the data was changed, or signed with another key)",
    ),
    (
        "changed-body",
        lambda e: tampered(e.snapshot(key=KEY)),
        KEY,
        "signature mismatch (the data was changed, or signed with another key)",
    ),
    (
        "no-room-for-signature",
        lambda e: short_signed(e.snapshot(key=KEY)),
        KEY,
        "truncated: 40 bytes, a snapshot has at least 72",
    ),
    (
        "unknown-flag-beside-signed",
        lambda e: reseal(
            e.snapshot(key=KEY)[:12] + fmt.u32(3) + e.snapshot(key=KEY)[16:]
        ),
        KEY,
        "unknown flags 3",
    ),
]


@pytest.mark.parametrize(
    "make, key, reason", [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS]
)
def test_signature_refusals_leave_the_engine_unchanged(make, key, reason):
    data = make(busy_engine())
    target = engine_for(STATEFUL)
    target.set_context("mine", 1)
    before = target.snapshot()
    with pytest.raises(ValueError) as raised:
        target.restore(data, key=key)
    assert str(raised.value) == "Invalid snapshot: " + reason
    assert target.snapshot() == before


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda e: e.snapshot(key=b""),
            ValueError,
            "PolicyEngine.snapshot() argument 'key' must not be empty",
        ),
        (
            lambda e: e.restore(e.snapshot(), key=bytearray()),
            ValueError,
            "PolicyEngine.restore() argument 'key' must not be empty",
        ),
        (
            lambda e: e.snapshot(key="secret"),
            TypeError,
            (
                "PolicyEngine.snapshot() argument 'key' must be a bytes-like object "
                "or None, not str"
            ),
        ),
        (
            lambda e: e.restore(e.snapshot(), KEY),
            TypeError,
            "PolicyEngine.restore() takes exactly 1 argument (2 given)",
        ),
        (
            lambda e: e.restore(e.snapshot(), max_bytes=-1),
            OverflowError,
            (
                "PolicyEngine.restore() argument 'max_bytes' must be between 0 and "
                "18446744073709551615"
            ),
        ),
        (
            lambda e: e.restore(e.snapshot(), max_bytes=1.5),
            TypeError,
            (
                "PolicyEngine.restore() argument 'max_bytes' must be int or None, "
                "not float"
            ),
        ),
    ],
)
def test_key_and_limit_argument_errors(call, error, message):
    engine = busy_engine()
    before = engine.snapshot()
    with pytest.raises(error) as raised:
        call(engine)
    assert str(raised.value) == message
    assert engine.snapshot() == before


DENSE = [
    ("nulls", [None] * 100_000),
    ("empty-lists", [[]] * 50_000),
    ("empty-dicts", [{}] * 50_000),
    ("wide-dict", {f"k{i}": None for i in range(50_000)}),
]


@pytest.mark.parametrize("value", [v for _, v in DENSE], ids=[n for n, _ in DENSE])
def test_dense_snapshots_fit_the_default_bound_and_max_bytes_refuses(value):
    # Every snapshot the engine writes restores within the default bound
    # (32 times its size); a smaller max_bytes refuses it before building.
    engine = engine_for(STATEFUL)
    engine.set_context("v", value)
    data = engine.snapshot()
    copy = engine_for(STATEFUL)
    copy.restore(data)
    assert copy.snapshot() == data
    limit = len(data) // 2
    copy.set_context("v", None)
    before = copy.snapshot()
    with pytest.raises(ValueError) as raised:
        copy.restore(data, max_bytes=limit)
    assert re.fullmatch(
        r"Invalid snapshot: the state would take (\d+) bytes of memory, more "
        rf"than the limit of {limit} \(max_bytes\)",
        str(raised.value),
    )
    assert copy.snapshot() == before


def test_max_bytes_counts_the_state_not_the_snapshot():
    engine = engine_for(STATEFUL)
    engine.set_context("v", [None] * 10_000)
    data = engine.snapshot()
    taken = int(
        re.search(
            r"take (\d+) bytes",
            str(pytest.raises(ValueError, engine.restore, data, max_bytes=0).value),
        ).group(1)
    )
    # A list of nulls: one byte each in the snapshot, a 32-byte value each in
    # memory.
    assert 32 * 10_000 <= taken <= 32 * len(data)
    engine.restore(data, max_bytes=taken)
    with pytest.raises(ValueError):
        engine.restore(data, max_bytes=taken - 1)


def test_pickle_and_copy_keep_working_with_signed_peers():
    import copy
    import pickle

    engine = busy_engine()
    assert pickle.loads(pickle.dumps(engine)).snapshot() == engine.snapshot()
    assert copy.deepcopy(engine).snapshot(key=KEY) == engine.snapshot(key=KEY)


def test_restore_accepts_its_own_signed_snapshot_on_a_new_engine_only_with_key():
    engine = busy_engine()
    signed = engine.snapshot(key=KEY)
    fresh = PolicyEngine.from_json(engine.to_json())
    with pytest.raises(ValueError):
        fresh.restore(signed)
    fresh.restore(signed, key=KEY)
    assert fresh.snapshot(key=KEY) == signed
