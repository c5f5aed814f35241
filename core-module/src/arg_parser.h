// Argument parsing for the METH_FASTCALL | METH_KEYWORDS members of
// PolicyEngine: every parameter may be given by keyword, and the first
// `positional` of them (all, unless the signature says fewer) by position.
//
// A Signature names the member, its parameters in order, how many of them
// are required, and the type each accepts. parse_arguments unpacks the
// vectorcall arguments into one slot per parameter, then checks each
// argument in parameter order (a Text argument is also read as UTF-8, so a
// later argument of the wrong type is not reported before it). Errors use the
// interpreter's usual wording, naming the member as "PolicyEngine.{member}()"
// (texts in binding_messages.h).
//
//   constexpr Param kParams[] = {{"event_type", ParamType::Text},
//                                {"fields", ParamType::DictOrNone}};
//   constexpr Signature kEvaluate{"evaluate", kParams, 1};
//   PyObject* slots[2];
//   if (!parse_arguments(kEvaluate, args, nargs, kwnames, slots)) return
//   nullptr;
//
// The slots receive borrowed references (the caller's arguments); an
// optional parameter that was not given gets nullptr. On failure the slots
// are unspecified and a TypeError is set (UnicodeEncodeError for a Text
// argument holding lone surrogates). Parsing runs no Python code: an Index
// argument is only checked for its type here and read as a number by
// uint64_argument, which may run its __index__.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace corvanth_core {

enum class ParamType {
  Str,              // str or a str subclass
  Text,             // str or a str subclass whose text has a UTF-8 form
  Bytes,            // bytes or a bytes subclass
  DictOrNone,       // dict, a dict subclass, or None
  Index,            // an int or an integer-like object (__index__), not a bool
  IndexOrNone,      // the same, or None
  BytesLikeOrNone,  // an object with the buffer protocol, or None
  Path,             // str, bytes or an object with __fspath__ (os.PathLike)
  Any,              // any object
};

struct Param {
  const char* name;
  ParamType type;
};

struct Signature {
  const char* member;  // e.g. "evaluate"
  std::span<const Param> params;
  std::size_t required;  // the first `required` params
  // How many params may be given by position; the others by keyword only.
  std::size_t positional = static_cast<std::size_t>(-1);
};

// Returns true with one borrowed reference (or nullptr) per parameter in
// `slots`, which must hold signature.params.size() entries.
bool parse_arguments(const Signature& signature, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** slots) noexcept;

// Reads an Index argument as an unsigned 64-bit integer. Returns false with
// TypeError naming the parameter when its __index__ fails or is missing
// (a numpy boolean has one that raises), or OverflowError naming it when the
// value is negative or 2**64 or more.
bool uint64_argument(const Signature& signature, const char* parameter,
                     PyObject* value, std::uint64_t& out) noexcept;

}  // namespace corvanth_core
