#include "field_keys.h"

#include <string_view>

#include "py_to_value.h"

namespace corvanth_core {

FieldKeys::~FieldKeys() {
  for (std::size_t i = 0; i < kept_; ++i) Py_DECREF(objects_[i]);
}

const FieldKeys::Key* FieldKeys::find_or_learn(PyObject* key, Key& scratch) {
  for (std::size_t i = 0; i < kept_; ++i) {
    if (objects_[i] == key) return &keys_[i];
  }
  std::string_view text;
  if (!utf8_text(key, text)) return nullptr;
  scratch.text = halvo::SmallString(text);
  scratch.slot = use_.slot_of(text);
  scratch.read = use_.reads(text);
  if (kept_ == kMaxKept || !PyUnicode_CheckExact(key)) return &scratch;
  keys_[kept_] = scratch;
  objects_[kept_] = Py_NewRef(key);
  return &keys_[kept_++];
}

}  // namespace corvanth_core
