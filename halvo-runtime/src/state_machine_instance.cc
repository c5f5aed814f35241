#include "halvo_runtime/state_machine_instance.h"

#include <algorithm>
#include <type_traits>
#include <utility>
#include <variant>

#include "engine_messages.h"

namespace halvo_runtime::engine {
namespace {

using halvo_compiler::ir::AlwaysGuard;
using halvo_compiler::ir::NegatedPredicateGuard;
using halvo_compiler::ir::PredicateGuard;
using halvo_compiler::ir::StateKind;
using halvo_compiler::ir::TimeoutGuard;
using halvo_compiler::ir::Transition;

bool listed(const std::vector<std::uint32_t>& states, std::uint32_t state) {
  return std::find(states.begin(), states.end(), state) != states.end();
}

bool is_timeout(const Transition& transition) {
  return std::holds_alternative<TimeoutGuard>(transition.guard.guard);
}

// Whether the ordinary search takes `transition`; a Timeout guard never
// qualifies there.
bool allows(const Transition& transition, std::size_t position,
            const GuardTest& guards) {
  return std::visit(
      [&](const auto& guard) {
        using Guard = std::decay_t<decltype(guard)>;
        if constexpr (std::is_same_v<Guard, PredicateGuard>) {
          return guards.allows(position, guard.expr, false);
        } else if constexpr (std::is_same_v<Guard, NegatedPredicateGuard>) {
          return guards.allows(position, guard.expr, true);
        } else if constexpr (std::is_same_v<Guard, TimeoutGuard>) {
          return false;
        } else {
          static_assert(std::is_same_v<Guard, AlwaysGuard>);
          return true;
        }
      },
      transition.guard.guard);
}

}  // namespace

StateMachineInstance::StateMachineInstance(
    halvo_compiler::ir::StateMachine machine, std::uint64_t started_at)
    : machine_(std::move(machine)),
      started_at_(started_at),
      current_state_(machine_.initial_state) {}

void StateMachineInstance::reset(std::uint64_t started_at) noexcept {
  current_state_ = machine_.initial_state;
  started_at_ = started_at;
}

void StateMachineInstance::restore(std::uint32_t state,
                                   std::uint64_t started_at) noexcept {
  current_state_ = state;
  started_at_ = started_at;
}

bool StateMachineInstance::is_violated() const noexcept {
  return listed(machine_.violating_states, current_state_);
}

bool StateMachineInstance::is_satisfied() const noexcept {
  return listed(machine_.accepting_states, current_state_);
}

bool StateMachineInstance::is_active() const noexcept {
  return current_state_ < machine_.states.size() &&
         machine_.states[current_state_].kind == StateKind::Active;
}

bool StateMachineInstance::deadline_reached(std::uint64_t now) const noexcept {
  if (!machine_.deadline_millis) return false;
  const std::uint64_t elapsed = now > started_at_ ? now - started_at_ : 0;
  return elapsed >= *machine_.deadline_millis;
}

const Transition* StateMachineInstance::choose(const eval::EvalScope& scope,
                                               const GuardTest& guards) const {
  const auto from_here = [this](const Transition& t) {
    return t.from == current_state_;
  };
  if (deadline_reached(scope.event.timestamp())) {
    for (const Transition& t : machine_.transitions) {
      if (from_here(t) && is_timeout(t)) return &t;
    }
  }
  const auto& transitions = machine_.transitions;
  for (std::size_t i = 0; i < transitions.size(); ++i) {
    if (from_here(transitions[i]) && allows(transitions[i], i, guards)) {
      return &transitions[i];
    }
  }
  return nullptr;
}

const Transition* StateMachineInstance::step(const eval::EvalScope& scope,
                                             const GuardTest& guards,
                                             PolicyResult& result) {
  // A state number the machine does not define cannot be looked up; the
  // instance stands still rather than guess what the state means.
  if (current_state_ >= machine_.states.size()) return nullptr;

  if (machine_.states[current_state_].kind != StateKind::Active) {
    if (is_violated()) {
      result.violations.push_back(Violation{
          machine_.name, machine_.invariant_name, machine_.kind,
          still_violated_message(machine_.invariant_name, machine_.name)});
    }
    return nullptr;
  }

  const Transition* taken = choose(scope, guards);
  if (taken == nullptr) return nullptr;
  current_state_ = taken->to;
  if (!is_violated()) return taken;

  result.violations.push_back(Violation{
      machine_.name, machine_.invariant_name, machine_.kind,
      violated_by_event_message(machine_.invariant_name, machine_.name,
                                scope.event.event_type())});
  if (result.verdict != Verdict::Deny) {
    result.verdict = Verdict::Deny;
    result.reason =
        invariant_violation_reason(machine_.invariant_name, machine_.name);
  }
  return taken;
}

}  // namespace halvo_runtime::engine
