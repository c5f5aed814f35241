"""The snapshot cases: a stateful policy (two rules, two limits, two
machines), a session of events for it and the events after it, and crafted
snapshots the engine must refuse, each with its reason.

Used by the snapshot, copy, explanation and untrusted-snapshot tests under
tests/core/, and by tools/make_fuzz_seeds.py, which writes the snapshots as
seeds of the restore harness:

    from helpers import engine_for
    from snapshot_cases import SESSION, STATEFUL

    engine = engine_for(STATEFUL)
    for stamp, event_type, fields in SESSION:
        engine.evaluate_at(stamp, event_type, fields)
"""

import snapshot_format as fmt
from helpers import engine_for

from corvanth_core.ir import (
    action,
    constraint,
    field,
    lit_str,
    machine,
    policy,
    ref,
    rule,
    state,
    transition,
    verdict,
)

# Reads the whole context and configuration, so that a test sees them in
# full, in their order.
MAPS_RULE = rule(rule_id=99, actions=[action("Log", c=ref("Context"), p=ref("Policy"))])


STATEFUL = policy(
    name="stateful",
    rules=[
        rule(1, ["t"], verdicts=[verdict("Audit", lit_str("seen t"))]),
        MAPS_RULE,
    ],
    constraints=[constraint("t", 2, 1000), constraint("u", 1, 0, kind="Quota")],
    state_machines=[
        machine(
            name="after_u",
            invariant="no_t_after_u",
            states=[state("clean"), state("u_seen"), state("bad", "Violated")],
            transitions=[
                transition(0, 1, ("Predicate", field("u"))),
                transition(1, 2, ("Predicate", field("t"))),
            ],
            violating=[2],
        ),
        machine(
            name="deadline",
            invariant="on_time",
            states=[state("waiting"), state("late", "Violated")],
            transitions=[transition(0, 1, "Timeout")],
            violating=[1],
            deadline_millis=5000,
        ),
    ],
)


# A session: (timestamp, event type, fields).
SESSION = [
    (1000, "t", {"t": 1}),
    (1200, "u", {"u": True}),
    (1300, "t", {}),
    (1900, "t", {"t": "x"}),
    (1950, "u", {}),
]
LATER = [(2000, "t", {"t": 1}), (2500, "u", {}), (7000, "t", {}), (7001, "x", {})]


# --- crafted snapshots -------------------------------------------------------

FRESH = {
    "machines": [(0, 0), (0, 0)],
    "limiters": [("t", []), ("u", [])],
}


def crafted(**changes):
    """A body for STATEFUL with `changes` to the fields of a fresh state."""
    fields = dict(FRESH)
    fields.update(changes)
    return fmt.body(**fields)


def one_raw_context_entry(entry):
    """A body whose context holds one hand-encoded entry (key, then value).

    A fresh body ends with its two empty maps, context and configuration,
    each an 8-byte count of 0.
    """
    return crafted()[:-16] + fmt.u64(1) + entry + fmt.u64(0)


def other_policy_snapshot():
    return engine_for(policy(name="other")).snapshot()


