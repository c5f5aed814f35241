#include "halvo_runtime/clock.h"

#include <time.h>

#include <limits>

namespace halvo_runtime {

std::uint64_t millis_from_parts(std::int64_t seconds,
                                std::int64_t nanos) noexcept {
  if (seconds < 0) return 0;
  // Unsigned arithmetic covers every date the result can express; the
  // signed nanosecond count of std::chrono runs out in April 2262.
  std::uint64_t millis = 0;
  if (__builtin_mul_overflow(static_cast<std::uint64_t>(seconds),
                             std::uint64_t{1000}, &millis) ||
      __builtin_add_overflow(
          millis, static_cast<std::uint64_t>(nanos) / 1000000, &millis)) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return millis;
}

std::uint64_t wall_clock_millis() noexcept {
  struct timespec now;
  if (::clock_gettime(CLOCK_REALTIME, &now) != 0) return 0;
  return millis_from_parts(now.tv_sec, now.tv_nsec);
}

}  // namespace halvo_runtime
