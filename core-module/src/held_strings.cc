#include "held_strings.h"

#include <new>

#include "halvo/same_text.h"

namespace corvanth_core {

HeldStrings::~HeldStrings() {
  for (Entry& entry : entries_) Py_DECREF(entry.str);
}

void HeldStrings::set(Map map, std::string_view key, PyObject* value) noexcept {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->map == map && it->key == key) {
      Py_DECREF(it->str);  // a str's deallocation runs no Python code
      entries_.erase(it);
      break;
    }
  }
  if (entries_.size() >= kMaxHeld || !PyUnicode_CheckExact(value) ||
      !PyUnicode_IS_ASCII(value)) {
    return;
  }
  const std::string_view text(
      static_cast<const char*>(PyUnicode_DATA(value)),
      static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)));
  try {
    entries_.push_back({map, halvo::SmallString(key), value, text});
  } catch (const std::bad_alloc&) {
    return;  // the value is stored all the same, only not kept here
  }
  Py_INCREF(value);
}

PyObject* HeldStrings::find(std::string_view text) const noexcept {
  for (const Entry& entry : entries_) {
    if (halvo::same_text(entry.text, text)) return Py_NewRef(entry.str);
  }
  return nullptr;
}

}  // namespace corvanth_core
