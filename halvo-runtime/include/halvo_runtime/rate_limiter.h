// RateLimiter: the sliding window of one rate or quota constraint.
//
// The engine keeps one limiter per distinct constraint target (an event
// type). Each event of that type prunes the window by its own cutoff
// (timestamp - window, saturating at 0; entries equal to the cutoff stay),
// is recorded, and is reported when the count then exceeds the limit. Only
// the count inside the window is observable, so the window is kept sorted by
// time and pruned from its front; out-of-order timestamps are inserted in
// place and give the same counts.
//
//   RateLimiter limiter(constraint);
//   if (auto v = limiter.record(event.timestamp())) { report(*v); }
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

#include "halvo/small_string.h"
#include "halvo_compiler/ir/policy.h"
#include "halvo_runtime/policy_result.h"

namespace halvo_runtime::engine {

class RateLimiter {
 public:
  explicit RateLimiter(const halvo_compiler::ir::CompiledConstraint& constraint);

  // Records an event at `timestamp`. Returns the violation when the window
  // now holds more than `limit` events, nullopt otherwise.
  std::optional<ConstraintViolation> record(std::uint64_t timestamp);

  // Empties the window and keeps its storage.
  void clear() noexcept;

  std::size_t window_size() const noexcept { return timestamps_.size(); }

 private:
  std::deque<std::uint64_t> timestamps_;  // ascending
  halvo::SmallString target_;
  std::uint64_t limit_;
  std::uint64_t window_millis_;
  halvo_compiler::ast::nodes::ConstraintKind kind_;
};

}  // namespace halvo_runtime::engine
