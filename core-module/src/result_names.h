// ResultNames: the Python objects of one engine's action results, made once.
//
// Every action dict of a result holds the action's verb ("Block") and one
// key per argument name ("tool", "command"). These texts are fixed by the
// policy, so they are interned when the engine is built and released with
// it; building a result then only takes new references to them, and the
// dicts find their hashes already computed. For the same reason each action
// keeps the shapes of its two dicts, their keys in order with the verb
// filled in ({"verb": "Block", "args": None} and {"tool": None}): a result
// copies a shape, which sizes the dict for all its keys at once, and
// replaces the values. A constraint's violations likewise copy a shape with
// all but their count filled in.
//
//   ResultNames names;
//   if (!names.build(engine.policy())) return nullptr;   // exception set
//   const ActionNames* texts = names.action(rule, action);
//   if (texts != nullptr && texts->matches(result_action)) {
//     PyObject* dict = PyDict_Copy(texts->action_shape);  // then the args
//   }
//
// Holds strong references; destroy it with the interpreter lock held and
// outside the engine lock. Moved into the engine object, never copied.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "halvo_compiler/ir/policy.h"
#include "halvo_runtime/policy_result.h"

namespace corvanth_core {

// The interned texts and dict shapes of one action of the policy. All
// references are borrowed from the ResultNames that holds them.
struct ActionNames {
  PyObject* verb;
  // The argument names in the order of the action's argument map (the
  // first occurrence of each name), with their UTF-8 texts.
  std::span<PyObject* const> arg_names;
  std::span<const std::string_view> arg_texts;
  PyObject* action_shape;  // {"verb": verb, "args": None}
  PyObject* args_shape;    // {name: None, ...} in argument order

  // Whether `action` has exactly these argument names in this order, so
  // that the shapes and names describe its dicts.
  bool matches(
      const halvo_runtime::engine::ActionResult& action) const noexcept;
};

class ResultNames {
 public:
  ResultNames() = default;
  ResultNames(const ResultNames&) = delete;
  ResultNames& operator=(const ResultNames&) = delete;
  // The moved-from table is empty and releases nothing.
  ResultNames(ResultNames&&) noexcept = default;
  ~ResultNames();

  // Interns the verb and the argument names of every action of every rule
  // and builds the shapes. Returns false with the Python exception set
  // (MemoryError in practice).
  bool build(const halvo_compiler::ir::CompiledPolicy& policy);

  // Action `action` of the rule at position `rule`; nullptr when there is
  // no such action.
  const ActionNames* action(std::uint32_t rule,
                            std::uint32_t action) const noexcept;

  // The shape of `violation`'s dict (result_dict.h) when it violates one of
  // the policy's constraints as written (its kind, target, limit and
  // window), borrowed; else nullptr.
  PyObject* constraint_shape(const halvo_runtime::engine::ConstraintViolation&
                                 violation) const noexcept;

 private:
  bool keep(PyObject* object);
  bool add_name(std::string_view text);
  bool add_shapes(ActionNames& names);

  // Per rule, the index of its first action in actions_; one more entry
  // closes the last rule.
  std::vector<std::uint32_t> rule_first_;
  std::vector<ActionNames> actions_;
  // Storage of the spans of actions_ (names_ and texts_ in parallel).
  std::vector<PyObject*> names_;
  std::vector<std::string_view> texts_;
  // The shapes of the violations of the policy's constraints.
  struct ConstraintShape {
    halvo_compiler::ir::CompiledConstraint constraint;  // a copy
    PyObject* shape;
  };
  std::vector<ConstraintShape> constraint_shapes_;
  std::vector<PyObject*> owned_;  // every reference held
};

}  // namespace corvanth_core
