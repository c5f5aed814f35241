// list_of: a Python list built from a C++ vector, one converted item per
// element, created at its final length and filled in order.
//
//   PyObject* ids = list_of(result.triggered_rules, rule_id_to_py);
//
// `convert` returns a new reference or nullptr with the Python exception
// set; the first failure drops the partial list and returns nullptr.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "py_ref.h"

namespace corvanth_core {

template <class T, class Convert>
PyObject* list_of(const std::vector<T>& items, Convert convert) noexcept {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = convert(items[i]);
    if (item == nullptr) return nullptr;
    // Steals `item`; the slot of a fresh list is empty.
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace corvanth_core
