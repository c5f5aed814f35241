"""Rate limits and quotas held outside the engine: shared by a fleet of
processes in Redis, or keyed by tool, user or tenant in this process.

    from corvanth_core import Guard, SharedLimits

    guard = Guard("policy.yaml",
                  shared_limits=SharedLimits(redis.Redis(), scope="context.tenant"))

See docs/fleet-limits.md.
"""

from corvanth_core.limits.shared_limits import (
    LimitedEngine,
    SharedLimits,
    SharedLimitsStats,
)
from corvanth_core.limits.windows import HostLimit

__all__ = ["HostLimit", "LimitedEngine", "SharedLimits", "SharedLimitsStats"]
