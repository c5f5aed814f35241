// CompiledPolicy and the records beneath it: rules, actions, constraints,
// temporal state machines and metadata.
//
// A CompiledPolicy is what the engine loads: it is read from JSON
// (policy_reader.h) or from a .halvoc container (bytecode.h), handed to the
// engine, and never changed. Every record owns what it holds.
//
// State numbers (`initial_state`, `accepting_states`, `violating_states` and
// a transition's `from`/`to`) are positions in the machine's `states` list.
// The reader does not check that they lie inside it; the runtime does.
//
//   for (const CompiledRule& rule : policy.rules) { ... }
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "halvo/small_string.h"
#include "halvo_compiler/ast/nodes.h"
#include "halvo_compiler/ir/expr.h"

namespace halvo_compiler::ir {

using ast::nodes::ActionVerb;
using ast::nodes::ConstraintKind;
using ast::nodes::SeverityLevel;
using ast::nodes::StateKind;
using ast::nodes::TemporalKind;

struct PolicyMetadata {
  std::vector<std::pair<halvo::SmallString, halvo::SmallString>> annotations;
  std::uint64_t source_hash = 0;
  halvo::SmallString compiler_version;
};

struct IRAction {
  ActionVerb verb = ActionVerb::Log;
  std::vector<std::pair<halvo::SmallString, IRExpr>> args;
};

struct CompiledRule {
  std::uint32_t id = 0;
  std::vector<halvo::SmallString> on_events;
  std::optional<IRExpr> condition;
  std::vector<IRVerdict> verdicts;
  std::vector<IRAction> actions;
  std::optional<SeverityLevel> severity;
};

struct CompiledConstraint {
  ConstraintKind kind = ConstraintKind::RateLimit;
  halvo::SmallString target;
  std::uint64_t limit = 0;
  std::uint64_t window_millis = 0;
};

struct State {
  std::uint32_t id = 0;
  halvo::SmallString label;
  StateKind kind = StateKind::Active;
};

struct PredicateGuard {
  IRExpr expr;
};
struct NegatedPredicateGuard {
  IRExpr expr;
};
struct TimeoutGuard {};
struct AlwaysGuard {};

// Alternatives in declared order: Predicate, NegatedPredicate, Timeout,
// Always.
struct TransitionGuard {
  std::variant<PredicateGuard, NegatedPredicateGuard, TimeoutGuard, AlwaysGuard>
      guard;
};

struct Transition {
  std::uint32_t from = 0;
  std::uint32_t to = 0;
  TransitionGuard guard;
};

struct StateMachine {
  std::uint32_t id = 0;
  halvo::SmallString name;
  halvo::SmallString invariant_name;
  TemporalKind kind = TemporalKind::Always;
  std::vector<State> states;
  std::vector<Transition> transitions;
  std::uint32_t initial_state = 0;
  std::vector<std::uint32_t> accepting_states;
  std::vector<std::uint32_t> violating_states;
  std::optional<std::uint64_t> deadline_millis;
};

struct CompiledPolicy {
  halvo::SmallString name;
  SeverityLevel severity = SeverityLevel::Info;
  std::vector<halvo::SmallString> scopes;
  std::vector<CompiledRule> rules;
  std::vector<CompiledConstraint> constraints;
  std::vector<StateMachine> state_machines;
  PolicyMetadata metadata;
};

}  // namespace halvo_compiler::ir
