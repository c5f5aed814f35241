// Load errors with their place: the exceptions of the three factories carry
// the attributes `line`, `column` and `path` beside their message.
//
//   except ValueError as e:   # from_json
//       e.line, e.column, e.path     # 1, 461, "rules[3].condition"
//
// For a container, the attributes are those of the payload's JSON error
// (line and column counted within the payload); an error of the header or
// of the file itself (I/O, bad magic, unsupported version) has no place in
// any JSON text, and its three attributes are None.
#pragma once

#include <Python.h>

#include "halvo_compiler/policy_reader.h"

namespace corvanth_core {

// Raises `type` with `message` (a new reference, stolen) and the place of
// `where`, or None for all three when `where` is null. A null message
// leaves the MemoryError of its failed creation in place.
void raise_load_error(PyObject* type, PyObject* message,
                      const halvo_compiler::ReadError* where) noexcept;

}  // namespace corvanth_core
