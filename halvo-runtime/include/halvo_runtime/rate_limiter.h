// RateLimiter: the sliding window of one rate or quota constraint.
//
// The engine keeps one limiter per distinct constraint target (an event
// type). Each event of that type prunes the window by its own cutoff
// (timestamp - window, saturating at 0; entries equal to the cutoff stay),
// is recorded whether or not it is allowed, and is reported when the count
// then exceeds the limit. Both constraint kinds behave alike; the kind only
// labels the violation.
//
//   RateLimiter limiter(constraint);
//   if (auto v = limiter.record(event.timestamp())) { report(*v); }
//
// Only the count inside the window is observable, so the window is kept in
// ascending time order and pruned from its front: an event costs amortised
// O(1) however many entries the window holds. A timestamp earlier than the
// latest one is inserted in place (after equal ones) and gives the same
// counts as an unordered list would. The limiter owns its window and copies
// of the constraint's fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "halvo/small_string.h"
#include "halvo_compiler/ir/policy.h"
#include "halvo_runtime/policy_result.h"

namespace halvo_runtime::engine {

class RateLimiter {
 public:
  explicit RateLimiter(
      const halvo_compiler::ir::CompiledConstraint& constraint);

  // Records an event at `timestamp`. Returns the violation when the window
  // now holds more than `limit` events (this one included), nullopt
  // otherwise.
  std::optional<ConstraintViolation> record(std::uint64_t timestamp);

  // Empties the window and keeps its storage.
  void clear() noexcept;

  // Replaces the window by `timestamps`, which must be in ascending order.
  void restore(std::vector<std::uint64_t> timestamps) noexcept;

  std::size_t window_size() const noexcept {
    return timestamps_.size() - head_;
  }
  // The timestamps inside the window, in ascending order.
  std::span<const std::uint64_t> window() const noexcept {
    return std::span<const std::uint64_t>(timestamps_).subspan(head_);
  }
  const halvo::SmallString& target() const noexcept { return target_; }
  std::uint64_t limit() const noexcept { return limit_; }
  std::uint64_t window_millis() const noexcept { return window_millis_; }
  halvo_compiler::ast::nodes::ConstraintKind kind() const noexcept {
    return kind_;
  }

 private:
  // The window is timestamps_[head_..]; entries before head_ have left it
  // and are dropped in bulk once they outnumber the live ones.
  std::vector<std::uint64_t> timestamps_;
  std::size_t head_ = 0;
  halvo::SmallString target_;
  std::uint64_t limit_;
  std::uint64_t window_millis_;
  halvo_compiler::ast::nodes::ConstraintKind kind_;
};

}  // namespace halvo_runtime::engine
