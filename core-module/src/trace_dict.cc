#include "trace_dict.h"

#include <cstddef>
#include <vector>

#include "py_list.h"
#include "py_ref.h"
#include "result_dict.h"
#include "value_to_py.h"

namespace corvanth_core {
namespace {

using halvo_runtime::engine::ExplainTrace;
using halvo_runtime::engine::GuardTrace;
using halvo_runtime::engine::LimiterTrace;
using halvo_runtime::engine::MachineTrace;
using halvo_runtime::engine::PolicyResult;
using halvo_runtime::engine::RuleTrace;
using halvo_runtime::engine::VerdictTrace;

// Inserts `value` (a new reference, stolen) under `key`; a null value is a
// failure that was already raised.
bool put(PyObject* dict, const char* key, PyObject* value) noexcept {
  if (value == nullptr) return false;
  const int status = PyDict_SetItemString(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

PyObject* flag(bool value) noexcept { return PyBool_FromLong(value); }
PyObject* number(std::uint64_t value) noexcept {
  return PyLong_FromUnsignedLongLong(value);
}

PyObject* limiter_to_dict(const LimiterTrace& limiter) noexcept {
  PyRef dict(PyDict_New());
  if (!dict || !put(dict.get(), "target", text_to_py(limiter.target.view())) ||
      !put(dict.get(), "kind", constraint_kind_to_py(limiter.kind)) ||
      !put(dict.get(), "count", number(limiter.count)) ||
      !put(dict.get(), "limit", number(limiter.limit)) ||
      !put(dict.get(), "window_ms", number(limiter.window_ms)) ||
      !put(dict.get(), "exceeded", flag(limiter.exceeded))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* verdict_to_dict(const VerdictTrace& verdict) noexcept {
  PyRef dict(PyDict_New());
  if (!dict ||
      !put(dict.get(), "verdict", verdict_name_to_py(verdict.candidate)) ||
      !put(dict.get(), "message",
           verdict.message ? text_to_py(verdict.message->view())
                           : Py_NewRef(Py_None)) ||
      !put(dict.get(), "before", verdict_name_to_py(verdict.before)) ||
      !put(dict.get(), "taken", flag(verdict.taken))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* rule_to_dict(const RuleTrace& rule, const PolicyResult& result,
                       const ResultNames* names) noexcept {
  PyRef actions(PyList_New(rule.action_count));
  if (!actions) return nullptr;
  for (std::uint32_t i = 0; i < rule.action_count; ++i) {
    PyObject* action =
        action_result_to_dict(result.actions[rule.first_action + i], names);
    if (action == nullptr) return nullptr;
    PyList_SET_ITEM(actions.get(), i, action);  // steals
  }
  PyRef dict(PyDict_New());
  if (!dict || !put(dict.get(), "index", number(rule.position)) ||
      !put(dict.get(), "id", number(rule.id)) ||
      !put(dict.get(), "applies", flag(rule.applies)) ||
      !put(dict.get(), "has_condition", flag(rule.has_condition)) ||
      !put(dict.get(), "condition", value_to_py(rule.condition)) ||
      !put(dict.get(), "matched", flag(rule.matched)) ||
      !put(dict.get(), "verdicts", list_of(rule.verdicts, verdict_to_dict)) ||
      !put(dict.get(), "actions", actions.release())) {
    return nullptr;
  }
  return dict.release();
}

PyObject* guard_to_dict(const GuardTrace& guard) noexcept {
  PyRef dict(PyDict_New());
  if (!dict || !put(dict.get(), "transition", number(guard.transition)) ||
      !put(dict.get(), "to", number(guard.to)) ||
      !put(dict.get(), "value", value_to_py(guard.value)) ||
      !put(dict.get(), "allows", flag(guard.allows))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* machine_to_dict(const MachineTrace& machine) noexcept {
  PyRef dict(PyDict_New());
  if (!dict || !put(dict.get(), "proof", text_to_py(machine.proof.view())) ||
      !put(dict.get(), "state", number(machine.state)) ||
      !put(dict.get(), "active", flag(machine.active)) ||
      !put(dict.get(), "deadline_reached", flag(machine.deadline_reached)) ||
      !put(dict.get(), "guards", list_of(machine.guards, guard_to_dict)) ||
      !put(dict.get(), "taken",
           machine.taken ? number(*machine.taken) : Py_NewRef(Py_None)) ||
      !put(dict.get(), "state_after", number(machine.state_after))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace

PyObject* trace_to_dict(const ExplainTrace& trace, const PolicyResult& result,
                        const ResultNames* names) noexcept {
  const auto rule_dict = [&](const RuleTrace& rule) {
    return rule_to_dict(rule, result, names);
  };
  PyRef dict(PyDict_New());
  if (!dict ||
      !put(dict.get(), "rate_limit",
           trace.limiter ? limiter_to_dict(*trace.limiter)
                         : Py_NewRef(Py_None)) ||
      !put(dict.get(), "rules", list_of(trace.rules, rule_dict)) ||
      !put(dict.get(), "machines", list_of(trace.machines, machine_to_dict))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace corvanth_core
