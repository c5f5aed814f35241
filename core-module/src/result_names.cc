#include "result_names.h"

#include "halvo/hash_map.h"
#include "halvo/same_text.h"
#include "halvo_compiler/ast/nodes.h"
#include "py_ref.h"
#include "result_dict.h"
#include "value_to_py.h"

namespace corvanth_core {

using halvo_compiler::ast::nodes::variant_name;

bool ActionNames::matches(
    const halvo_runtime::engine::ActionResult& action) const noexcept {
  if (action.args.size() != arg_texts.size()) return false;
  std::size_t index = 0;
  for (const auto& entry : action.args) {
    if (!halvo::same_text(entry.key.view(), arg_texts[index++])) return false;
  }
  return true;
}

ResultNames::~ResultNames() {
  for (PyObject* object : owned_) Py_DECREF(object);
}

// Takes over `object`, a new reference or nullptr (a failure that was
// raised).
bool ResultNames::keep(PyObject* object) {
  if (object == nullptr) return false;
  PyRef held(object);
  owned_.push_back(object);  // may throw; `held` then releases it
  held.release();
  return true;
}

bool ResultNames::add_name(std::string_view text) {
  PyObject* name = text_to_py(text);  // new reference
  if (name == nullptr) return false;
  PyUnicode_InternInPlace(&name);  // may swap in the interned equal str
  if (!keep(name)) return false;
  // The interned str may be another object holding the same text; its
  // UTF-8 form is cached now, so that reading it never allocates later.
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
  if (utf8 == nullptr) return false;
  names_.push_back(name);
  texts_.push_back({utf8, static_cast<std::size_t>(size)});
  return true;
}

bool ResultNames::add_shapes(ActionNames& names) {
  PyObject* action_shape = new_action_shape(names.verb);
  if (!keep(action_shape)) return false;
  PyObject* args_shape = PyDict_New();
  if (!keep(args_shape)) return false;
  for (PyObject* name : names.arg_names) {
    if (PyDict_SetItem(args_shape, name, Py_None) < 0) return false;
  }
  names.action_shape = action_shape;
  names.args_shape = args_shape;
  return true;
}

bool ResultNames::build(const halvo_compiler::ir::CompiledPolicy& policy) {
  // Reserved up front: the spans of actions_ point into these vectors.
  std::size_t action_count = 0;
  std::size_t name_count = 0;
  for (const auto& rule : policy.rules) {
    action_count += rule.actions.size();
    for (const auto& action : rule.actions) name_count += action.args.size();
  }
  rule_first_.reserve(policy.rules.size() + 1);
  actions_.reserve(action_count);
  names_.reserve(name_count);
  texts_.reserve(name_count);
  owned_.reserve(name_count + action_count * 3);  // names; verb, two shapes

  halvo::HashMap<bool> seen;  // the names of one action so far
  for (const auto& rule : policy.rules) {
    rule_first_.push_back(static_cast<std::uint32_t>(actions_.size()));
    for (const auto& action : rule.actions) {
      PyObject* verb = text_to_py(variant_name(action.verb));
      if (verb != nullptr) PyUnicode_InternInPlace(&verb);
      if (!keep(verb)) return false;
      const std::size_t first = names_.size();
      // A name given twice keeps its first place in the argument map.
      seen.clear();
      for (const auto& [name, expr] : action.args) {
        if (seen.contains(name.view())) continue;
        seen.insert_or_assign(name, true);
        if (!add_name(name.view())) return false;
      }
      const std::size_t count = names_.size() - first;
      ActionNames names{verb,
                        {names_.data() + first, count},
                        {texts_.data() + first, count},
                        nullptr,
                        nullptr};
      if (!add_shapes(names)) return false;
      actions_.push_back(names);
    }
  }
  rule_first_.push_back(static_cast<std::uint32_t>(actions_.size()));
  constraint_shapes_.reserve(policy.constraints.size());
  for (const auto& constraint : policy.constraints) {
    PyObject* shape = new_constraint_violation_shape(constraint);
    if (!keep(shape)) return false;
    constraint_shapes_.push_back({constraint, shape});
  }
  return true;
}

PyObject* ResultNames::constraint_shape(
    const halvo_runtime::engine::ConstraintViolation& violation)
    const noexcept {
  for (const ConstraintShape& entry : constraint_shapes_) {
    const auto& constraint = entry.constraint;
    if (constraint.kind == violation.kind &&
        constraint.limit == violation.limit &&
        constraint.window_millis == violation.window_ms &&
        constraint.target == violation.target.view()) {
      return entry.shape;
    }
  }
  return nullptr;
}

const ActionNames* ResultNames::action(std::uint32_t rule,
                                       std::uint32_t action) const noexcept {
  if (rule_first_.empty() || rule >= rule_first_.size() - 1) return nullptr;
  const std::size_t index = std::size_t{rule_first_[rule]} + action;
  if (index >= rule_first_[rule + 1]) return nullptr;
  return &actions_[index];
}

}  // namespace corvanth_core
