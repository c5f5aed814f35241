"""Windows held in Redis, shared by every process of a fleet.

One sorted set per window (score and member: the event's timestamp and a
member unique to the event), changed by one Lua script per event for all
the windows the event counts in, so that Redis serialises the events and
each sees the windows exactly as one engine holding every event in that
order would:

    store = RedisWindows(redis.Redis(), timeout_ms=50)
    store.record(["corvanth:sha256..:0:send_email:"], 61000, [1000], 3_600_000)
    # -> [3]

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
