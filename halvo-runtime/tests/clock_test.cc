#include "halvo_runtime/clock.h"

#include <cstdint>
#include <limits>

#include "check.h"

using halvo_runtime::millis_from_parts;

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t kMaxSeconds = std::numeric_limits<std::int64_t>::max();

struct Case {
  std::int64_t seconds;
  std::int64_t nanos;
  std::uint64_t millis;
};

// Readings as clock_gettime gives them: a time before the epoch has negative
// seconds (and non-negative nanoseconds).
constexpr Case kCases[] = {
    {0, 0, 0},
    {0, 999999, 0},
    {0, 1000000, 1},
    {0, 999999999, 999},
    {1, 0, 1000},
    {1765000000, 123456789, 1765000000123},
    // 2262-04-11T23:47:16.854Z, where a signed nanosecond count ends, and
    // one millisecond and one second after it.
    {9223372036, 854775807, 9223372036854},
    {9223372036, 855775807, 9223372036855},
    {9223372037, 854775807, 9223372037854},
    {32503680000, 0, 32503680000000},  // 3000-01-01
    // The end of the unsigned millisecond range and just past it.
    {18446744073709551, 615999999, kMax},
    {18446744073709551, 614999999, kMax - 1},
    {18446744073709551, 616000000, kMax},
    {18446744073709552, 0, kMax},
    {kMaxSeconds, 999999999, kMax},
    // Before the epoch.
    {-1, 999999999, 0},
    {-1, 0, 0},
    {std::numeric_limits<std::int64_t>::min(), 0, 0},
};

}  // namespace

int main() {
  for (const Case& c : kCases) {
    CHECK(millis_from_parts(c.seconds, c.nanos) == c.millis);
  }
  // The live clock reads after the epoch and after this code was written.
  CHECK(halvo_runtime::wall_clock_millis() > 1765000000000);
  return halvo::testing::failures();
}
