#include "halvo_runtime/clock.h"

namespace halvo_runtime {

std::uint64_t wall_clock_millis() noexcept {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  if (since_epoch.count() < 0) return 0;
  // Truncating a non-negative duration to milliseconds is whole seconds
  // times 1000 plus the whole milliseconds of the sub-second part.
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch)
          .count());
}

}  // namespace halvo_runtime
