"""Limits counted outside the engine: across a fleet in Redis, or keyed by
tool, user or tenant in this process.

    limits = SharedLimits(redis.Redis(), targets=["send_email"],
                          scope="context.tenant")
    guard = Guard("policy.yaml", shared_limits=limits)

    keyed = SharedLimits.local(scope="event.tool")   # no server
    guard = Guard("policy.yaml", shared_limits=keyed)

The limits of the event types in `targets` (every limit of the policy when
it is None) leave the guard's engine; each is counted in a window keyed by
the policy's fingerprint, the constraint and the scope's value. An event of
another type goes to the engine alone, with no round trip. An event of such
a type is evaluated by the engine first (so that fields it refuses change
nothing), then counted in its windows by one atomic script, and the
result becomes what the engine holding the limits would have answered:
see `corvanth_core.limits.merge`.

When Redis cannot be reached within `timeout_ms` or answers an error,
`on_unavailable="deny"` denies the event with `unavailable_reason` and one
constraint violation per limit marked `"unavailable": True` (its `current`
0); `"local"` counts the event in windows this process holds of its own
events, as the engine would have alone. The next event tries Redis again.

`mode="leased"` takes `lease` slots of a window at once and spends them
here for up to `lease_ms` of event time: fewer round trips, and in any
window at most `lease` events more per process than the limit.
"""

import json
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal

from _corvanth_core import PolicyEngine

from corvanth_core.limits.merge import merged
from corvanth_core.limits.messages import exceeded_reason, unavailable_reason
from corvanth_core.limits.redis_store import RedisLeases, RedisWindows
from corvanth_core.limits.scope import ScopeReader, key_text, scope_reader
from corvanth_core.limits.windows import HostLimit, LocalWindows, cutoff
from corvanth_core.results import ConstraintViolation, EvaluationResult

OnUnavailable = Literal["deny", "local"]
ON_UNAVAILABLE: tuple[OnUnavailable, ...] = ("deny", "local")
Mode = Literal["exact", "leased"]
MODES: tuple[Mode, ...] = ("exact", "leased")

# How long a window's key outlives its last event, beyond the window.
DEFAULT_EXPIRY_MS = 3_600_000


@dataclass(frozen=True, slots=True)
class SharedLimitsStats:
    """What the host-side limits did: `events` counted in their windows,
    `round_trips` to Redis, `exceeded` events, `unavailable` events decided
    without Redis, whether the last round trip succeeded (`available`) and
    the last error's text."""

    events: int
    round_trips: int
    exceeded: int
    unavailable: int
    available: bool
    last_error: str | None


@dataclass(frozen=True, slots=True)
class _Held:
    """One held limit with its place in the window keys."""

    name: str
    limit: HostLimit
    per: ScopeReader | None


def held_limits(
    policy: Mapping[str, Any],
    targets: frozenset[str] | None,
    keyed: Sequence[HostLimit],
) -> list[_Held]:
    """The limits to hold: for each event type named (every one when
    `targets` is None) or counted by a keyed limit, the policy's constraint
    the engine enforces for it (the last of its type) and then its keyed
    limits, in order. An event type is held whole or not at all."""
    enforced: dict[str, tuple[int, Mapping[str, Any]]] = {}
    for index, constraint in enumerate(policy.get("constraints", [])):
        enforced[constraint["target"]] = (index, constraint)
    keyed_targets = {limit.target for limit in keyed}
    if targets is not None:
        unknown = sorted(targets - enforced.keys() - keyed_targets)
        if unknown:
            raise ValueError(
                f"shared limits name {', '.join(map(repr, unknown))}, which no "
                "limit of the policy counts"
            )
    chosen = (set(enforced) if targets is None else set(targets)) | keyed_targets
    held = []
    for target, (index, c) in sorted(enforced.items(), key=lambda e: e[1][0]):
        if target in chosen:
            limit = HostLimit(c["kind"], target, c["limit"], c["window_millis"])
            held.append(_Held(str(index), limit, None))
    for number, limit in enumerate(keyed):
        per = None if limit.per is None else scope_reader(limit.per, "per")
        held.append(_Held(f"k{number}", limit, per))
    return held


def engine_without(engine: PolicyEngine, targets: Iterable[str]) -> PolicyEngine:
    """A new engine for `engine`'s policy without the constraints of
    `targets`."""
    policy = json.loads(engine.to_json())
    gone = set(targets)
    policy["constraints"] = [
        c for c in policy["constraints"] if c["target"] not in gone
    ]
    return PolicyEngine.from_json(json.dumps(policy, ensure_ascii=False))


