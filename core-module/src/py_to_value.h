// Conversion of Python objects into runtime Values.
//
// The rows are tried in order and the first that applies decides:
//   1 None -> Null
//   2 bool, or a numpy boolean scalar -> Bool
//   3 an int (or __index__) within the signed 64-bit range -> Int
//   4 a float, __float__, or an int that a double can hold -> Float
//   5 a str with valid UTF-8 text -> String
//   6 a list (or subclass) -> List; the first failing element fails it all
//   7 a dict (or subclass) -> Map; str keys; the first failure fails it all
//   8 anything else -> String holding str() of the object, lone surrogates
//     replaced by U+FFFD per UTF-8 byte
//
//   halvo_runtime::event::Value value;
//   if (!py_to_value(obj, value)) return nullptr;  // exception set
//
// The conversion may run Python code of the objects (__index__, __float__,
// __str__, a numpy boolean's truth slot) and so must never run under the
// engine lock. Objects are borrowed. On failure the output is unspecified and
// the Python exception is set: the object's own exception, TypeError for a
// non-str key, UnicodeEncodeError for a key with lone surrogates,
// RecursionError for pathological nesting, or RuntimeError when a dict
// changes while it is walked. May throw std::bad_alloc.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

#include "halvo_runtime/value.h"

namespace corvanth_core {

bool py_to_value(PyObject* object, halvo_runtime::event::Value& out);

// Walks `dict` (a dict or dict subclass) in its storage order and stores
// each str key with its converted value into `out`, replacing entries of the
// same name. Used for nested dicts and for the fields of an event that is
// explained (event_fields.h fills those of an evaluated one).
bool fill_value_map(PyObject* dict, halvo_runtime::event::ValueMap& out);

// Whether converting `object` runs no Python code and cannot fail: None and
// the exact types str, int, float and bool.
inline bool is_plain_scalar(PyObject* object) noexcept {
  PyTypeObject* const type = Py_TYPE(object);
  return type == &PyUnicode_Type || type == &PyLong_Type ||
         type == &PyFloat_Type || type == &PyBool_Type || object == Py_None;
}

// The text of `object` when it is a compact ASCII str, whose characters
// are their own UTF-8 form: borrowed from the str, read in place. False for
// any other object.
inline bool ascii_text(PyObject* object, std::string_view& out) noexcept {
  if (!PyUnicode_Check(object) || !PyUnicode_IS_COMPACT_ASCII(object)) {
    return false;
  }
  out =
      std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                       static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
  return true;
}

// The UTF-8 text of a str, borrowed from the str object (which caches it),
// valid while the str lives. Returns false with UnicodeEncodeError set when
// the str holds lone surrogates.
bool utf8_text(PyObject* str, std::string_view& out) noexcept;

}  // namespace corvanth_core
