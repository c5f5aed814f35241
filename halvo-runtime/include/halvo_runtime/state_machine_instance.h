// StateMachineInstance: the runtime position of one temporal proof.
//
// Each instance owns its own copy of the machine, its current state number
// and its start time (engine construction or last reset; not renewed by
// transitions). step() runs the state machine phase of an evaluation for
// this instance:
//
//   1. At rest (the current state is not Active): report "is violated" when
//      the state number is a violating one; the verdict is left alone.
//   2. Timeout test: once the deadline has elapsed since the start time
//      (measured with the event's timestamp, never below 0), the first
//      Timeout transition from the current state is taken.
//   3. Otherwise the first transition from the current state whose guard
//      allows it is taken; later guards are not evaluated.
//   4. After a transition into a violating state number: report "violated by
//      event" and force Deny with the invariant reason unless the verdict is
//      already Deny.
//
// A current state number outside the machine's `states` list is never read:
// such an instance is skipped (it takes no transition, reports nothing) and
// counts as not active. The satisfied and violated tests only compare state
// numbers with the machine's lists.
//
//   StateMachineInstance instance(machine, start_millis);
//   const Transition* taken = instance.step(scope, guards, result);
#pragma once

#include <cstddef>
#include <cstdint>

#include "halvo_compiler/ir/policy.h"
#include "halvo_runtime/eval_scope.h"
#include "halvo_runtime/policy_result.h"

namespace halvo_runtime::engine {

// Answers whether a Predicate or NegatedPredicate guard lets its transition
// be taken for the event being evaluated: its expression truthy, or falsy
// when `negated`; the engine answers through its evaluation plan or through
// the tree evaluator.
class GuardTest {
 public:
  // `transition` is the guard's position in the machine's transitions.
  virtual bool allows(std::size_t transition,
                      const halvo_compiler::ir::IRExpr& expr,
                      bool negated) const = 0;

 protected:
  ~GuardTest() = default;
};

class StateMachineInstance {
 public:
  StateMachineInstance(halvo_compiler::ir::StateMachine machine,
                       std::uint64_t started_at);

  // Runs this instance's part of the state machine phase for the event of
  // `scope`, with guard expressions answered by `guards`: may append a
  // Violation to `result.violations` and force `result.verdict` to Deny with
  // the invariant reason. Returns the transition taken, nullptr when none.
  const halvo_compiler::ir::Transition* step(const eval::EvalScope& scope,
                                             const GuardTest& guards,
                                             PolicyResult& result);

  // Back to the initial state with a new start time.
  void reset(std::uint64_t started_at) noexcept;

  bool is_violated() const noexcept;   // state number in violating_states
  bool is_satisfied() const noexcept;  // state number in accepting_states
  bool is_active() const noexcept;     // false for a state number out of range

  // Puts the instance at `state` with the start time `started_at`, as a
  // snapshot recorded them.
  void restore(std::uint32_t state, std::uint64_t started_at) noexcept;

  // Whether the timeout test applies at `now` (milliseconds): the machine
  // has a deadline and it has elapsed since the start time.
  bool deadline_reached(std::uint64_t now) const noexcept;

  std::uint32_t current_state() const noexcept { return current_state_; }
  std::uint64_t started_at() const noexcept { return started_at_; }
  const halvo_compiler::ir::StateMachine& machine() const noexcept {
    return machine_;
  }

  // The first transition from the current state that `scope` allows under
  // the rules above, or nullptr when none is taken. Changes nothing.
  const halvo_compiler::ir::Transition* choose(const eval::EvalScope& scope,
                                               const GuardTest& guards) const;

 private:
  halvo_compiler::ir::StateMachine machine_;
  std::uint64_t started_at_;
  std::uint32_t current_state_;
};

}  // namespace halvo_runtime::engine