class SharedLimits:
    """Rate limits and quotas held outside the engine (see the module)."""

    def __init__(
        self,
        client: Any,
        *,
        targets: Iterable[str] | None = None,
        key_prefix: str = "corvanth",
        scope: str | None = None,
        on_unavailable: OnUnavailable = "deny",
        timeout_ms: int = 50,
        expiry_ms: int = DEFAULT_EXPIRY_MS,
        mode: Mode = "exact",
        lease: int = 100,
        lease_ms: int = 1000,
    ) -> None:
        if mode not in MODES:
            raise ValueError(f"mode must be 'exact' or 'leased', not {mode!r}")
        if mode == "leased" and client is None:
            raise ValueError("mode='leased' takes its leases from Redis: give a client")
        if on_unavailable not in ON_UNAVAILABLE:
            raise ValueError(
                f"on_unavailable must be 'deny' or 'local', not {on_unavailable!r}"
            )
        positive = ("timeout_ms", timeout_ms), ("expiry_ms", expiry_ms)
        for name, value in (*positive, ("lease", lease), ("lease_ms", lease_ms)):
            if type(value) is not int or value <= 0:
                raise ValueError(f"{name} must be a positive int, not {value!r}")
        if not isinstance(key_prefix, str):
            raise TypeError(
                f"key_prefix must be a str, not {type(key_prefix).__name__}"
            )
        if isinstance(targets, str):
            raise TypeError("targets must be a list of event types, not one str")
        self._targets = None if targets is None else frozenset(targets)
        self._scope = None if scope is None else scope_reader(scope)
        self._prefix = key_prefix
        self._on_unavailable: OnUnavailable = on_unavailable
        self._store = (
            None
            if client is None
            else RedisWindows(client, timeout_ms=timeout_ms, expiry_ms=expiry_ms)
        )
        self._local = LocalWindows()
        self._leases = (
            None if self._store is None or mode == "exact" else RedisLeases(self._store)
        )
        self._lease = lease
        self._lease_ms = lease_ms
        self._bound: LimitedEngine | None = None

    @classmethod
    def local(
        cls, *, targets: Iterable[str] | None = None, scope: str | None = None
    ) -> "SharedLimits":
        """The same windows held in this process: no server, nothing shared
        with other processes; for limits per tool, user or tenant."""
        return cls(None, targets=targets, scope=scope)

    @property
    def is_local(self) -> bool:
        return self._store is None

    def bind(
        self,
        engine: PolicyEngine,
        fingerprint: str,
        keyed: Sequence[HostLimit] = (),
    ) -> "LimitedEngine":
        """The engine that evaluates with these limits: `engine`'s policy
        without them, and the limits counted here. `fingerprint` names the
        policy in the window keys; `keyed` adds limits that the engine
        cannot hold (keyed by `per`). One guard per SharedLimits."""
        if self._bound is not None:
            raise ValueError("these shared limits already serve another guard")
        policy = json.loads(engine.to_json())
        held = held_limits(policy, self._targets, keyed)
        local_engine = engine_without(engine, {h.limit.target for h in held})
        self._bound = LimitedEngine(self, local_engine, fingerprint, held)
        return self._bound

    def stats(self) -> SharedLimitsStats:
        """The counters of the guard these limits serve (zeros before)."""
        if self._bound is None:
            return SharedLimitsStats(0, 0, 0, 0, True, None)
        return self._bound.stats()

    def __repr__(self) -> str:
        where = "local" if self._store is None else "redis"
        return f"<SharedLimits {where} on_unavailable={self._on_unavailable!r}>"


def _violation(held: _Held, current: int) -> ConstraintViolation:
    limit = held.limit
    return {
        "kind": limit.kind,
        "target": limit.target,
        "limit": limit.limit,
        "current": current,
        "window_ms": limit.window_ms,
    }


