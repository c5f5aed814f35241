#include "stack_guard.h"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "halvo_runtime/value_depth.h"

namespace corvanth_core {
namespace {

constexpr std::uintptr_t kUnknown = 0;

// The lowest usable address of the calling thread's stack (stacks grow
// down on every platform this builds for), or kUnknown. pthread_getattr_np
// is not cheap on the main thread (it reads the process's memory map), so
// it runs once per thread.
std::uintptr_t stack_low_end() noexcept {
  thread_local const std::uintptr_t low = [] {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return kUnknown;
    void* base = nullptr;
    std::size_t size = 0;
    const int failed = pthread_attr_getstack(&attributes, &base, &size);
    pthread_attr_destroy(&attributes);
    return failed != 0 ? kUnknown : reinterpret_cast<std::uintptr_t>(base);
  }();
  return low;
}

}  // namespace

std::size_t stack_headroom() noexcept {
  const std::uintptr_t low = stack_low_end();
  const auto here =
      reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (low == kUnknown) return std::numeric_limits<std::size_t>::max();
  return here > low ? here - low : 0;
}

namespace {

using halvo_runtime::event::kMaxInputDepth;
using halvo_runtime::event::kMaxValueDepth;
constexpr std::size_t kWrapLevels = kMaxValueDepth - kMaxInputDepth;

constexpr std::size_t kPerLevel = kStackPerLevel * kFrameGrowth;
constexpr std::size_t kDecodePerLevel = kDecodeStackPerLevel * kFrameGrowth;

}  // namespace

bool stack_allows(std::size_t depth) noexcept {
  return stack_headroom() >= (depth + kWrapLevels) * kPerLevel + kStackMargin;
}

std::size_t stack_depth_budget() noexcept {
  const std::size_t headroom = stack_headroom();
  if (headroom < kWrapLevels * kPerLevel + kStackMargin) return 0;
  const std::size_t usable = headroom - kStackMargin;
  return std::min({usable / kPerLevel - kWrapLevels, usable / kDecodePerLevel,
                   kMaxInputDepth});
}

}  // namespace corvanth_core
