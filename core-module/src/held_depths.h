// HeldDepths: how deep the values an engine holds are nested, kept up to
// date as they are set one key at a time.
//
//   HeldDepths depths;
//   depths.replace(old_depth, true, new_depth);   // a key set again
//   if (!stack_allows(depths.deepest())) refuse();
//
// The stack guard (stack_guard.h) needs the depth of the deepest context or
// configuration value before every call that walks them. Walking the whole
// context again after each set_context would cost time proportional to the
// keys already there, so a host adding a key per call would pay quadratic
// time; this count per depth is updated with only the value that leaves and
// the one that arrives.
#pragma once

#include <cstddef>
#include <map>

namespace corvanth_core {

class HeldDepths {
 public:
  // The nesting depth of the deepest value held (0 when there is none).
  std::size_t deepest() const noexcept {
    return counts_.empty() ? 0 : counts_.rbegin()->first;
  }

  // Notes that a value `depth` levels deep is held. May throw
  // std::bad_alloc, leaving the counts unchanged.
  void add(std::size_t depth) { ++counts_[depth]; }

  // Notes that a held value `depth` levels deep is gone.
  void remove(std::size_t depth) noexcept {
    const auto found = counts_.find(depth);
    if (found == counts_.end()) return;
    if (--found->second == 0) counts_.erase(found);
  }

  // Forgets every value, for a state replaced whole (restore, a copy).
  void clear() noexcept { counts_.clear(); }

 private:
  std::map<std::size_t, std::size_t> counts_;  // depth -> values that deep
};

}  // namespace corvanth_core
