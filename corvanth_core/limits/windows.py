"""Exact in-process windows for the limits held beside the engine (each a
`HostLimit`: the policy's constraint on an event type, optionally keyed by
a field of the event or a context value). `LocalWindows` counts them by
the engine's own rule:

    windows = LocalWindows()
    windows.record(("send_email", '"acme"'), 61000, 60000)  # -> 1

Every event prunes its window by its own cutoff (its timestamp less the
window, or 0), keeps entries equal to the cutoff, is recorded whether or
not it exceeds the limit, and counts itself.
"""

from corvanth_core.source.host_limits import HostLimit

__all__ = ["HostLimit", "LocalWindows", "cutoff"]


def cutoff(timestamp_ms: int, window_ms: int) -> int:
    """The oldest timestamp still inside the window of an event at
    `timestamp_ms`: the window is closed at both ends."""
    return timestamp_ms - window_ms if timestamp_ms >= window_ms else 0


WindowKey = tuple[str, ...]


class LocalWindows:
    """Sliding windows held in this process, one list of timestamps per
    key, pruned and counted as the engine prunes and counts its own."""

    def __init__(self) -> None:
        self._windows: dict[WindowKey, list[int]] = {}

    def record(self, key: WindowKey, timestamp_ms: int, window_ms: int) -> int:
        """Record an event at `timestamp_ms` in the window `key` and return
        the number of events now inside it, this one included."""
        stamps = self._windows.get(key)
        if stamps is None:
            stamps = self._windows[key] = []
        oldest = cutoff(timestamp_ms, window_ms)
        # Every entry is tested: timestamps need not arrive in order.
        if stamps and min(stamps) < oldest:
            stamps[:] = [stamp for stamp in stamps if stamp >= oldest]
        stamps.append(timestamp_ms)
        return len(stamps)

    def clear(self) -> None:
        """Forget every window."""
        self._windows.clear()

    def __len__(self) -> int:
        """The number of windows held."""
        return len(self._windows)
