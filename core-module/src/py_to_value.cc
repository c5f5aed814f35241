#include "py_to_value.h"

#include <string_view>
#include <utility>

#include "binding_messages.h"
#include "dict_walk.h"
#include "halvo_runtime/value_depth.h"
#include "py_ref.h"
#include "stack_guard.h"

namespace corvanth_core {

using halvo::SmallString;
using halvo_runtime::event::Value;
using halvo_runtime::event::ValueList;
using halvo_runtime::event::ValueMap;

static_assert(sizeof(long) == 8, "PyLong_AsLong must cover signed 64 bits");

namespace {

// Nested lists and dicts recurse on the C stack, so each level checks the
// value depth bound and this thread's stack headroom (stack_guard.h). The
// interpreter's recursion limit plays no part: it counts Python frames, not
// bytes, so it would refuse a value at one call depth and accept it at
// another, and hosts raise it at will.
class NestingGuard {
 public:
  NestingGuard() noexcept : entered_(true) {
    if (++levels_open_ > halvo_runtime::event::kMaxInputDepth ||
        !stack_allows(0)) {
      raise_error(PyExc_RecursionError, nesting_too_deep_message());
      leave();
    }
  }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;
  ~NestingGuard() { leave(); }
  bool entered() const noexcept { return entered_; }

 private:
  void leave() noexcept {
    if (!entered_) return;
    --levels_open_;
    entered_ = false;
  }

  // Lists and dicts being converted on this thread, re-entrant conversions
  // (from a __str__ of an element) included: they share the stack.
  static thread_local std::size_t levels_open_;
  bool entered_;
};

thread_local std::size_t NestingGuard::levels_open_ = 0;

bool is_bool_type_name(std::string_view name) noexcept {
  return name == "bool" || name == "bool_";
}

// Whether the type is numpy's boolean scalar type: module "numpy", name
// "bool" (numpy 2) or "bool_" (numpy 1). numpy's scalar types are static
// types whose tp_name carries the module ("numpy.bool"); a heap type keeps
// its module in its dict and its bare name in tp_name. Every value passes
// this test, so the common case costs a few byte compares and no Python
// call.
bool is_numpy_bool_type(PyTypeObject* type) noexcept {
  const std::string_view full_name = type->tp_name;
  const std::size_t dot = full_name.rfind('.');
  if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
    return dot != std::string_view::npos &&
           full_name.substr(0, dot) == "numpy" &&
           is_bool_type_name(full_name.substr(dot + 1));
  }
  if (!is_bool_type_name(full_name.substr(dot + 1))) return false;
  // Borrowed. The keys of a type's dict are str, so the lookup runs no
  // Python code.
  PyObject* module = PyDict_GetItemString(type->tp_dict, "__module__");
  return module != nullptr && PyUnicode_Check(module) &&
         PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
}

bool try_bool(PyObject* object, Value& out) noexcept {
  if (PyBool_Check(object)) {
    out = Value::boolean(object == Py_True);
    return true;
  }
  PyTypeObject* type = Py_TYPE(object);
  if (!is_numpy_bool_type(type)) return false;
  PyNumberMethods* number = type->tp_as_number;
  if (number == nullptr || number->nb_bool == nullptr) return false;
  const int truth = number->nb_bool(object);
  if (truth < 0) {
    PyErr_Clear();
    return false;
  }
  out = Value::boolean(truth != 0);
  return true;
}

// PyLong_AsLong accepts ints and objects with __index__; for anything else
// it could only raise a TypeError to be discarded, so that is skipped.
bool try_int(PyObject* object, Value& out) noexcept {
  if (!PyLong_Check(object)) {
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_index == nullptr) return false;
  }
  const long integer = PyLong_AsLong(object);
  if (integer == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  out = Value::integer(integer);
  return true;
}

// PyFloat_AsDouble accepts floats, __float__ and __index__ (ints included);
// as above, types without either slot are skipped without raising.
bool try_float(PyObject* object, Value& out) noexcept {
  PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  if (number == nullptr ||
      (number->nb_float == nullptr && number->nb_index == nullptr)) {
    return false;
  }
  const double real = PyFloat_AsDouble(object);
  if (real == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  out = Value::floating(real);
  return true;
}

bool try_str(PyObject* object, Value& out) {
  if (!PyUnicode_Check(object)) return false;
  std::string_view text;
  if (!utf8_text(object, text)) {
    PyErr_Clear();
    return false;
  }
  out.assign_string(text);
  return true;
}

bool list_to_value(PyObject* list, Value& out) {
  NestingGuard nesting;
  if (!nesting.entered()) return false;
  const Py_ssize_t start_size = PyList_GET_SIZE(list);
  ValueList items;
  items.reserve(static_cast<std::size_t>(start_size));
  // Converting an element may run Python code that shrinks the list, so the
  // bound is re-read on every step and the element is held while in use.
  for (Py_ssize_t i = 0; i < start_size && i < PyList_GET_SIZE(list); ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(list, i));
    // Room for every element was reserved, so the slot stays in place.
    if (!py_to_value(item.get(), items.emplace_back())) return false;
  }
  out = Value::list(std::move(items));
  return true;
}

bool dict_to_value(PyObject* dict, Value& out) {
  NestingGuard nesting;
  if (!nesting.entered()) return false;
  ValueMap entries;
  if (!fill_value_map(dict, entries)) return false;
  out = Value::map(std::move(entries));
  return true;
}

// A str holding lone surrogates has no UTF-8 form; passing the surrogates
// through and decoding leniently turns each into three U+FFFD.
bool str_text_to_value(PyObject* text, Value& out) {
  std::string_view utf8;
  if (ascii_text(text, utf8)) {
    out.assign_string(utf8);
    return true;
  }
  if (utf8_text(text, utf8)) {
    out.assign_string(utf8);
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  PyRef passed(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!passed) return false;
  PyRef repaired(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(passed.get()),
                                      PyBytes_GET_SIZE(passed.get()),
                                      "replace"));
  if (!repaired || !utf8_text(repaired.get(), utf8)) return false;
  out.assign_string(utf8);
  return true;
}

bool text_to_value(PyObject* object, Value& out) {
  PyRef text(PyObject_Str(object));
  if (!text) return false;
  return str_text_to_value(text.get(), out);
}

// What the exact-type path made of an object.
enum class Exact { Converted, Failed, Other };

Exact outcome(bool converted) noexcept {
  return converted ? Exact::Converted : Exact::Failed;
}

// The exact built-in types of the rows: none of them can pass a row before
// its own, so each goes straight there, without the probes that subclasses
// and foreign types need (the numpy name test, the number slots). A str with
// lone surrogates ends in the text row, which repairs it the same way; an
// int beyond 64 bits, like every other object, is left to the rows in order.
Exact exact_to_value(PyObject* object, Value& out) {
  PyTypeObject* const type = Py_TYPE(object);
  if (type == &PyUnicode_Type) return outcome(str_text_to_value(object, out));
  if (type == &PyLong_Type) {
    int overflow = 0;
    const long integer = PyLong_AsLongAndOverflow(object, &overflow);
    if (overflow != 0) return Exact::Other;
    out = Value::integer(integer);
    return Exact::Converted;
  }
  if (type == &PyBool_Type) {
    out = Value::boolean(object == Py_True);
    return Exact::Converted;
  }
  if (type == &PyFloat_Type) {
    out = Value::floating(PyFloat_AS_DOUBLE(object));
    return Exact::Converted;
  }
  if (type == &PyList_Type) return outcome(list_to_value(object, out));
  if (type == &PyDict_Type) return outcome(dict_to_value(object, out));
  if (object == Py_None) {
    out = Value::null();
    return Exact::Converted;
  }
  return Exact::Other;
}

}  // namespace

