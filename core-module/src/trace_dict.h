// The "trace" entry that PolicyEngine.explain adds to the result dict,
// built from an ExplainTrace (explain_trace.h). Keys in insertion order:
//
//   "rate_limit"  None, or {"target", "kind", "count", "limit", "window_ms",
//                 "exceeded"} for the limiter of the event's type
//   "rules"       one dict per rule in policy order: {"index", "id",
//                 "applies", "has_condition", "condition", "matched",
//                 "verdicts": [{"verdict", "message", "before", "taken"}],
//                 "actions": [{"verb", "args"}]}
//   "machines"    one dict per machine in policy order: {"proof", "state",
//                 "active", "deadline_reached", "guards": [{"transition",
//                 "to", "value", "allows"}], "taken", "state_after"}
//
// Verdicts are lower-cased like the result's; values convert like action
// arguments. Everything is a new object, shared neither with the result
// dict nor with the engine.
//
//   PyObject* trace = trace_to_dict(why.trace, why.result, &self->names);
//
// Returns a new reference, or nullptr with the Python exception (in
// practice MemoryError) set. Runs no Python code.
#pragma once

#include <Python.h>

#include "halvo_runtime/explain_trace.h"
#include "result_names.h"

namespace corvanth_core {

PyObject* trace_to_dict(const halvo_runtime::engine::ExplainTrace& trace,
                        const halvo_runtime::engine::PolicyResult& result,
                        const ResultNames* names) noexcept;

}  // namespace corvanth_core
