// The Python form of a policy's diagnostics: a list of dicts with the keys
// "severity", "code", "message" and "path", in this order.
//
//   [{"severity": "error", "code": "misspelt-key",
//     "message": "unknown key `condtion` in CompiledRule is ignored; ...",
//     "path": "rules[0].condtion"}]
#pragma once

#include <Python.h>

#include <vector>

#include "halvo_compiler/policy_diagnostics.h"

namespace corvanth_core {

// A new list, or nullptr with the exception set.
PyObject* diagnostics_to_py(
    const std::vector<halvo_compiler::Diagnostic>& diagnostics) noexcept;

}  // namespace corvanth_core
