// PolicyEngine: owns one compiled policy and answers, per event, what the
// verdict is.
//
// evaluate() runs three phases in order: the rate phase (rate_limiter.h),
// the rules phase, and the state machine phase (state_machine_instance.h).
// The engine keeps state between calls: machine positions, rate windows,
// the context and configuration maps, and the event count. Nothing here
// fails; only memory exhaustion throws. The engine is not thread-safe: the
// caller serialises every operation (the Python binding holds a lock).
//
//   PolicyEngine engine(std::move(policy));
//   Event event(SmallString("tool_call"));
//   PolicyResult result = engine.evaluate(event);
//   std::string summary = engine.status().text();
#pragma once

#include <cstdint>
#include <vector>

#include "halvo/hash_map.h"
#include "halvo/small_string.h"
#include "halvo_compiler/ir/policy.h"
#include "halvo_runtime/engine_status.h"
#include "halvo_runtime/event.h"
#include "halvo_runtime/policy_result.h"
#include "halvo_runtime/rate_limiter.h"
#include "halvo_runtime/state_machine_instance.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::engine {

class PolicyEngine {
 public:
  // Takes the policy over for good. Nothing in it is validated.
  explicit PolicyEngine(halvo_compiler::ir::CompiledPolicy policy);

  // Evaluates one event and updates the engine's state.
  PolicyResult evaluate(const event::Event& event);

  // Back to the state after construction, with a fresh start time for the
  // state machines; context and configuration are kept.
  void reset();
  // reset() with `started_at` (milliseconds since the epoch) as the state
  // machines' start time instead of the wall clock.
  void reset_at(std::uint64_t started_at);

  EngineStatus status() const;

  // Stores `value` under `key`, replacing an earlier value.
  void set_config(halvo::SmallString key, event::Value value);
  void set_context(halvo::SmallString key, event::Value value);

  std::uint64_t event_count() const noexcept { return event_count_; }
  const halvo_compiler::ir::CompiledPolicy& policy() const noexcept {
    return policy_;
  }

 private:
  halvo_compiler::ir::CompiledPolicy policy_;
  std::vector<StateMachineInstance> instances_;
  halvo::HashMap<RateLimiter> rate_limiters_;
  event::ValueMap context_;
  event::ValueMap config_;
  std::uint64_t event_count_ = 0;
};

}  // namespace halvo_runtime::engine
