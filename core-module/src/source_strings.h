// SourceStrings: the str objects that an event's fields were converted
// from, so that a result text equal to one of them is returned as that
// very object instead of a freshly decoded copy.
//
// Action arguments very often repeat a field of the event (`"tool":
// event.tool`). Decoding the text again costs an allocation and a copy per
// string, and freeing it later costs as much again; handing out a new
// reference to the caller's own str costs neither. A str is immutable, so
// the caller cannot tell the difference except by identity, which the
// result never promised.
//
//   SourceStrings sources;
//   sources.note(field_value);                   // while converting fields
//   sources.also_search(&engine_held_strings);   // context values too
//   PyObject* text = sources.find(view);         // new reference or nullptr
//   sources.clear();                             // releases every str
//
// Only exact ASCII str objects are noted: their text is their UTF-8 form,
// read in place, and it is exactly what the conversion made of them. At
// most kMaxNoted are kept, so that a lookup stays a short scan. Holds
// strong references: use it with the interpreter lock held, and clear it
// before the storage is kept between calls.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>
#include <vector>

#include "held_strings.h"

namespace corvanth_core {

class SourceStrings {
 public:
  SourceStrings() = default;
  SourceStrings(const SourceStrings&) = delete;
  SourceStrings& operator=(const SourceStrings&) = delete;
  ~SourceStrings() { clear(); }

  // Notes `object` when it is an exact ASCII str. May throw std::bad_alloc
  // (nothing is noted then).
  void note(PyObject* object) {
    if (entries_.size() < kMaxNoted && PyUnicode_CheckExact(object) &&
        PyUnicode_IS_ASCII(object)) {
      add(object);
    }
  }

  // Makes find() search `held` too, after the noted strs, until clear().
  // `held` must outlive that use; it is searched, not copied.
  void also_search(const HeldStrings* held) noexcept { held_ = held; }

  // A new reference to a noted (or held) str holding `text`, or nullptr.
  PyObject* find(std::string_view text) const noexcept;

  // Releases every noted str and forgets the held ones.
  void clear() noexcept;

 private:
  static constexpr std::size_t kMaxNoted = 16;
  void add(PyObject* str);
  struct Entry {
    PyObject* str;          // owned reference
    std::string_view text;  // the str's own characters
  };
  std::vector<Entry> entries_;
  const HeldStrings* held_ = nullptr;
};

}  // namespace corvanth_core
