"""Windows held in Redis, shared by every process of a fleet.

One sorted set per window (score and member: the event's timestamp and a
member unique to the event), changed by one Lua script per event for all
the windows the event counts in, so that Redis serialises the events and
each sees the windows exactly as one engine holding every event in that
order would:

    store = RedisWindows(redis.Redis(), timeout_ms=50)
    store.record(["corvanth:sha256..:0:send_email:"], 61000, [1000], 3_600_000)
    # -> [3]

In leased mode (`RedisLeases`), a process takes a slice of a window's
free slots in one round trip and spends them without asking again.

A window's key expires `expiry_ms` after its last event (by Redis's
clock), which only forgets entries no later event can count when the
events' timestamps move on with real time.
"""

import os
import secrets
from collections.abc import Sequence
from typing import Any

# KEYS: the windows. ARGV[1]: the event's timestamp, ARGV[2]: its member,
# ARGV[3]: the keys' lifetime in ms, ARGV[3 + i]: the cutoff of KEYS[i].
# Entries below the cutoff go, the event is added whatever the count, and
# the count includes it.
RECORD_SCRIPT = """
local counts = {}
for i = 1, #KEYS do
  redis.call('ZREMRANGEBYSCORE', KEYS[i], '-inf', '(' .. ARGV[3 + i])
  redis.call('ZADD', KEYS[i], ARGV[1], ARGV[2])
  counts[i] = redis.call('ZCARD', KEYS[i])
  redis.call('PEXPIRE', KEYS[i], ARGV[3])
end
return counts
"""


def timed_client(client: Any, timeout_ms: int) -> Any:
    """A client on the same server as `client` whose every connect, write
    and read gives up after `timeout_ms` and is never retried, so that an
    event never waits longer for Redis. `client` itself is left as it is;
    a client of another kind than `redis.Redis` is used as given."""
    import redis
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    if type(client) is not redis.Redis:
        return client
    pool = client.connection_pool
    settings = dict(pool.connection_kwargs)
    seconds = timeout_ms / 1000
    settings.update(
        socket_timeout=seconds,
        socket_connect_timeout=seconds,
        retry_on_timeout=False,
        retry=Retry(NoBackoff(), 0),
    )
    own_pool = redis.ConnectionPool(connection_class=pool.connection_class, **settings)
    return redis.Redis(connection_pool=own_pool)


class RedisWindows:
    """The windows of a fleet, in the Redis server of `client`."""

    def __init__(self, client: Any, *, timeout_ms: int, expiry_ms: int) -> None:
        self._client = timed_client(client, timeout_ms)
        self._script = self._client.register_script(RECORD_SCRIPT)
        self._expiry_ms = expiry_ms
        self._nonce = secrets.token_hex(8)
        self._serial = 0

    def _member(self, timestamp_ms: int) -> str:
        # The process id keeps a forked child's members apart from its
        # parent's, which share the nonce and the serial.
        self._serial += 1
        return f"{timestamp_ms}:{os.getpid()}:{self._nonce}:{self._serial}"

    def record(
        self,
        keys: Sequence[str],
        timestamp_ms: int,
        cutoffs: Sequence[int],
        window_ms: int,
    ) -> list[int]:
        """Record one event in the windows `keys` (each pruned below its
        cutoff) and return their counts, in order. Raises what the client
        raises when Redis cannot be reached or answers an error."""
        args = [timestamp_ms, self._member(timestamp_ms), window_ms + self._expiry_ms]
        counts = self._script(keys=list(keys), args=args + list(cutoffs))
        return [int(count) for count in counts]


# A lease of up to ARGV[4] slots of the window KEYS[1] for an event at
# ARGV[1] (cutoff ARGV[2], limit ARGV[3], lifetime ARGV[5], member prefix
# ARGV[6]); ARGV[7..] are the unused slots of the previous lease, returned
# first. The slots are entries at the event's time, so that the window
# counts them as spent. With no slot free, the event itself is recorded
# (as the exact mode records a denied event) and no slot is granted.
# Returns {slots granted, events in the window with this one}.
LEASE_SCRIPT = """
if #ARGV > 6 then
  redis.call('ZREM', KEYS[1], unpack(ARGV, 7, #ARGV))
end
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', '(' .. ARGV[2])
local count = redis.call('ZCARD', KEYS[1])
local free = tonumber(ARGV[3]) - count
local granted = math.min(tonumber(ARGV[4]), free)
redis.call('PEXPIRE', KEYS[1], ARGV[5])
if granted <= 0 then
  redis.call('ZADD', KEYS[1], ARGV[1], ARGV[6])
  return {0, count + 1}
end
for i = 1, granted do
  redis.call('ZADD', KEYS[1], ARGV[1], ARGV[6] .. ':' .. i)
end
return {granted, count + 1}
"""


class RedisLeases:
    """Slices of the fleet's windows, taken from Redis and spent here."""

    def __init__(self, windows: RedisWindows) -> None:
        self._windows = windows
        self._script = windows._client.register_script(LEASE_SCRIPT)

    def take(
        self,
        key: str,
        timestamp_ms: int,
        cutoff_ms: int,
        limit: int,
        want: int,
        window_ms: int,
        returned: Sequence[str],
    ) -> tuple[list[str], int]:
        """Return `returned` to the window `key` and take up to `want` of
        its free slots for an event at `timestamp_ms`: the slots' members
        and the window's count with this event. Raises what the client
        raises."""
        prefix = self._windows._member(timestamp_ms)
        lifetime = window_ms + self._windows._expiry_ms
        args = [timestamp_ms, cutoff_ms, limit, want, lifetime, prefix, *returned]
        granted, count = self._script(keys=[key], args=args)
        return [f"{prefix}:{i}" for i in range(1, int(granted) + 1)], int(count)
