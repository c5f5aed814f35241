// The replay members of PolicyEngine: a recorded session (JSON Lines) run
// through the engine natively, as bytes or as a file read by blocks.
//
//   PyObject* summary = replay_bytes(self, trace, results);  // new reference
//
// Each line is read straight into an event (halvo_runtime/trace_replay.h),
// with the interpreter lock released for the whole replay: the engine lock
// is taken after it is released, so other threads run meanwhile and a call
// of theirs on the same engine waits without holding it. The summary dict
// (and, with `results` true, one result dict per evaluated event, the same
// as evaluate_at gives) is built once at the end, with the interpreter lock
// held again.
#pragma once

#include <Python.h>

#include "py_policy_engine.h"

namespace corvanth_core {

// `trace` is a bytes object; `results` and `lines` any objects (or nullptr
// when not given), taken by their truth: with `lines` the summary has one
// more key, "lines", where each evaluated event came from.
PyObject* replay_bytes(PyPolicyEngine* self, PyObject* trace, PyObject* results,
                       PyObject* lines);
// `path` is a str, bytes or os.PathLike naming the trace file.
PyObject* replay_path(PyPolicyEngine* self, PyObject* path, PyObject* results,
                      PyObject* lines);

}  // namespace corvanth_core
