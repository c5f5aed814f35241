#include "result_dict.h"

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "halvo_compiler/ast/nodes.h"
#include "py_list.h"
#include "py_ref.h"
#include "value_to_py.h"

namespace corvanth_core {

using halvo_compiler::ast::nodes::kVariantCount;
using halvo_compiler::ast::nodes::variant_name;
using halvo_runtime::engine::ActionResult;
using halvo_runtime::engine::ConstraintKind;
using halvo_runtime::engine::ConstraintViolation;
using halvo_runtime::engine::PolicyResult;
using halvo_runtime::engine::TemporalKind;
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
constexpr std::size_t kTemporalCount = kVariantCount<TemporalKind>;
constexpr std::size_t kConstraintCount = kVariantCount<ConstraintKind>;

// Interned once and kept for the life of the process, so that building a
// result allocates no key or enumeration strings.
PyObject* g_keys[kKeyCount] = {};
PyObject* g_verdict_names[kVerdictCount] = {};
PyObject* g_temporal_names[kTemporalCount] = {};
PyObject* g_constraint_names[kConstraintCount] = {};
// The shapes of the result dicts: their keys in order, each mapped to
// None (the result's to its most common values: "allow", no reason, 0 µs).
// Every such dict starts as a copy of its shape, which is sized for all its
// keys at once instead of growing while they are inserted, and only the
// values that differ are replaced.
PyObject* g_result_shape = nullptr;
PyObject* g_violation_shape = nullptr;
PyObject* g_constraint_violation_shape = nullptr;

constexpr Key kResultKeys[] = {
    kVerdict, kReason,     kTriggeredRules,      kEvalTimeUs,
    kActions, kViolations, kConstraintViolations};
constexpr Key kViolationKeys[] = {kProof, kInvariant, kKind, kMessage};
constexpr Key kConstraintViolationKeys[] = {kKind, kTarget, kLimit, kCurrent,
                                            kWindowMs};

PyObject* make_shape(std::span<const Key> keys) noexcept {
  PyRef shape(PyDict_New());
  if (!shape) return nullptr;
  for (const Key key : keys) {
    if (PyDict_SetItem(shape.get(), g_keys[key], Py_None) < 0) return nullptr;
  }
  return shape.release();
}

PyObject* make_result_shape() noexcept {
  PyRef shape(make_shape(kResultKeys));
  PyRef zero(PyLong_FromLong(0));
  if (!shape || !zero ||
      PyDict_SetItem(
          shape.get(), g_keys[kVerdict],
          g_verdict_names[static_cast<std::size_t>(Verdict::Allow)]) < 0 ||
      PyDict_SetItem(shape.get(), g_keys[kEvalTimeUs], zero.get()) < 0) {
    return nullptr;
  }
  return shape.release();
}

PyObject* interned(std::string_view text) noexcept {
  PyObject* name = text_to_py(text);
  if (name != nullptr) PyUnicode_InternInPlace(&name);
  return name;
}

PyObject* lower_case_verdict_name(Verdict verdict) noexcept {
  PyRef name(text_to_py(variant_name(verdict)));
  if (!name) return nullptr;
  PyObject* lower = PyObject_CallMethod(name.get(), "lower", nullptr);
  if (lower != nullptr) PyUnicode_InternInPlace(&lower);
  return lower;
}

// A new reference to the interned name of an enumeration value.
template <class Enum, std::size_t kCount>
PyObject* name_of(PyObject* const (&names)[kCount], Enum value) noexcept {
  return Py_NewRef(names[static_cast<std::size_t>(value)]);
}

// Fills `names` with make(Enum(i)) for every value; false on a failure,
// leaving what was made in place for release_all.
template <class Enum, std::size_t kCount, class Make>
bool make_all(PyObject* (&names)[kCount], Make make) noexcept {
  for (std::size_t i = 0; i < kCount; ++i) {
    names[i] = make(static_cast<Enum>(i));
    if (names[i] == nullptr) return false;
  }
  return true;
}

template <std::size_t kCount>
void release_all(PyObject* (&names)[kCount]) noexcept {
  for (PyObject*& name : names) Py_CLEAR(name);
}

// Inserts `value` (a new reference, stolen) under the key. A null value is
// a failure that was already raised.
bool put(PyObject* dict, Key key, PyObject* value) noexcept {
  if (value == nullptr) return false;
  const int status = PyDict_SetItem(dict, g_keys[key], value);
  Py_DECREF(value);
  return status == 0;
}

// The args dict of an action whose argument names `names` describes.
PyObject* args_to_dict(const ActionResult& action, const ActionNames& names,
                       const SourceStrings* sources) noexcept {
  PyRef dict(PyDict_Copy(names.args_shape));
  if (!dict) return nullptr;
  std::size_t index = 0;
  for (const auto& entry : action.args) {
    PyObject* const value = value_to_py(entry.value, sources);
    if (value == nullptr) return nullptr;
    // Replaces the None of the shape; PyDict_SetItem takes its own
    // reference to the value.
    const int status =
        PyDict_SetItem(dict.get(), names.arg_names[index++], value);
    Py_DECREF(value);
    if (status < 0) return nullptr;
  }
  return dict.release();
}

// `names` describes the policy's action that produced `action`, or is
// nullptr when the action is not one of them (no ResultNames given).
PyObject* action_to_dict(const ActionResult& action, const ActionNames* names,
                         const SourceStrings* sources) noexcept {
  if (names != nullptr && names->matches(action)) {
    PyRef dict(PyDict_Copy(names->action_shape));
    if (!dict ||
        !put(dict.get(), kArgs, args_to_dict(action, *names, sources))) {
      return nullptr;
    }
    return dict.release();
  }
  PyRef dict(PyDict_New());
  if (!dict || !put(dict.get(), kVerb, text_to_py(action.verb.view())) ||
      !put(dict.get(), kArgs, value_map_to_py(action.args, sources))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* violation_to_dict(const Violation& violation) noexcept {
  PyRef dict(PyDict_Copy(g_violation_shape));
  if (!dict || !put(dict.get(), kProof, text_to_py(violation.proof.view())) ||
      !put(dict.get(), kInvariant, text_to_py(violation.invariant.view())) ||
      !put(dict.get(), kKind, name_of(g_temporal_names, violation.kind)) ||
      !put(dict.get(), kMessage, text_to_py(violation.message.view()))) {
    return nullptr;
  }
  return dict.release();
}

// A violation dict with every value but "current" (None) filled in.
PyObject* violation_shape_of(ConstraintKind kind, std::string_view target,
                             std::uint64_t limit,
                             std::uint64_t window_ms) noexcept {
  PyRef shape(PyDict_Copy(g_constraint_violation_shape));
  if (!shape || !put(shape.get(), kKind, name_of(g_constraint_names, kind)) ||
      !put(shape.get(), kTarget, text_to_py(target)) ||
      !put(shape.get(), kLimit, PyLong_FromUnsignedLongLong(limit)) ||
      !put(shape.get(), kWindowMs, PyLong_FromUnsignedLongLong(window_ms))) {
    return nullptr;
  }
  return shape.release();
}

// A violation of one of the policy's constraints starts from the
// constraint's own shape; any other is built whole.
PyObject* constraint_violation_to_dict(const ConstraintViolation& violation,
                                       const ResultNames* names) noexcept {
  PyObject* shape =
      names != nullptr ? names->constraint_shape(violation) : nullptr;
  PyRef dict(shape != nullptr
                 ? PyDict_Copy(shape)
                 : violation_shape_of(violation.kind, violation.target.view(),
                                      violation.limit, violation.window_ms));
  if (!dict || !put(dict.get(), kCurrent,
                    PyLong_FromUnsignedLongLong(violation.current))) {
    return nullptr;
  }
  return dict.release();
}

PyObject* rule_id_to_py(std::uint32_t id) noexcept {
  return PyLong_FromUnsignedLong(id);
}

}  // namespace

bool init_result_keys() noexcept {
  if (g_result_shape != nullptr) return true;
  const bool ok =
      make_all<Key>(
          g_keys,
          [](Key key) { return PyUnicode_InternFromString(kKeyTexts[key]); }) &&
      make_all<Verdict>(g_verdict_names, lower_case_verdict_name) &&
      make_all<TemporalKind>(
          g_temporal_names,
          [](TemporalKind kind) { return interned(variant_name(kind)); }) &&
      make_all<ConstraintKind>(
          g_constraint_names,
          [](ConstraintKind kind) { return interned(variant_name(kind)); }) &&
      (g_result_shape = make_result_shape()) != nullptr &&
      (g_violation_shape = make_shape(kViolationKeys)) != nullptr &&
      (g_constraint_violation_shape = make_shape(kConstraintViolationKeys)) !=
          nullptr;
  if (!ok) {
    release_all(g_keys);
    release_all(g_verdict_names);
    release_all(g_temporal_names);
    release_all(g_constraint_names);
    Py_CLEAR(g_result_shape);
    Py_CLEAR(g_violation_shape);
    Py_CLEAR(g_constraint_violation_shape);
  }
  return ok;
}

PyObject* action_result_to_dict(const ActionResult& action,
                                const ResultNames* names,
                                const SourceStrings* sources) noexcept {
  return action_to_dict(
      action,
      names != nullptr ? names->action(action.rule, action.action) : nullptr,
      sources);
}

PyObject* new_action_shape(PyObject* verb) noexcept {
  PyRef shape(PyDict_New());
  if (!shape || PyDict_SetItem(shape.get(), g_keys[kVerb], verb) < 0 ||
      PyDict_SetItem(shape.get(), g_keys[kArgs], Py_None) < 0) {
    return nullptr;
  }
  return shape.release();
}

PyObject* new_constraint_violation_shape(
    const halvo_compiler::ir::CompiledConstraint& constraint) noexcept {
  return violation_shape_of(constraint.kind, constraint.target.view(),
                            constraint.limit, constraint.window_millis);
}

PyObject* verdict_name_to_py(Verdict verdict) noexcept {
  return name_of(g_verdict_names, verdict);
}

PyObject* constraint_kind_to_py(ConstraintKind kind) noexcept {
  return name_of(g_constraint_names, kind);
}

PyObject* result_to_dict(const PolicyResult& result, const ResultNames* names,
                         const SourceStrings* sources) noexcept {
  const auto action_dict = [names, sources](const ActionResult& action) {
    return action_result_to_dict(action, names, sources);
  };
  PyRef dict(PyDict_Copy(g_result_shape));
  if (!dict ||
      (result.verdict != Verdict::Allow &&
       !put(dict.get(), kVerdict, name_of(g_verdict_names, result.verdict))) ||
      (result.reason &&
       !put(dict.get(), kReason, text_to_py(result.reason->view(), sources))) ||
      !put(dict.get(), kTriggeredRules,
           list_of(result.triggered_rules, rule_id_to_py)) ||
      (result.eval_time_us != 0 &&
       !put(dict.get(), kEvalTimeUs,
            PyLong_FromUnsignedLongLong(result.eval_time_us))) ||
      !put(dict.get(), kActions, list_of(result.actions, action_dict)) ||
      !put(dict.get(), kViolations,
           list_of(result.violations, violation_to_dict)) ||
      !put(dict.get(), kConstraintViolations,
           list_of(result.constraint_violations,
                   [names](const ConstraintViolation& violation) {
                     return constraint_violation_to_dict(violation, names);
                   }))) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace corvanth_core
