#include "value_to_py.h"

#include <cstddef>
#include <cstring>

#include "py_ref.h"

namespace corvanth_core {

using halvo_runtime::event::Value;
using halvo_runtime::event::ValueList;
using halvo_runtime::event::ValueMap;

namespace {

PyObject* list_to_py(const ValueList& items) noexcept {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = value_to_py(items[i]);
    if (item == nullptr) return nullptr;
    // Steals `item`; the slot of a fresh list is empty.
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

PyObject* text_to_py(std::string_view text) noexcept {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                              "replace");
}

bool str_holds(PyObject* str, std::string_view text) noexcept {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (utf8 == nullptr) {
    PyErr_Clear();
    return false;
  }
  return static_cast<std::size_t>(size) == text.size() &&
         std::memcmp(utf8, text.data(), text.size()) == 0;
}

PyObject* value_map_to_py(const ValueMap& map,
                          std::span<PyObject* const> keys) noexcept {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  const bool keyed = keys.size() == map.size();
  std::size_t index = 0;
  for (const auto& entry : map) {
    PyObject* const given = keyed ? keys[index++] : nullptr;
    PyRef key(given != nullptr && str_holds(given, entry.key.view())
                  ? Py_NewRef(given)
                  : text_to_py(entry.key.view()));
    if (!key) return nullptr;
    PyRef value(value_to_py(entry.value));
    if (!value) return nullptr;
    // PyDict_SetItem takes its own references to key and value.
    if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* value_to_py(const Value& value) noexcept {
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
      return text_to_py(value.string_value().view());
    case Value::Kind::Duration:
      return PyLong_FromUnsignedLongLong(value.duration_millis());
    case Value::Kind::List:
      return list_to_py(value.list_items());
    case Value::Kind::Map:
      return value_map_to_py(value.map_entries());
  }
  Py_UNREACHABLE();
}

}  // namespace corvanth_core
