// Every text that the binding shows to Python code, each written by one
// named function: exception messages and the engine's representation.
//
//   raise_error(PyExc_RuntimeError, lock_poisoned_message());
//   // RuntimeError: Engine lock poisoned
//
// Each *_message function returns a new reference to a str, or nullptr with
// MemoryError set. Texts coming from C++ (reader errors, names) are UTF-8;
// an invalid byte sequence in them is shown as U+FFFD instead of failing.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvanth_core {

// The module's name, and the class name, used as the type's name and in
// every argument error.
inline constexpr char kModuleName[] = "_corvanth_core";
inline constexpr char kTypeName[] = "PolicyEngine";
inline constexpr char kQualifiedTypeName[] = "_corvanth_core.PolicyEngine";

// Raises `type` with `message` (a new reference, stolen). A null message
// leaves the MemoryError of its failed creation in place.
void raise_error(PyObject* type, PyObject* message) noexcept;

// "No constructor defined for PolicyEngine".
PyObject* no_constructor_message(const char* type_name) noexcept;

// "the decider's serials ran out": its iterator of decision numbers stopped.
PyObject* serials_exhausted_message() noexcept;

// Argument errors, naming the member as "PolicyEngine.{member}()":
// "... takes at most 2 arguments (3 given)" (or "exactly" when every
// parameter is required).
PyObject* too_many_arguments_message(const char* member,
                                     Py_ssize_t max_arguments,
                                     bool all_required,
                                     Py_ssize_t given) noexcept;
// "... missing required argument 'event_type' (pos 1)".
PyObject* missing_argument_message(const char* member, const char* parameter,
                                   Py_ssize_t position) noexcept;
// "argument for ... given by name ('event_type') and position (1)".
PyObject* duplicate_argument_message(const char* member, const char* parameter,
                                     Py_ssize_t position) noexcept;
// "'foo' is an invalid keyword argument for ...".
PyObject* invalid_keyword_message(const char* member,
                                  PyObject* keyword) noexcept;
// "... argument 'fields' must be dict or None, not list".
PyObject* wrong_argument_type_message(const char* member, const char* parameter,
                                      const char* expected,
                                      PyObject* given) noexcept;
// "... argument 'timestamp_ms' must be between 0 and 18446744073709551615".
PyObject* uint64_out_of_range_message(const char* member,
                                      const char* parameter) noexcept;

// A dict key that is not a str: "keys must be str, not int".
PyObject* key_type_message(PyObject* key) noexcept;
// A dict that changes while it is converted.
PyObject* dict_changed_size_message() noexcept;
PyObject* dict_keys_changed_message() noexcept;
// Completes "maximum recursion depth exceeded" for nesting too deep to
// convert.
const char* nesting_recursion_context() noexcept;
// The same whole text, for the depth bound and the stack guard: "maximum
// recursion depth exceeded while converting a nested value".
PyObject* nesting_too_deep_message() noexcept;
// Values an engine holds nested too deep for the calling thread's stack.
PyObject* held_values_too_deep_message() noexcept;

// Factory failures; `path` is the str exactly as given.
PyObject* policy_file_not_found_message(PyObject* path) noexcept;
PyObject* load_policy_failed_message(std::string_view error) noexcept;
PyObject* parse_policy_bytes_failed_message(std::string_view error) noexcept;
PyObject* invalid_policy_json_message(std::string_view error) noexcept;
// "Invalid snapshot: {reason}", a refused restore().
PyObject* invalid_snapshot_message(std::string_view reason) noexcept;
// "maximum recursion depth exceeded: the snapshot has values nested 500
// levels deep, more than this thread's stack has room for; restore it on a
// thread with a larger stack (threading.stack_size)".
PyObject* snapshot_too_deep_message(std::string_view reason) noexcept;
// "PolicyEngine.snapshot() argument 'key' must not be empty".
PyObject* empty_key_message(const char* member) noexcept;

// A policy whose JSON is longer than a container can declare: "policy too
// large for a .halvoc container ({size} bytes of JSON, at most 4294967295)".
PyObject* container_too_large_message(std::size_t json_size) noexcept;

// The internal fault of a copy whose canonical policy text does not read
// back (a broken invariant of the writer).
const char* canonical_text_unreadable_text() noexcept;

// "Engine lock poisoned".
PyObject* lock_poisoned_message() noexcept;
// The message of an internal fault: the C++ exception's own text.
PyObject* internal_fault_message(std::string_view what) noexcept;
// The message of a C++ exception that carries no text of its own.
PyObject* unknown_fault_message() noexcept;
// Loading the module into a second interpreter of the process.
PyObject* subinterpreter_message() noexcept;

#ifdef CORVANTH_FAULT_INJECTION
// Test build only: the event type that makes evaluate fail inside the
// engine lock, and the text of that fault.
inline constexpr std::string_view kInjectFaultEventType =
    "__corvanth_inject_fault__";
const char* injected_fault_text() noexcept;
#endif

// "<PolicyEngine policy='demo' events=0>"; may throw std::bad_alloc.
std::string engine_repr_text(std::string_view policy_name,
                             std::uint64_t event_count);

}  // namespace corvanth_core
