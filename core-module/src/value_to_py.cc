#include "value_to_py.h"

#include <cstddef>
#include <cstring>

#include "halvo/utf8.h"
#include "py_ref.h"

namespace corvanth_core {

using halvo_runtime::event::Value;
using halvo_runtime::event::ValueList;
using halvo_runtime::event::ValueMap;

namespace {

PyObject* list_to_py(const ValueList& items,
                     const SourceStrings* sources) noexcept {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = value_to_py(items[i], sources);
    if (item == nullptr) return nullptr;
    // Steals `item`; the slot of a fresh list is empty.
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

PyObject* text_to_py(std::string_view text,
                     const SourceStrings* sources) noexcept {
  if (sources != nullptr) {
    if (PyObject* source = sources->find(text)) return source;
  }
  const auto size = static_cast<Py_ssize_t>(text.size());
  if (halvo::utf8::is_ascii(text)) {
    PyObject* str = PyUnicode_New(size, 0x7F);
    if (str != nullptr && size != 0) {
      std::memcpy(PyUnicode_1BYTE_DATA(str), text.data(), text.size());
    }
    return str;
  }
  return PyUnicode_DecodeUTF8(text.data(), size, "replace");
}

PyObject* value_map_to_py(const ValueMap& map,
                          const SourceStrings* sources) noexcept {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& entry : map) {
    PyRef key(text_to_py(entry.key.view()));
    if (!key) return nullptr;
    PyRef value(value_to_py(entry.value, sources));
    if (!value) return nullptr;
    // PyDict_SetItem takes its own references to key and value.
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* value_to_py(const Value& value,
                      const SourceStrings* sources) noexcept {
  switch (value.kind()) {
    case Value::Kind::Null:
      Py_RETURN_NONE;
    case Value::Kind::Bool:
      return PyBool_FromLong(value.bool_value());
    case Value::Kind::Int:
      return PyLong_FromLongLong(value.int_value());
    case Value::Kind::Float:
      return PyFloat_FromDouble(value.float_value());
    case Value::Kind::String:
      return text_to_py(value.string_value().view(), sources);
    case Value::Kind::Duration:
      return PyLong_FromUnsignedLongLong(value.duration_millis());
    case Value::Kind::List:
      return list_to_py(value.list_items(), sources);
    case Value::Kind::Map:
      return value_map_to_py(value.map_entries(), sources);
  }
  Py_UNREACHABLE();
}

}  // namespace corvanth_core
