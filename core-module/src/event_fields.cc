#include "event_fields.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "dict_walk.h"
#include "py_ref.h"
#include "py_to_value.h"

namespace corvanth_core {

using halvo::SmallString;
using halvo_runtime::event::EventFieldUse;
using halvo_runtime::event::Value;
using halvo_runtime::event::ValueMap;

namespace {

// Converts `value` into `target`, noting a str in `sources`. A compact ASCII
// str, the common field, is read in place and runs no Python code; any
// other value is held while its conversion may run Python code, which
// cannot reach `target` (a nested call has storage of its own).
bool convert_into(PyObject* value, Value& target, SourceStrings& sources) {
  std::string_view ascii;
  // Exact str only: a str subclass takes the rows of py_to_value, which
  // try its number slots first.
  if (Py_IS_TYPE(value, &PyUnicode_Type) && ascii_text(value, ascii)) {
    target.assign_string(ascii);
    sources.note(value);
    return true;
  }
  PyRef held = PyRef::borrow(value);
  if (!py_to_value(held.get(), target)) return false;
  sources.note(held.get());
  return true;
}

}  // namespace

bool fill_event_fields(PyObject* dict, halvo_runtime::event::Event& event,
                       FieldKeys& keys, SourceStrings& sources) {
  const EventFieldUse& use = keys.use();
  // Fields go to their slots unless an expression reads the whole event,
  // which wants every field in the map, in the dict's order.
  const bool by_slot = !use.reads_all();
  ValueMap& out = event.fields();
  if (by_slot) {
    event.bind_slots(&use);
  } else {
    out.clear();
    out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
  }
  // Distinct exact str keys have distinct texts, so while every key is one
  // an entry is appended without a search; a str subclass may compare
  // unequal to a str of the same text, so from the first such key on, a
  // later key replaces an earlier entry of its text (as it replaces the
  // field of a slot).
  bool exact_keys = true;
  std::size_t walked = 0;
  FieldKeys::Key scratch;  // for a key the engine does not keep
  return each_entry(dict, [&](PyObject* key, PyObject* value) {
    const FieldKeys::Key* known = keys.describe(key, walked++, scratch);
    if (known == nullptr) return false;
    if (!known->read && is_plain_scalar(value)) return true;
    if (by_slot && known->slot != EventFieldUse::kNoSlot) {
      return convert_into(value, event.slot_value(known->slot), sources);
    }
    exact_keys = exact_keys && PyUnicode_CheckExact(key);
    const std::size_t entry =
        exact_keys ? out.size() : out.position_of(known->text.view());
    Value& target = entry == out.size()
                        ? out.insert_new(SmallString(known->text), Value())
                        : (out.begin() + entry)->value;
    return convert_into(value, target, sources);
  });
}

}  // namespace corvanth_core
