// HeldStrings: the str objects an engine was handed as context and
// configuration values, offered to each evaluation's SourceStrings.
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
//   held.offer_to(sources);        // before building a result
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
#include "source_strings.h"

namespace corvanth_core {

class HeldStrings {
 public:
  enum class Map { Context, Config };

  HeldStrings() = default;
  HeldStrings(const HeldStrings&) = delete;
  HeldStrings& operator=(const HeldStrings&) = delete;
  ~HeldStrings() { clear(); }

  // Notes that `key` of `map` now holds `value`: drops the str kept for it,
  // then keeps `value` when it is an exact ASCII str and there is room
  // (and memory: without it, the key is left without a kept str).
  void set(Map map, std::string_view key, PyObject* value) noexcept;

  // Notes every kept str in `sources`, as far as it has room. May throw
  // std::bad_alloc, as SourceStrings::note does.
  void offer_to(SourceStrings& sources) const;

  // Releases every kept str.
  void clear() noexcept;

 private:
  static constexpr std::size_t kMaxHeld = 8;
  struct Entry {
    Map map;
    halvo::SmallString key;
    PyObject* str;  // owned reference
  };
  std::vector<Entry> entries_;
};

}  // namespace corvanth_core
