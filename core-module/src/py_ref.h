// PyRef: an owned reference to a Python object, released on scope exit.
//
// Every function of the binding that holds new references keeps them in
// PyRef values, so each function has exactly one cleanup path: the end of
// the scope, whichever way it is left (return or C++ exception).
//
//   PyRef text(PyObject_Str(obj));       // takes over the new reference
//   if (!text) return nullptr;           // the Python exception is set
//   return text.release();               // hands the reference on
//
// A PyRef may be empty (nullptr). It never runs Python code except through
// the deallocation of the object it releases.
#pragma once

#include <Python.h>

#include <utility>

namespace corvanth_core {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Steals `owned`, a new reference or nullptr.
  explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* borrowed) noexcept {
    return PyRef(Py_XNewRef(borrowed));
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Gives up ownership; the caller now owns the reference.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace corvanth_core
