#include "load_error.h"

#include "py_ref.h"
#include "value_to_py.h"

namespace corvanth_core {
namespace {

// Sets attribute `name` of `object` to `value` (a new reference or null,
// stolen); false with the exception set on failure.
bool set_attribute(PyObject* object, const char* name, PyObject* value) {
  PyRef owned(value);
  return owned && PyObject_SetAttrString(object, name, owned.get()) == 0;
}

PyObject* place_part(const halvo_compiler::ReadError* where,
                     std::uint64_t number) {
  return where != nullptr ? PyLong_FromUnsignedLongLong(number)
                          : Py_NewRef(Py_None);
}

}  // namespace

void raise_load_error(PyObject* type, PyObject* message,
                      const halvo_compiler::ReadError* where) noexcept {
  PyRef text(message);
  if (!text) return;
  PyRef error(PyObject_CallOneArg(type, text.get()));
  if (!error) return;
  PyObject* path =
      where != nullptr ? text_to_py(where->path) : Py_NewRef(Py_None);
  if (!set_attribute(error.get(), "line",
                     place_part(where, where ? where->line : 0)) ||
      !set_attribute(error.get(), "column",
                     place_part(where, where ? where->column : 0)) ||
      !set_attribute(error.get(), "path", path)) {
    return;
  }
  PyErr_SetObject(type, error.get());
}

}  // namespace corvanth_core
