#include "diagnostics_list.h"

#include "py_ref.h"
#include "value_to_py.h"

namespace corvanth_core {
namespace {

// Stores text_to_py(text) under `key` in `dict`; false with the exception
// set on failure.
bool put_text(PyObject* dict, const char* key, std::string_view text) {
  PyRef value(text_to_py(text));
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject* diagnostic_to_py(const halvo_compiler::Diagnostic& d) {
  PyRef dict(PyDict_New());
  if (!dict ||
      !put_text(dict.get(), "severity",
                halvo_compiler::severity_name(d.code.severity)) ||
      !put_text(dict.get(), "code", d.code.code) ||
      !put_text(dict.get(), "message", d.message) ||
      !put_text(dict.get(), "path", d.path)) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* diagnostics_to_py(
    const std::vector<halvo_compiler::Diagnostic>& diagnostics) noexcept {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(diagnostics.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < diagnostics.size(); ++i) {
    PyObject* item = diagnostic_to_py(diagnostics[i]);
    if (item == nullptr) return nullptr;
    // PyList_SET_ITEM steals the new reference.
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace corvanth_core
