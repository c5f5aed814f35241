#include "arg_parser.h"

#include <algorithm>
#include <string_view>

#include "binding_messages.h"
#include "py_ref.h"
#include "py_to_value.h"

namespace corvanth_core {

namespace {

// Keyword names of a vectorcall are exact str objects, usually interned.
bool keyword_is(PyObject* keyword, const char* name) noexcept {
  return PyUnicode_CompareWithASCIIString(keyword, name) == 0;
}

// The index of `keyword` among the parameters, or -1.
Py_ssize_t parameter_index(const Signature& signature,
                           PyObject* keyword) noexcept {
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    if (keyword_is(keyword, signature.params[i].name)) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

// Fills the slots from positions and keywords; the interpreter's order of
// checks: too many positions, then a missing required parameter, then a
// keyword that repeats a position, then an unknown keyword.
bool unpack(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
            PyObject* kwnames, PyObject** slots) noexcept {
  const auto count = static_cast<Py_ssize_t>(signature.params.size());
  const auto required = static_cast<Py_ssize_t>(signature.required);
  const auto positional = static_cast<Py_ssize_t>(
      std::min(signature.params.size(), signature.positional));
  if (nargs > positional) {
    raise_error(PyExc_TypeError,
                too_many_arguments_message(signature.member, positional,
                                           required == positional, nargs));
    return false;
  }
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  Py_ssize_t used_keywords = 0;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (i < nargs) {
      slots[i] = args[i];  // borrowed
      continue;
    }
    slots[i] = nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (keyword_is(PyTuple_GET_ITEM(kwnames, k), signature.params[i].name)) {
        slots[i] = args[nargs + k];  // borrowed: keyword values follow
        ++used_keywords;
        break;
      }
    }
    if (slots[i] == nullptr && i < required) {
      raise_error(PyExc_TypeError,
                  missing_argument_message(signature.member,
                                           signature.params[i].name, i + 1));
      return false;
    }
  }
  if (used_keywords == nkw) return true;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);  // borrowed
    const Py_ssize_t index = parameter_index(signature, keyword);
    if (index >= 0 && index < nargs) {
      raise_error(
          PyExc_TypeError,
          duplicate_argument_message(signature.member,
                                     signature.params[index].name, index + 1));
      return false;
    }
  }
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);  // borrowed
    if (parameter_index(signature, keyword) < 0) {
      raise_error(PyExc_TypeError,
                  invalid_keyword_message(signature.member, keyword));
      return false;
    }
  }
  return true;
}

// A bool is an int to Python, but a True timestamp or count is a mistake.
bool is_index(PyObject* value) noexcept {
  return (PyLong_Check(value) || PyIndex_Check(value)) && !PyBool_Check(value);
}

bool accepts(ParamType type, PyObject* value) noexcept {
  switch (type) {
    case ParamType::Str:
    case ParamType::Text:
      return PyUnicode_Check(value);
    case ParamType::Bytes:
      return PyBytes_Check(value);
    case ParamType::DictOrNone:
      return value == Py_None || PyDict_Check(value);
    case ParamType::Index:
      return is_index(value);
    case ParamType::IndexOrNone:
      return value == Py_None || is_index(value);
    case ParamType::BytesLikeOrNone:
      return value == Py_None || PyObject_CheckBuffer(value);
    case ParamType::Path:
      // os.fspath's own test: a str, a bytes, or a type with __fspath__
      // (looked up on the type, as the interpreter does).
      return PyUnicode_Check(value) || PyBytes_Check(value) ||
             PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)),
                                    "__fspath__");
    case ParamType::Any:
      return true;
  }
  Py_UNREACHABLE();
}

const char* expected_text(ParamType type) noexcept {
  switch (type) {
    case ParamType::Str:
    case ParamType::Text:
      return "str";
    case ParamType::Bytes:
      return "bytes";
    case ParamType::DictOrNone:
      return "dict or None";
    case ParamType::Index:
      return "int";
    case ParamType::IndexOrNone:
      return "int or None";
    case ParamType::BytesLikeOrNone:
      return "a bytes-like object or None";
    case ParamType::Path:
      return "str, bytes or os.PathLike";
    case ParamType::Any:
      return "object";
  }
  Py_UNREACHABLE();
}

}  // namespace

bool parse_arguments(const Signature& signature, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots) noexcept {
  if (!unpack(signature, args, nargs, kwnames, slots)) return false;
  for (std::size_t i = 0; i < signature.params.size(); ++i) {
    const Param& param = signature.params[i];
    if (slots[i] != nullptr && !accepts(param.type, slots[i])) {
      raise_error(PyExc_TypeError, wrong_argument_type_message(
                                       signature.member, param.name,
                                       expected_text(param.type), slots[i]));
      return false;
    }
    // The UTF-8 form is cached in the str, so the member reads it again for
    // free.
    std::string_view text;
    if (param.type == ParamType::Text && !utf8_text(slots[i], text)) {
      return false;
    }
  }
  return true;
}

bool uint64_argument(const Signature& signature, const char* parameter,
                     PyObject* value, std::uint64_t& out) noexcept {
  // An exact int needs no __index__ call and no new reference.
  PyRef number(PyLong_CheckExact(value) ? Py_NewRef(value)
                                        : PyNumber_Index(value));
  if (!number) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    raise_error(
        PyExc_TypeError,
        wrong_argument_type_message(signature.member, parameter, "int", value));
    return false;
  }
  out = PyLong_AsUnsignedLongLong(number.get());
  if (out == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    raise_error(PyExc_OverflowError,
                uint64_out_of_range_message(signature.member, parameter));
    return false;
  }
  return true;
}

}  // namespace corvanth_core
