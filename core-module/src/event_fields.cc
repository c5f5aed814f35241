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

bool fill_event_fields(PyObject* dict, halvo_runtime::event::Event& event,
                       FieldKeys& keys, SourceStrings& sources) {
  const EventFieldUse& use = keys.use();
  ValueMap& out = event.fields();
  out.clear();
  event.bind_slots(&use, use.slot_count());
  out.reserve(static_cast<std::size_t>(PyDict_Size(dict)));
  // Distinct exact str keys have distinct texts, so while every key is one
  // an entry is appended without a search; a str subclass may compare
  // unequal to a str of the same text, so from the first such key on, a
  // later key replaces an earlier entry of its text.
  bool exact_keys = true;
  std::size_t walked = 0;
  FieldKeys::Key scratch;  // for a key the engine does not keep
  return each_entry(dict, [&](PyObject* key, PyObject* value) {
    const FieldKeys::Key* known = keys.describe(key, walked++, scratch);
    if (known == nullptr) return false;
    if (!known->read && is_plain_scalar(value)) return true;
    const std::uint32_t slot = known->slot;
    exact_keys = exact_keys && PyUnicode_CheckExact(key);
    const std::size_t entry =
        exact_keys ? out.size() : out.position_of(known->text.view());
    std::string_view ascii;
    if (entry == out.size() && Py_IS_TYPE(value, &PyUnicode_Type) &&
        ascii_text(value, ascii)) {
      // The common field, a new entry of ASCII text: built in place; no
      // Python code runs.
      out.insert_new(SmallString(known->text),
                     Value::string(SmallString(ascii)));
      sources.note(value);
    } else {
      // The value is held and converted straight into its entry: Python
      // code that runs meanwhile cannot reach this event (a nested call has
      // storage of its own), so the entry stays in place.
      PyRef held = PyRef::borrow(value);
      Value& target = entry == out.size()
                          ? out.insert_new(SmallString(known->text), Value())
                          : (out.begin() + entry)->value;
      if (!py_to_value(held.get(), target)) return false;
      sources.note(held.get());
    }
    if (slot != EventFieldUse::kNoSlot) event.set_slot(slot, entry);
    return true;
  });
}

}  // namespace corvanth_core
