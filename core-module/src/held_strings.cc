#include "held_strings.h"

#include <new>
#include <utility>

namespace corvanth_core {

void HeldStrings::set(Map map, std::string_view key, PyObject* value) noexcept {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->map == map && it->key == key) {
      PyObject* const dropped = it->str;
      entries_.erase(it);
      // Last: a str's deallocation runs no Python code, but the entry is
      // gone before it either way.
      Py_DECREF(dropped);
      break;
    }
  }
  if (entries_.size() >= kMaxHeld || !PyUnicode_CheckExact(value) ||
      !PyUnicode_IS_ASCII(value)) {
    return;
  }
  try {
    entries_.push_back({map, halvo::SmallString(key), value});
  } catch (const std::bad_alloc&) {
    return;  // the value is stored all the same, only not kept here
  }
  Py_INCREF(value);
}

void HeldStrings::offer_to(SourceStrings& sources) const {
  for (const Entry& entry : entries_) sources.note(entry.str);
}

void HeldStrings::clear() noexcept {
  std::vector<Entry> entries = std::move(entries_);
  entries_.clear();
  for (Entry& entry : entries) Py_DECREF(entry.str);
}

}  // namespace corvanth_core
