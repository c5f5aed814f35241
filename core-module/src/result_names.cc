#include "result_names.h"

#include "halvo/hash_map.h"
#include "halvo_compiler/ast/nodes.h"
#include "py_ref.h"
#include "value_to_py.h"

namespace corvanth_core {

using halvo_compiler::ast::nodes::variant_name;

ResultNames::~ResultNames() {
  for (PyObject* name : names_) Py_DECREF(name);
}

bool ResultNames::add(std::string_view text) {
  PyObject* name = text_to_py(text);  // new reference
  if (name == nullptr) return false;
  PyUnicode_InternInPlace(&name);  // may swap in the interned equal str
  PyRef held(name);
  // Caches the UTF-8 form of a non-ASCII name now, so that str_holds never
  // allocates for it.
  if (PyUnicode_AsUTF8AndSize(name, nullptr) == nullptr) return false;
  names_.push_back(name);  // may throw; `held` then releases the name
  held.release();
  return true;
}

bool ResultNames::build(const halvo_compiler::ir::CompiledPolicy& policy) {
  rule_first_.reserve(policy.rules.size() + 1);
  halvo::HashMap<bool> seen;  // the names of one action so far
  for (const auto& rule : policy.rules) {
    rule_first_.push_back(static_cast<std::uint32_t>(action_first_.size()));
    for (const auto& action : rule.actions) {
      action_first_.push_back(static_cast<std::uint32_t>(names_.size()));
      if (!add(variant_name(action.verb))) return false;
      // A name given twice keeps its first place in the argument map.
      seen.clear();
      for (const auto& [name, expr] : action.args) {
        if (seen.contains(name.view())) continue;
        seen.insert_or_assign(name, true);
        if (!add(name.view())) return false;
      }
    }
  }
  rule_first_.push_back(static_cast<std::uint32_t>(action_first_.size()));
  action_first_.push_back(static_cast<std::uint32_t>(names_.size()));
  return true;
}

std::span<PyObject* const> ResultNames::action(
    std::uint32_t rule, std::uint32_t action) const noexcept {
  if (rule_first_.empty() || rule >= rule_first_.size() - 1) return {};
  const std::size_t index = std::size_t{rule_first_[rule]} + action;
  if (index >= rule_first_[rule + 1]) return {};
  const std::size_t first = action_first_[index];
  return {names_.data() + first, action_first_[index + 1] - first};
}

}  // namespace corvanth_core
