// ResultNames: the Python strings of one engine's action results, made once.
//
// Every action dict of a result holds the action's verb ("Block") and one
// key per argument name ("tool", "command"). These texts are fixed by the
// policy, so they are interned when the engine is built and released with
// it; building a result then only takes new references to them, and the
// dicts find their hashes already computed.
//
//   ResultNames names;
//   if (!names.build(engine.policy())) return nullptr;   // exception set
//   std::span<PyObject* const> texts = names.action(rule, action);
//   // texts[0] is the verb, texts[1..] the argument names in the order of
//   // the action's argument map (the first occurrence of each name); a
//   // result checks each with str_holds before using it
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

namespace corvanth_core {

class ResultNames {
 public:
  ResultNames() = default;
  ResultNames(const ResultNames&) = delete;
  ResultNames& operator=(const ResultNames&) = delete;
  // The moved-from table is empty and releases nothing.
  ResultNames(ResultNames&&) noexcept = default;
  ~ResultNames();

  // Interns the verb and the argument names of every action of every rule.
  // Returns false with the Python exception set (MemoryError in practice).
  bool build(const halvo_compiler::ir::CompiledPolicy& policy);

  // The verb, then the argument names, of action `action` of the rule at
  // position `rule`; empty when there is no such action.
  std::span<PyObject* const> action(std::uint32_t rule,
                                    std::uint32_t action) const noexcept;

 private:
  bool add(std::string_view text);

  // Per rule, the index of its first action in action_first_; one more
  // entry closes the last rule.
  std::vector<std::uint32_t> rule_first_;
  // Per action, the index of its verb in names_; one more entry closes the
  // last action.
  std::vector<std::uint32_t> action_first_;
  std::vector<PyObject*> names_;  // owned references
};

}  // namespace corvanth_core
