// The two clocks of the runtime.
//
// Event timestamps, engine construction and reset times come from the wall
// clock as milliseconds since the Unix epoch; only the evaluation time uses
// the monotonic clock.
//
//   std::uint64_t now = halvo_runtime::wall_clock_millis();
//   halvo_runtime::Stopwatch watch;   // started
//   std::uint64_t us = watch.elapsed_micros();
#pragma once

#include <chrono>
#include <cstdint>

namespace halvo_runtime {

// Whole seconds since the epoch times 1000 plus the whole milliseconds of the
// sub-second part; 0 when the clock reads before the epoch.
std::uint64_t wall_clock_millis() noexcept;

// The same from a reading split as the system gives it (whole seconds, and
// nanoseconds from 0 to 999999999), in unsigned 64-bit arithmetic: exact for
// every date up to the end of the millisecond range, the largest value past
// it, 0 for a reading before the epoch.
std::uint64_t millis_from_parts(std::int64_t seconds,
                                std::int64_t nanos) noexcept;

class Stopwatch {
 public:
  Stopwatch() noexcept : start_(std::chrono::steady_clock::now()) {}
  // Whole microseconds since construction.
  std::uint64_t elapsed_micros() const noexcept {
    const auto d = std::chrono::steady_clock::now() - start_;
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(d).count());
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

}  // namespace halvo_runtime
