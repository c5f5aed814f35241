// Decider: the guard's hot path in native code. PolicyEngine.decider()
// makes one; calling it evaluates an event as evaluate() does and wraps the
// result in a decision object without running any Python frame, since on a
// guarded call the Python frames around evaluate() cost as much as the
// evaluation itself.
//
//   decide = engine.decider(template, itertools.count(1), settle)
//   decision = decide("tool_call", {"tool": "shell"})
//   # a copy of `template` (a Decision whose class has __slots__) with
//   # _serial 1 and _result the result dict; passed through
//   # settle(decision) when the result holds actions
//
//   admit = engine.decider(template, serials, settle, admit=True)
//   admit("tool_call", fields)  # "allow": an allowing verdict, no action,
//                               # and no decision made at all; otherwise
//                               # settle(decision)
//
// A call takes (event_type, fields=None, surface=None): the surface, which
// only a decision log records, is accepted and ignored. Argument errors name
// the member as evaluate() does, since the call stands for it. With a
// `clock`, each event is stamped with its answer, read as evaluate_at()
// reads timestamp_ms; without one, with the wall clock as evaluate()
// stamps it. The decider holds strong references to its engine, template,
// serials, settle and clock, and takes part in cyclic garbage collection
// (settle may well refer back to whoever holds the decider).
#pragma once

#include <Python.h>

#include "py_policy_engine.h"

namespace corvanth_core {

// PolicyEngine.decider(template, serials, settle, *, admit=False,
// clock=None): a new Decider, or nullptr with TypeError set when the
// template's class is not one that object.__new__ makes with __slots__
// _serial and _result (and only plain slots, up to object), serials is not
// an iterator, or settle or clock is not callable.
PyObject* make_decider(PyPolicyEngine* self, PyObject* template_decision,
                       PyObject* serials, PyObject* settle, PyObject* admit,
                       PyObject* clock);

}  // namespace corvanth_core
