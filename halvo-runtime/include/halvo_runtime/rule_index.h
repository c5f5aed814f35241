// RuleIndex: which rules apply to an event type, worked out once.
//
// For each event type named in some rule's on_events, the positions of the
// rules that apply to it, in rule order: the rules that name it and the
// rules with an empty on_events (which apply to every event). One more list
// serves every type named nowhere: the empty-on_events rules alone. A rule
// that names a type twice appears once. Finding the list costs one map
// lookup, so rules filtered to other types cost nothing per event.
//
//   RuleIndex index(policy.rules);
//   for (std::uint32_t position : index.rules_for("tool_call")) {
//     const CompiledRule& rule = policy.rules[position];
//   }
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "halvo/hash_map.h"
#include "halvo_compiler/ir/policy.h"

namespace halvo_runtime::engine {

class RuleIndex {
 public:
  explicit RuleIndex(
      const std::vector<halvo_compiler::ir::CompiledRule>& rules);

  // Positions into the rules the index was built from, in rule order.
  std::span<const std::uint32_t> rules_for(
      std::string_view event_type) const noexcept;

  // Whether `rule` applies to `event_type` by its on_events alone: the
  // filter the index is built from, asked rule by rule.
  static bool applies(const halvo_compiler::ir::CompiledRule& rule,
                      std::string_view event_type) noexcept;

  // Heap bytes held by the index.
  std::size_t memory_bytes() const noexcept;

 private:
  halvo::HashMap<std::vector<std::uint32_t>> by_type_;
  std::vector<std::uint32_t> unnamed_;  // for types named nowhere
};

}  // namespace halvo_runtime::engine
