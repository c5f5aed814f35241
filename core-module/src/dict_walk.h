// each_entry: the walk over a dict's entries shared by every conversion of
// a dict, for visits that may run Python code.
//
// Converting a value may run Python code (a __str__, an __index__) that
// changes the dict being walked; the walk notices and fails instead of
// reading entries that moved. It also refuses keys that are not str.
//
//   if (!each_entry(dict, [&](PyObject* key, PyObject* value) {
//         return convert(key, value);   // false: stop, exception set
//       })) {
//     return nullptr;                   // exception set
//   }
//
// Keys and values reach the visit borrowed from the dict: a visit that may
// run Python code holds what it still needs.
#pragma once

#include <Python.h>

#include "binding_messages.h"

namespace corvanth_core {

// Calls visit(key, value) for each entry of `dict` (a dict or subclass) in
// storage order; returns true when every visit did. Returns false with the
// Python exception set when a visit failed, when the dict changed size or
// keys during the walk (RuntimeError) or a key is not a str (TypeError).
template <class Visit>
bool each_entry(PyObject* dict, Visit&& visit) {
  // The size is read from the dict's own field, as often as the walk needs
  // it, instead of through a call each time.
  const Py_ssize_t start_size = PyDict_GET_SIZE(dict);
  Py_ssize_t position = 0;
  Py_ssize_t delivered = 0;
  PyObject* key = nullptr;    // borrowed from the dict
  PyObject* value = nullptr;  // borrowed from the dict
  for (;;) {
    if (PyDict_GET_SIZE(dict) != start_size) {
      raise_error(PyExc_RuntimeError, dict_changed_size_message());
      return false;
    }
    if (!PyDict_Next(dict, &position, &key, &value)) return true;
    if (++delivered > start_size) {
      raise_error(PyExc_RuntimeError, dict_keys_changed_message());
      return false;
    }
    if (!PyUnicode_Check(key)) {
      raise_error(PyExc_TypeError, key_type_message(key));
      return false;
    }
    if (!visit(key, value)) return false;
  }
}

}  // namespace corvanth_core
