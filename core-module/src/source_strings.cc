#include "source_strings.h"

#include "halvo/same_text.h"

namespace corvanth_core {

void SourceStrings::add(PyObject* object) {
  // Room for every entry is made at once, so that the push below, which
  // takes the reference, cannot throw.
  if (entries_.capacity() < kMaxNoted) entries_.reserve(kMaxNoted);
  const std::string_view text(
      static_cast<const char*>(PyUnicode_DATA(object)),
      static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
  entries_.push_back({Py_NewRef(object), text});
}

PyObject* SourceStrings::find(std::string_view text) const noexcept {
  for (const Entry& entry : entries_) {
    if (halvo::same_text(entry.text, text)) {
      return Py_NewRef(entry.str);
    }
  }
  return held_ != nullptr ? held_->find(text) : nullptr;
}

void SourceStrings::clear() noexcept {
  for (Entry& entry : entries_) Py_DECREF(entry.str);
  entries_.clear();
  held_ = nullptr;
}

}  // namespace corvanth_core
