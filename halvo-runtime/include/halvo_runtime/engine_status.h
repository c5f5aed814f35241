// EngineStatus: a summary of an engine for people, with its five-line text.
// PolicyEngine::status() fills it; the value owns copies of what it holds.
// The three machine counts are independent tests (an instance may count in
// several or in none); an instance whose state number lies outside its
// machine's states is not counted as active.
//
//   std::string summary = engine.status().text();
//
// gives, for example:
//
//   Policy: guard (High)
//   Rules: 4
//   State machines: 2 total (1 active, 0 satisfied, 1 violated)
//   Constraints: 1
//   Events processed: 17
#pragma once

#include <cstdint>
#include <string>

#include "halvo/small_string.h"
#include "halvo_compiler/ast/nodes.h"

namespace halvo_runtime::engine {

struct EngineStatus {
  halvo::SmallString policy_name;
  halvo_compiler::ast::nodes::SeverityLevel severity;
  std::uint64_t rule_count = 0;
  std::uint64_t machine_count = 0;
  std::uint64_t active_count = 0;
  std::uint64_t satisfied_count = 0;
  std::uint64_t violated_count = 0;
  std::uint64_t constraint_count = 0;
  std::uint64_t event_count = 0;

  // The five lines above, each ending with a line feed.
  std::string text() const;
};

}  // namespace halvo_runtime::engine
