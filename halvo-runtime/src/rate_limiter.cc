#include "halvo_runtime/rate_limiter.h"

#include <algorithm>
#include <utility>

namespace halvo_runtime::engine {

RateLimiter::RateLimiter(
    const halvo_compiler::ir::CompiledConstraint& constraint)
    : target_(constraint.target),
      limit_(constraint.limit),
      window_millis_(constraint.window_millis),
      kind_(constraint.kind) {}

std::optional<ConstraintViolation> RateLimiter::record(
    std::uint64_t timestamp) {
  const std::uint64_t cutoff =
      timestamp > window_millis_ ? timestamp - window_millis_ : 0;
  // The window is sorted, so every entry older than the cutoff is in front.
  while (head_ < timestamps_.size() && timestamps_[head_] < cutoff) ++head_;

  // Compacting only once the dead prefix is at least as long as the live
  // part keeps the moves amortised O(1) per event.
  if (head_ > 0 && head_ >= timestamps_.size() - head_) {
    timestamps_.erase(timestamps_.begin(),
                      timestamps_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }

  if (timestamps_.size() == head_ || timestamps_.back() <= timestamp) {
    timestamps_.push_back(timestamp);
  } else {
    const auto live = timestamps_.begin() + static_cast<std::ptrdiff_t>(head_);
    timestamps_.insert(std::upper_bound(live, timestamps_.end(), timestamp),
                       timestamp);
  }

  const std::uint64_t current = window_size();
  if (current <= limit_) return std::nullopt;
  return ConstraintViolation{kind_, target_, limit_, current, window_millis_};
}

void RateLimiter::restore(std::vector<std::uint64_t> timestamps) noexcept {
  timestamps_ = std::move(timestamps);
  head_ = 0;
}

void RateLimiter::clear() noexcept {
  timestamps_.clear();
  head_ = 0;
}

}  // namespace halvo_runtime::engine
