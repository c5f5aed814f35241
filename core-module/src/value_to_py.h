// Conversion of runtime Values (and engine texts) into new Python objects.
//
//   Null -> None, Bool -> bool, Int -> int, Float -> float, String -> str,
//   Duration -> int (milliseconds), List -> list, Map -> dict (str keys, in
//   the map's iteration order)
//
//   PyObject* obj = value_to_py(value);   // new reference
//   if (obj == nullptr) return nullptr;   // MemoryError is set
//
// Each function returns a new reference, or nullptr with the Python
// exception (in practice MemoryError) set. They read the Value without
// consuming it, share nothing with it, and run no Python code. Texts are
// UTF-8; a byte sequence that is not valid UTF-8 becomes U+FFFD rather than
// an error, so these conversions fail on memory exhaustion only.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>

#include "halvo_runtime/value.h"

namespace corvanth_core {

PyObject* value_to_py(const halvo_runtime::event::Value& value) noexcept;

// A dict of the map's entries. `keys`, when given, holds a str per entry in
// iteration order; one holding its entry's text is used as that key instead
// of a new str.
PyObject* value_map_to_py(const halvo_runtime::event::ValueMap& map,
                          std::span<PyObject* const> keys = {}) noexcept;

// A str of UTF-8 text held by the runtime.
PyObject* text_to_py(std::string_view text) noexcept;

// Whether the str `str` holds exactly the UTF-8 text `text`. Reads the
// str's UTF-8 form, which CPython caches (an ASCII str has it from birth);
// false when that form cannot be made, with the error cleared.
bool str_holds(PyObject* str, std::string_view text) noexcept;

}  // namespace corvanth_core
