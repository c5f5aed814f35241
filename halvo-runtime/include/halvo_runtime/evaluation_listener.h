// EvaluationListener: what the engine's one evaluation pipeline reports, step
// by step, to whoever watches it.
//
// PolicyEngine::evaluate_reference(event, listener) runs the pipeline of
// evaluate_reference(event) and calls these hooks in the pipeline's order:
// limiter() after the rate phase records the event, rule() for each rule
// the event filter applies to (in policy order; rules it skips are not
// reported), verdict() and actions() for each matched rule, then machine(),
// guard() for each Predicate or NegatedPredicate guard tried, and stepped()
// for each machine. The fast path (evaluate) runs the same pipeline with a
// listener type whose hooks are empty and inline, so watching costs only
// the watcher. Values passed by pointer live only during the call.
//
//   class Printer final : public EvaluationListener {
//     void rule(std::uint32_t position, const event::Value*, bool matched)
//         override { ... }
//   };
//   Printer printer;
//   PolicyResult result = engine.evaluate_reference(event, printer);
#pragma once

#include <cstddef>
#include <cstdint>

#include "halvo_compiler/ir/policy.h"
#include "halvo_runtime/policy_result.h"
#include "halvo_runtime/rate_limiter.h"
#include "halvo_runtime/state_machine_instance.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::engine {

class EvaluationListener {
 public:
  // The limiter of the event's type, with this event recorded in its window.
  virtual void limiter(const RateLimiter& limiter, bool exceeded) = 0;
  // An applying rule: its condition's value (nullptr when it has none or
  // the runner does not keep it), and whether it matched.
  virtual void rule(std::uint32_t position, const event::Value* condition,
                    bool matched) = 0;
  // A verdict candidate of the matched rule: its message's value (nullptr
  // when it has none), the verdict it met, and whether it was taken.
  virtual void verdict(Verdict candidate, const event::Value* message,
                       Verdict before, bool taken) = 0;
  // The matched rule's actions are result.actions[first, first + count).
  virtual void actions(std::uint32_t first, std::uint32_t count) = 0;
  // A machine about to step, in its state before the event.
  virtual void machine(const StateMachineInstance& instance) = 0;
  // A guard the search tried: its expression's value (nullptr when the
  // runner does not keep it), and whether it lets the transition at
  // `transition` be taken.
  virtual void guard(std::size_t transition, const event::Value* value,
                     bool allows) = 0;
  // The machine after its step; `taken` is nullptr when it took none.
  virtual void stepped(const StateMachineInstance& instance,
                       const halvo_compiler::ir::Transition* taken) = 0;

 protected:
  ~EvaluationListener() = default;
};

}  // namespace halvo_runtime::engine