class LimitedEngine:
    """An engine and the limits held beside it, evaluating as one."""

    def __init__(
        self,
        limits: SharedLimits,
        engine: PolicyEngine,
        fingerprint: str,
        held: list[_Held],
    ) -> None:
        self.engine = engine
        self._limits = limits
        self._fingerprint = fingerprint
        self._by_type: dict[str, list[_Held]] = {}
        for one in held:
            self._by_type.setdefault(one.limit.target, []).append(one)
        self._context: dict[str, Any] = {}
        # Leased mode: per window key, the slots still to spend and the
        # time they were granted.
        self._slots: dict[str, tuple[list[str], int]] = {}
        self._events = 0
        self._round_trips = 0
        self._exceeded = 0
        self._unavailable = 0
        self._available = True
        self._last_error: str | None = None

    @property
    def targets(self) -> frozenset[str]:
        """The event types whose limits are held here."""
        return frozenset(self._by_type)

    def set_context(self, key: str, value: Any) -> None:
        """Note a context value, for scopes that read the context."""
        self._context[key] = value

    def _keys(
        self, held: Sequence[_Held], fields: Mapping[str, Any] | None
    ) -> list[str]:
        scope = self._limits._scope
        outer = "" if scope is None else scope(fields, self._context)
        keys = []
        for one in held:
            inner = "" if one.per is None else one.per(fields, self._context)
            parts = [self._fingerprint, one.name, one.limit.target, outer, inner]
            keys.append(self._limits._prefix + ":" + key_text(parts))
        return keys

    def _counts(
        self, held: Sequence[_Held], keys: list[str], timestamp_ms: int
    ) -> list[int] | None:
        """The windows' counts with this event, None when Redis could not
        give them and the event is denied for it."""
        limits = self._limits
        local = limits._local
        store = limits._store
        mirrored = None
        if store is None or limits._on_unavailable == "local":
            mirrored = [
                local.record((key,), timestamp_ms, one.limit.window_ms)
                for key, one in zip(keys, held)
            ]
        if store is None:
            return mirrored
        try:
            if limits._leases is not None:
                counts = self._leased(held, keys, timestamp_ms, limits._leases)
            else:
                self._round_trips += 1
                counts = store.record(
                    keys,
                    timestamp_ms,
                    [cutoff(timestamp_ms, one.limit.window_ms) for one in held],
                    max(one.limit.window_ms for one in held),
                )
        except Exception as error:  # noqa: BLE001 (any failure of the store)
            self._available = False
            self._last_error = f"{type(error).__name__}: {error}"
            self._unavailable += 1
            return mirrored
        self._available = True
        return counts

    def _leased(
        self,
        held: Sequence[_Held],
        keys: list[str],
        timestamp_ms: int,
        leases: RedisLeases,
    ) -> list[int]:
        """The counts of the event's windows in leased mode: a slot of a
        live lease is spent here (count 0: within the limit); otherwise the
        lease is renewed, its unused slots returned, in one round trip."""
        limits = self._limits
        counts = []
        for key, one in zip(keys, held):
            slots, granted_at = self._slots.get(key, ([], timestamp_ms))
            alive = timestamp_ms - granted_at <= min(
                limits._lease_ms, one.limit.window_ms
            )
            if slots and alive and timestamp_ms >= granted_at:
                slots.pop()
                counts.append(0)
                continue
            self._round_trips += 1
            window = one.limit.window_ms
            fresh, count = leases.take(
                key,
                timestamp_ms,
                cutoff(timestamp_ms, window),
                one.limit.limit,
                limits._lease,
                window,
                slots,
            )
            if fresh:
                fresh.pop()
            self._slots[key] = (fresh, timestamp_ms)
            counts.append(count)
        return counts

    def evaluate_at(
        self, timestamp_ms: int, event_type: str, fields: Mapping[str, Any] | None
    ) -> EvaluationResult:
        """The engine's result for the event, the held limits counted."""
        held = self._by_type.get(event_type)
        result = self.engine.evaluate_at(timestamp_ms, event_type, fields)
        if held is None:
            return result
        self._events += 1
        counts = self._counts(held, self._keys(held, fields), timestamp_ms)
        violations: list[ConstraintViolation] = []
        reason = ""
        if counts is None:
            for one in held:
                entry = _violation(one, 0)
                entry["unavailable"] = True
                violations.append(entry)
                reason = unavailable_reason(one.limit.kind, one.limit.target)
        else:
            for one, current in zip(held, counts):
                if current > one.limit.limit:
                    violations.append(_violation(one, current))
                    limit = one.limit
                    reason = exceeded_reason(
                        limit.kind, current, limit.window_ms, limit.limit
                    )
        if not violations:
            return result
        self._exceeded += counts is not None
        trace = self.engine.explain(event_type, fields, timestamp_ms)["trace"]
        return merged(result, trace["rules"], violations, reason)

    def stats(self) -> SharedLimitsStats:
        return SharedLimitsStats(
            self._events,
            self._round_trips,
            self._exceeded,
            self._unavailable,
            self._available,
            self._last_error,
        )
