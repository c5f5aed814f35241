// StateMachineInstance: the runtime position of one temporal proof.
//
// Each instance holds its own copy of the machine, its current state number
// and its start time (construction or last reset). step() runs the third
// phase of an evaluation for this instance: at-rest reporting, the timeout
// test against the event timestamp, the ordinary guarded search, and the
// violation test after a transition.
//
// A current state number outside the machine's `states` list is never read:
// such an instance is skipped (it takes no transition, reports nothing) and
// counts as not active.
//
//   StateMachineInstance instance(machine, start_millis);
//   instance.step(event, scope, result);
#pragma once

#include <cstdint>

#include "halvo_compiler/ir/policy.h"
#include "halvo_runtime/eval_scope.h"
#include "halvo_runtime/event.h"
#include "halvo_runtime/policy_result.h"

namespace halvo_runtime::engine {

class StateMachineInstance {
 public:
  StateMachineInstance(halvo_compiler::ir::StateMachine machine,
                       std::uint64_t started_at);

  // Runs this instance's part of the state machine phase for `event`:
  // may append a Violation to `result.violations` and force `result.verdict`
  // to Deny with the invariant reason.
  void step(const event::Event& event, const eval::EvalScope& scope,
            PolicyResult& result);

  // Back to the initial state with a new start time.
  void reset(std::uint64_t started_at) noexcept;

  bool is_violated() const noexcept;
  bool is_satisfied() const noexcept;
  bool is_active() const noexcept;  // false for a state number out of range

  std::uint32_t current_state() const noexcept { return current_state_; }

 private:
  halvo_compiler::ir::StateMachine machine_;
  std::uint64_t started_at_;
  std::uint32_t current_state_;
};

}  // namespace halvo_runtime::engine
