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

#include <string_view>

#include "halvo_runtime/value.h"
#include "source_strings.h"

namespace corvanth_core {

// `sources`, when given, holds str objects that a String equal to one of
// them becomes instead of a new str.
PyObject* value_to_py(const halvo_runtime::event::Value& value,
                      const SourceStrings* sources = nullptr) noexcept;

// A dict of the map's entries, in the map's iteration order.
PyObject* value_map_to_py(const halvo_runtime::event::ValueMap& map,
                          const SourceStrings* sources = nullptr) noexcept;

// A str of UTF-8 text held by the runtime: one of `sources` that holds the
// text, else a new str. ASCII text, the common case, is copied straight
// into it without the decoder.
PyObject* text_to_py(std::string_view text,
                     const SourceStrings* sources = nullptr) noexcept;

}  // namespace corvanth_core
