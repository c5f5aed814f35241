// What one evaluation returns: PolicyResult and its records.
//
// A PolicyResult owns everything in it and shares nothing with the engine.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "halvo/small_string.h"
#include "halvo_compiler/ast/nodes.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::engine {

using halvo_compiler::ast::nodes::ConstraintKind;
using halvo_compiler::ast::nodes::TemporalKind;
using halvo_compiler::ast::nodes::Verdict;

// One action of a matched rule: the verb's name ("Log", "Block", ...) and
// each argument name mapped to the value of its expression, and where the
// action is written: actions[action] of the rule at position `rule` of the
// policy's rule list.
struct ActionResult {
  halvo::SmallString verb;
  event::ValueMap args;
  std::uint32_t rule = 0;
  std::uint32_t action = 0;
};

// An invariant violation found by a state machine.
struct Violation {
  halvo::SmallString proof;      // the machine's name
  halvo::SmallString invariant;  // the machine's invariant_name
  TemporalKind kind;
  halvo::SmallString message;
};

// An exceeded rate or quota constraint.
struct ConstraintViolation {
  ConstraintKind kind;
  halvo::SmallString target;
  std::uint64_t limit;
  std::uint64_t current;  // events inside the window, this one included
  std::uint64_t window_ms;
};

struct PolicyResult {
  Verdict verdict = Verdict::Allow;
  std::optional<halvo::SmallString> reason;
  std::vector<std::uint32_t> triggered_rules;
  std::uint64_t eval_time_us = 0;
  std::vector<ActionResult> actions;
  std::vector<Violation> violations;
  std::vector<ConstraintViolation> constraint_violations;

  // Back to an empty result (Allow, no reason, empty lists), keeping the
  // lists' storage for reuse, the argument maps of the actions included.
  void clear() noexcept {
    verdict = Verdict::Allow;
    reason.reset();
    triggered_rules.clear();
    eval_time_us = 0;
    for (ActionResult& action : actions) {
      if (spare_args_.maps.size() == spare_args_.maps.capacity()) break;
      // Moved first, cleared in its new place: clearing first would store
      // the entry list's end just before the move loads it back.
      spare_args_.maps.push_back(std::move(action.args));  // no allocation
      spare_args_.maps.back().clear();
    }
    actions.clear();
    violations.clear();
    constraint_violations.clear();
  }

  // An empty argument map for a new action: one an earlier action of this
  // result left behind when cleared, else a fresh one.
  event::ValueMap take_args() noexcept {
    if (spare_args_.maps.empty()) return {};
    event::ValueMap args = std::move(spare_args_.maps.back());
    spare_args_.maps.pop_back();
    return args;
  }

  // Room for the argument maps of this many actions to be kept by clear();
  // none is kept before. The room at least doubles when it grows. May throw
  // std::bad_alloc.
  void keep_args_of(std::size_t count) {
    std::vector<event::ValueMap>& maps = spare_args_.maps;
    if (count <= maps.capacity()) return;
    maps.reserve(std::max(count, 2 * maps.capacity()));
  }

 private:
  // Storage kept for reuse by the result it belongs to: a copy of the
  // result (a replay keeping every result) starts without any.
  struct SpareMaps {
    SpareMaps() = default;
    SpareMaps(const SpareMaps&) noexcept {}
    SpareMaps& operator=(const SpareMaps&) noexcept { return *this; }
    SpareMaps(SpareMaps&&) noexcept = default;
    SpareMaps& operator=(SpareMaps&&) noexcept = default;
    std::vector<event::ValueMap> maps;
  };
  SpareMaps spare_args_;
};

}  // namespace halvo_runtime::engine