// Compact ASCII strings hold their UTF-8 text already, so reading it copies
// nothing.
bool utf8_text(PyObject* str, std::string_view& out) noexcept {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size);
  if (utf8 == nullptr) return false;
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool py_to_value(PyObject* object, Value& out) {
  const Exact exact = exact_to_value(object, out);
  if (exact != Exact::Other) return exact == Exact::Converted;
  if (try_bool(object, out) || try_int(object, out) || try_float(object, out) ||
      try_str(object, out)) {
    return true;
  }
  if (PyList_Check(object)) return list_to_value(object, out);
  if (PyDict_Check(object)) return dict_to_value(object, out);
  return text_to_value(object, out);
}

bool fill_value_map(PyObject* dict, ValueMap& out) {
  out.reserve(out.size() + static_cast<std::size_t>(PyDict_Size(dict)));
  return each_entry(dict, [&out](PyObject* key, PyObject* value) {
    std::string_view key_text;
    if (!utf8_text(key, key_text)) return false;
    // The key's text is copied and the value held before Python code can
    // drop them. The value is converted straight into its entry: Python code
    // that runs meanwhile cannot reach this map, so the entry stays in
    // place; on a failure the caller drops the whole map.
    PyRef held = PyRef::borrow(value);
    Value& slot = out.insert_or_assign(SmallString(key_text), Value());
    return py_to_value(held.get(), slot);
  });
}

}  // namespace corvanth_core
