#include "binding_messages.h"

#include <string>

namespace corvanth_core {

namespace {

// Prefix and C++ text joined and decoded leniently, so that a reader error
// that quotes odd bytes still reaches Python.
PyObject* prefixed_text(std::string_view prefix,
                        std::string_view detail) noexcept {
  try {
    std::string text;
    text.reserve(prefix.size() + detail.size());
    text.append(prefix).append(detail);
    return PyUnicode_DecodeUTF8(
        text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  } catch (...) {
    return PyErr_NoMemory();
  }
}

// CPython shows None as "None" rather than by its type name.
const char* type_name_of(PyObject* object) noexcept {
  return object == Py_None ? "None" : Py_TYPE(object)->tp_name;
}

}  // namespace

void raise_error(PyObject* type, PyObject* message) noexcept {
  if (message == nullptr) return;
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

PyObject* no_constructor_message(const char* type_name) noexcept {
  return PyUnicode_FromFormat("No constructor defined for %s", type_name);
}

PyObject* serials_exhausted_message() noexcept {
  return PyUnicode_FromString("the decider's serials ran out");
}

PyObject* too_many_arguments_message(const char* member,
                                     Py_ssize_t max_arguments,
                                     bool all_required,
                                     Py_ssize_t given) noexcept {
  if (max_arguments == 0) {
    return PyUnicode_FromFormat("%s.%s() takes no arguments (%zd given)",
                                kTypeName, member, given);
  }
  return PyUnicode_FromFormat(
      "%s.%s() takes %s %zd argument%s (%zd given)", kTypeName, member,
      all_required ? "exactly" : "at most", max_arguments,
      max_arguments == 1 ? "" : "s", given);
}

PyObject* missing_argument_message(const char* member, const char* parameter,
                                   Py_ssize_t position) noexcept {
  return PyUnicode_FromFormat(
      "%s.%s() missing required argument '%s' (pos %zd)", kTypeName, member,
      parameter, position);
}

PyObject* duplicate_argument_message(const char* member, const char* parameter,
                                     Py_ssize_t position) noexcept {
  return PyUnicode_FromFormat(
      "argument for %s.%s() given by name ('%s') and position (%zd)", kTypeName,
      member, parameter, position);
}

PyObject* invalid_keyword_message(const char* member,
                                  PyObject* keyword) noexcept {
  return PyUnicode_FromFormat("'%U' is an invalid keyword argument for %s.%s()",
                              keyword, kTypeName, member);
}

PyObject* wrong_argument_type_message(const char* member, const char* parameter,
                                      const char* expected,
                                      PyObject* given) noexcept {
  return PyUnicode_FromFormat("%s.%s() argument '%s' must be %s, not %s",
                              kTypeName, member, parameter, expected,
                              type_name_of(given));
}

PyObject* uint64_out_of_range_message(const char* member,
                                      const char* parameter) noexcept {
  return PyUnicode_FromFormat(
      "%s.%s() argument '%s' must be between 0 and 18446744073709551615",
      kTypeName, member, parameter);
}

PyObject* key_type_message(PyObject* key) noexcept {
  return PyUnicode_FromFormat("keys must be str, not %s", type_name_of(key));
}

PyObject* dict_changed_size_message() noexcept {
  return PyUnicode_FromString("dictionary changed size during iteration");
}

PyObject* dict_keys_changed_message() noexcept {
  return PyUnicode_FromString("dictionary keys changed during iteration");
}

const char* nesting_recursion_context() noexcept {
  return " while converting a nested value";
}

PyObject* nesting_too_deep_message() noexcept {
  return PyUnicode_FromFormat("maximum recursion depth exceeded%s",
                              nesting_recursion_context());
}

PyObject* held_values_too_deep_message() noexcept {
  return PyUnicode_FromString(
      "maximum recursion depth exceeded: the engine's context or "
      "configuration is nested too deeply for this thread's stack");
}

PyObject* policy_file_not_found_message(PyObject* path) noexcept {
  return PyUnicode_FromFormat("Policy file not found: %U", path);
}

PyObject* load_policy_failed_message(std::string_view error) noexcept {
  return prefixed_text("Failed to load policy: ", error);
}

PyObject* parse_policy_bytes_failed_message(std::string_view error) noexcept {
  return prefixed_text("Failed to parse policy bytes: ", error);
}

PyObject* invalid_policy_json_message(std::string_view error) noexcept {
  return prefixed_text("Invalid policy JSON: ", error);
}

PyObject* container_too_large_message(std::size_t json_size) noexcept {
  return PyUnicode_FromFormat(
      "policy too large for a .halvoc container (%zu bytes of JSON, at most "
      "4294967295)",
      json_size);
}

PyObject* invalid_snapshot_message(std::string_view reason) noexcept {
  return prefixed_text("Invalid snapshot: ", reason);
}

PyObject* snapshot_too_deep_message(std::string_view reason) noexcept {
  try {
    std::string detail(reason);
    detail +=
        "; restore it on a thread with a larger stack (threading.stack_size)";
    return prefixed_text("maximum recursion depth exceeded: the snapshot has ",
                         detail);
  } catch (...) {
    return PyErr_NoMemory();
  }
}

PyObject* empty_key_message(const char* member) noexcept {
  return PyUnicode_FromFormat("%s.%s() argument 'key' must not be empty",
                              kTypeName, member);
}

const char* canonical_text_unreadable_text() noexcept {
  return "the canonical text of the policy does not read back";
}

PyObject* lock_poisoned_message() noexcept {
  return PyUnicode_FromString("Engine lock poisoned");
}

PyObject* internal_fault_message(std::string_view what) noexcept {
  return prefixed_text("", what);
}

PyObject* unknown_fault_message() noexcept {
  return PyUnicode_FromString("internal fault without a message");
}

PyObject* subinterpreter_message() noexcept {
  return PyUnicode_FromFormat(
      "%s does not support sub-interpreters: it can be loaded only into the "
      "interpreter that loaded it first",
      kModuleName);
}

#ifdef CORVANTH_FAULT_INJECTION
const char* injected_fault_text() noexcept { return "injected fault"; }
#endif

std::string engine_repr_text(std::string_view policy_name,
                             std::uint64_t event_count) {
  std::string text = "<";
  text.append(kTypeName)
      .append(" policy='")
      .append(policy_name)
      .append("' events=")
      .append(std::to_string(event_count))
      .append(">");
  return text;
}

}  // namespace corvanth_core
