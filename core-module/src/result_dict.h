// The dictionary that PolicyEngine.evaluate returns, built from a
// PolicyResult. Keys in insertion order:
//
//   "verdict"                str, lower-cased ("allow", "deny", ...)
//   "reason"                 str or None
//   "triggered_rules"        list of int
//   "eval_time_us"           int
//   "actions"                list of {"verb", "args"}
//   "violations"             list of {"proof", "invariant", "kind", "message"}
//   "constraint_violations"  list of {"kind", "target", "limit", "current",
//                                     "window_ms"}
//
// Enumeration names other than the verdict keep their declared case
// ("RateLimit", "Never").
//
//   if (!init_result_keys()) return nullptr;         // once, at type creation
//   PyObject* dict = result_to_dict(result);        // new reference
//
// The key strings and the names of the verdicts and the constraint and
// temporal kinds are interned once by init_result_keys and live for the rest
// of the process; verbs and argument names come from the engine's
// ResultNames. result_to_dict reads the record without consuming it,
// runs no Python code, and returns nullptr with the Python exception (in
// practice MemoryError) set on failure.
#pragma once

#include <Python.h>

#include "halvo_runtime/policy_result.h"
#include "result_names.h"
#include "source_strings.h"

namespace corvanth_core {

// Creates the interned key and verdict strings; returns false with the
// Python exception set. Calling it again after success does nothing.
bool init_result_keys() noexcept;

// `names`, when given, holds the interned verbs and argument names of the
// policy that produced the result; `sources`, the str objects of the
// event's fields, which texts equal to them reuse.
PyObject* result_to_dict(const halvo_runtime::engine::PolicyResult& result,
                         const ResultNames* names = nullptr,
                         const SourceStrings* sources = nullptr) noexcept;

// The pieces of the result, for other dictionaries that show them (the
// trace of explain()): one action dict, and new references to the
// lower-cased verdict name and to a constraint kind's name.
PyObject* action_result_to_dict(
    const halvo_runtime::engine::ActionResult& action, const ResultNames* names,
    const SourceStrings* sources = nullptr) noexcept;
// A new dict {"verb": verb, "args": None}, the shape of an action dict.
PyObject* new_action_shape(PyObject* verb) noexcept;
// A new dict of a violation of `constraint` with every value but "current"
// (None) filled in: the shape of the constraint's violation dicts.
PyObject* new_constraint_violation_shape(
    const halvo_compiler::ir::CompiledConstraint& constraint) noexcept;
PyObject* verdict_name_to_py(halvo_runtime::engine::Verdict verdict) noexcept;
PyObject* constraint_kind_to_py(
    halvo_runtime::engine::ConstraintKind kind) noexcept;

}  // namespace corvanth_core
