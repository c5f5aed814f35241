#include "result_dict.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <vector>

#include "halvo_compiler/ast/nodes.h"
#include "py_ref.h"
#include "value_to_py.h"

namespace corvanth_core {

using halvo_compiler::ast::nodes::kVariantCount;
using halvo_compiler::ast::nodes::variant_name;
using halvo_runtime::engine::ActionResult;
using halvo_runtime::engine::ConstraintViolation;
using halvo_runtime::engine::PolicyResult;
using halvo_runtime::engine::Verdict;
using halvo_runtime::engine::Violation;

namespace {

enum Key : std::size_t {
  kVerdict,
  kReason,
  kTriggeredRules,
  kEvalTimeUs,
  kActions,
  kViolations,
  kConstraintViolations,
  kVerb,
  kArgs,
  kProof,
  kInvariant,
  kKind,
  kMessage,
  kTarget,
  kLimit,
  kCurrent,
  kWindowMs,
  kKeyCount,
};

constexpr const char* kKeyTexts[kKeyCount] = {
    "verdict",
    "reason",
    "triggered_rules",
    "eval_time_us",
    "actions",
    "violations",
    "constraint_violations",
    "verb",
    "args",
    "proof",
    "invariant",
    "kind",
    "message",
    "target",
    "limit",
    "current",
    "window_ms",
};

constexpr std::size_t kVerdictCount = kVariantCount<Verdict>;

// Interned once and kept for the life of the process, so that building a
// result allocates no key strings.
PyObject* g_keys[kKeyCount] = {};
PyObject* g_verdict_names[kVerdictCount] = {};

PyObject* lower_case_verdict_name(Verdict verdict) noexcept {
  PyRef name(text_to_py(variant_name(verdict)));
  if (!name) return nullptr;
  PyObject* lower = PyObject_CallMethod(name.get(), "lower", nullptr);
  if (lower != nullptr) PyUnicode_InternInPlace(&lower);
  return lower;
}

// Inserts `value` (a new reference, stolen) under the key. A null value is
// a failure that was already raised.
bool put(PyObject* dict, Key key, PyObject* value) noexcept {
  if (value == nullptr) return false;
  const int status = PyDict_SetItem(dict, g_keys[key], value);
  Py_DECREF(value);
  return status == 0;
}

// A list created at its final length and filled in order.
template <class T, class Convert>
PyObject* list_of(const std::vector<T>& items, Convert convert) noexcept {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = convert(items[i]);
    if (item == nullptr) return nullptr;
    // Steals `item`; the slot of a fresh list is empty.
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* action_to_dict(const ActionResult& action) noexcept {
  PyRef dict(PyDict_New());
  if (!dict || !put(dict.get(), kVerb, text_to_py(action.verb.view())) ||
      !put(dict.get(), kArgs, value_map_to_py(action.args))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* violation_to_dict(const Violation& violation) noexcept {
  PyRef dict(PyDict_New());
  if (!dict || !put(dict.get(), kProof, text_to_py(violation.proof.view())) ||
      !put(dict.get(), kInvariant, text_to_py(violation.invariant.view())) ||
      !put(dict.get(), kKind, text_to_py(variant_name(violation.kind))) ||
      !put(dict.get(), kMessage, text_to_py(violation.message.view()))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* constraint_violation_to_dict(
    const ConstraintViolation& violation) noexcept {
  PyRef dict(PyDict_New());
  if (!dict ||
      !put(dict.get(), kKind, text_to_py(variant_name(violation.kind))) ||
      !put(dict.get(), kTarget, text_to_py(violation.target.view())) ||
      !put(dict.get(), kLimit, PyLong_FromUnsignedLongLong(violation.limit)) ||
      !put(dict.get(), kCurrent,
           PyLong_FromUnsignedLongLong(violation.current)) ||
      !put(dict.get(), kWindowMs,
           PyLong_FromUnsignedLongLong(violation.window_ms))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* rule_id_to_py(std::uint32_t id) noexcept {
  return PyLong_FromUnsignedLong(id);
}

PyObject* reason_to_py(const PolicyResult& result) noexcept {
  if (!result.reason) Py_RETURN_NONE;
  return text_to_py(result.reason->view());
}

PyObject* verdict_to_py(Verdict verdict) noexcept {
  return Py_NewRef(g_verdict_names[static_cast<std::size_t>(verdict)]);
}

}  // namespace

bool init_result_keys() noexcept {
  if (g_keys[0] != nullptr) return true;
  PyObject* keys[kKeyCount] = {};
  PyObject* verdicts[kVerdictCount] = {};
  bool ok = true;
  for (std::size_t i = 0; ok && i < kKeyCount; ++i) {
    keys[i] = PyUnicode_InternFromString(kKeyTexts[i]);
    ok = keys[i] != nullptr;
  }
  for (std::size_t i = 0; ok && i < kVerdictCount; ++i) {
    verdicts[i] = lower_case_verdict_name(static_cast<Verdict>(i));
    ok = verdicts[i] != nullptr;
  }
  if (!ok) {
    for (PyObject* key : keys) Py_XDECREF(key);
    for (PyObject* name : verdicts) Py_XDECREF(name);
    return false;
  }
  std::copy(std::begin(keys), std::end(keys), std::begin(g_keys));
  std::copy(std::begin(verdicts), std::end(verdicts),
            std::begin(g_verdict_names));
  return true;
}

PyObject* result_to_dict(const PolicyResult& result) noexcept {
  PyRef dict(PyDict_New());
  if (!dict || !put(dict.get(), kVerdict, verdict_to_py(result.verdict)) ||
      !put(dict.get(), kReason, reason_to_py(result)) ||
      !put(dict.get(), kTriggeredRules,
           list_of(result.triggered_rules, rule_id_to_py)) ||
      !put(dict.get(), kEvalTimeUs,
           PyLong_FromUnsignedLongLong(result.eval_time_us)) ||
      !put(dict.get(), kActions, list_of(result.actions, action_to_dict)) ||
      !put(dict.get(), kViolations,
           list_of(result.violations, violation_to_dict)) ||
      !put(dict.get(), kConstraintViolations,
           list_of(result.constraint_violations,
                   constraint_violation_to_dict))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace corvanth_core
