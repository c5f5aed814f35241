// HeldStrings: the str objects an engine was handed as context and
// configuration values, searched by each evaluation's SourceStrings.
//
// An action argument often repeats a context value (`"session":
// context.session_id`). Without this, every result decodes that text anew
// into a fresh str, and frees it again later; with it, the result hands out
// a new reference to the str the caller stored. A str is immutable and a
// match is decided by text, so an entry outliving its key's value (the
// engine reset, a snapshot restored) still yields a correct text.
//
//   HeldStrings held;
//   held.set(HeldStrings::Map::Context, "session_id", value);  // set_context
//   sources.also_search(&held);    // for one evaluation's result
//
// Only exact ASCII str values are kept, at most kMaxHeld, one per key of
// each map; a later value of a key replaces the earlier one. Holds strong
// references: use it with the interpreter lock held.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>
#include <vector>

#include "halvo/small_string.h"

namespace corvanth_core {

class HeldStrings {
 public:
  enum class Map { Context, Config };

  HeldStrings() = default;
  HeldStrings(const HeldStrings&) = delete;
  HeldStrings& operator=(const HeldStrings&) = delete;
  ~HeldStrings();

  // Notes that `key` of `map` now holds `value`: drops the str kept for it,
  // then keeps `value` when it is an exact ASCII str and there is room
  // (and memory: without it, the key is left without a kept str).
  void set(Map map, std::string_view key, PyObject* value) noexcept;

  // A new reference to a kept str holding `text`, or nullptr.
  PyObject* find(std::string_view text) const noexcept;

 private:
  static constexpr std::size_t kMaxHeld = 8;
  struct Entry {
    Map map;
    halvo::SmallString key;
    PyObject* str;          // owned reference
    std::string_view text;  // the str's own characters
  };
  std::vector<Entry> entries_;
};

}  // namespace corvanth_core
