#include "halvo_runtime/rule_index.h"

namespace halvo_runtime::engine {

using halvo_compiler::ir::CompiledRule;

RuleIndex::RuleIndex(const std::vector<CompiledRule>& rules) {
  // Every named type gets a list first, so that the pass below can append
  // each rule to the lists it belongs to in rule order.
  for (const CompiledRule& rule : rules) {
    for (const halvo::SmallString& type : rule.on_events) {
      if (!by_type_.contains(type.view())) {
        by_type_.insert_or_assign(type, std::vector<std::uint32_t>{});
      }
    }
  }
  for (std::uint32_t position = 0; position < rules.size(); ++position) {
    const CompiledRule& rule = rules[position];
    if (rule.on_events.empty()) {
      unnamed_.push_back(position);
      for (auto& entry : by_type_) entry.value.push_back(position);
      continue;
    }
    for (const halvo::SmallString& type : rule.on_events) {
      std::vector<std::uint32_t>& list = *by_type_.find(type.view());
      // A type listed twice by one rule was appended on its first mention.
      if (list.empty() || list.back() != position) list.push_back(position);
    }
  }
  for (auto& entry : by_type_) entry.value.shrink_to_fit();
  unnamed_.shrink_to_fit();
}

std::span<const std::uint32_t> RuleIndex::rules_for(
    std::string_view event_type) const noexcept {
  const std::vector<std::uint32_t>* list = by_type_.find(event_type);
  return list != nullptr ? *list : unnamed_;
}

bool RuleIndex::applies(const CompiledRule& rule,
                        std::string_view event_type) noexcept {
  if (rule.on_events.empty()) return true;
  for (const halvo::SmallString& accepted : rule.on_events) {
    if (accepted == event_type) return true;
  }
  return false;
}

std::size_t RuleIndex::memory_bytes() const noexcept {
  std::size_t bytes = unnamed_.capacity() * sizeof(std::uint32_t);
  for (const auto& entry : by_type_) {
    bytes += sizeof(entry) + entry.value.capacity() * sizeof(std::uint32_t);
  }
  return bytes;
}

}  // namespace halvo_runtime::engine