# (name, bytes made from the fingerprint of STATEFUL, reason)
REFUSED = [
    ("empty", lambda fp: b"", "not a snapshot (bad magic bytes)"),
    (
        "not a snapshot",
        lambda fp: b"PK\x03\x04" + bytes(60),
        "not a snapshot (bad magic bytes)",
    ),
    (
        "magic prefix only",
        lambda fp: fmt.MAGIC[:5],
        "truncated: 5 bytes, a snapshot has at least 40",
    ),
    (
        "future version",
        lambda fp: fmt.seal(fp, crafted(), version=2),
        "unsupported format version 2 (this engine reads version 1)",
    ),
    (
        "version 0",
        lambda fp: fmt.seal(fp, crafted(), version=0),
        "unsupported format version 0 (this engine reads version 1)",
    ),
    (
        "far future version, any body",
        lambda fp: fmt.MAGIC + fmt.u32(2**32 - 1) + b"\xee" * 60,
        "unsupported format version 4294967295 (this engine reads version 1)",
    ),
    (
        "length says more",
        lambda fp: fmt.seal(fp, crafted(), length=10**6),
        "truncated: 138 bytes, the header says 1000000",
    ),
    (
        "trailing bytes",
        lambda fp: fmt.seal(fp, crafted()) + b"\x00",
        "trailing bytes: 139 bytes, the header says 138",
    ),
    (
        "checksum",
        lambda fp: fmt.seal(fp, crafted())[:-1] + b"\x00",
        "checksum mismatch (the data is corrupted)",
    ),
    ("unknown flags", lambda fp: fmt.seal(fp, crafted(), flags=4), "unknown flags 4"),
    (
        "another policy",
        lambda fp: other_policy_snapshot(),
        "made for another policy (policy fingerprint differs)",
    ),
    (
        "fingerprint off by one",
        lambda fp: fmt.seal(fp ^ 1, crafted()),
        "made for another policy (policy fingerprint differs)",
    ),
    (
        "body ends early",
        lambda fp: fmt.seal(fp, crafted()[:-3]),
        "malformed: the data ends early",
    ),
    (
        "machine count beyond the bytes",
        lambda fp: fmt.seal(fp, fmt.u64(0) + fmt.u64(2**64 - 1)),
        "malformed: a machine list of 18446744073709551615 elements in 0 bytes",
    ),
    (
        "one machine too few",
        lambda fp: fmt.seal(fp, crafted(machines=[(0, 0)])),
        "malformed: 1 machines, the policy has 2",
    ),
    (
        "unknown state",
        lambda fp: fmt.seal(fp, crafted(machines=[(0, 0), (7, 0)])),
        "malformed: state 7 is not a state of machine 1",
    ),
    (
        "one limiter too many",
        lambda fp: fmt.seal(fp, crafted(limiters=[("t", []), ("u", []), ("v", [])])),
        "malformed: 3 rate limiters, the policy has 2",
    ),
    (
        "limiters swapped",
        lambda fp: fmt.seal(fp, crafted(limiters=[("u", []), ("t", [])])),
        "malformed: rate limiter 0 is for 'u', the policy's for 't'",
    ),
    (
        "window out of order",
        lambda fp: fmt.seal(fp, crafted(limiters=[("t", [5, 4]), ("u", [])])),
        "malformed: the window of 't' is not in ascending order",
    ),
    (
        "window count beyond the bytes",
        lambda fp: fmt.seal(
            fp,
            fmt.u64(0)
            + fmt.u64(2)
            + (fmt.u32(0) + fmt.u64(0)) * 2
            + fmt.u64(2)
            + fmt.text("t")
            + fmt.u64(2**61)
            + bytes(16),
        ),
        "malformed: a window of 2305843009213693952 elements in 16 bytes",
    ),
    (
        "target not UTF-8",
        lambda fp: fmt.seal(fp, crafted(limiters=[(b"\xff", []), ("u", [])])),
        "malformed: a target that is not valid UTF-8",
    ),
    (
        "key not UTF-8",
        lambda fp: fmt.seal(
            fp,
            one_raw_context_entry(fmt.text(b"\xc0\x80") + fmt.u8(0)),
        ),
        "malformed: a key that is not valid UTF-8",
    ),
    (
        "string value not UTF-8",
        lambda fp: fmt.seal(
            fp,
            one_raw_context_entry(
                fmt.text("k") + fmt.u8(4) + fmt.text(b"\xed\xa0\x80")
            ),
        ),
        "malformed: a string that is not valid UTF-8",
    ),
    (
        "unknown value tag",
        lambda fp: fmt.seal(fp, one_raw_context_entry(fmt.text("k") + fmt.u8(8))),
        "malformed: unknown value tag 8",
    ),
    (
        "bool byte",
        lambda fp: fmt.seal(
            fp,
            one_raw_context_entry(fmt.text("k") + fmt.u8(1) + fmt.u8(2)),
        ),
        "malformed: bool byte 2",
    ),
    (
        "duplicate context key",
        lambda fp: fmt.seal(fp, crafted(context=[("k", 1), ("k", 2)])),
        "malformed: duplicate key 'k' in the context",
    ),
    (
        "duplicate config key",
        lambda fp: fmt.seal(fp, crafted(config=[("k", 1), ("k", 2)])),
        "malformed: duplicate key 'k' in the configuration",
    ),
    (
        "duplicate key in a nested map",
        lambda fp: fmt.seal(
            fp,
            one_raw_context_entry(
                fmt.text("m") + fmt.u8(7) + fmt.mapping([("a", 1), ("a", 1)])
            ),
        ),
        "malformed: duplicate key 'a' in the map",
    ),
    (
        "list count beyond the bytes",
        lambda fp: fmt.seal(
            fp,
            one_raw_context_entry(fmt.text("k") + fmt.u8(6) + fmt.u64(100)),
        ),
        "malformed: a list of 100 elements in 8 bytes",
    ),
    (
        "nested too deeply",
        lambda fp: fmt.seal(
            fp,
            one_raw_context_entry(
                fmt.text("k") + (fmt.u8(6) + fmt.u64(1)) * 1001 + fmt.u8(0)
            ),
        ),
        "malformed: values nested more than 1000 deep",
    ),
    (
        "bytes after the state",
        lambda fp: fmt.seal(fp, crafted() + b"\x00"),
        "malformed: 1 bytes after the state",
    ),
]
