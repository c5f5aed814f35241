// PolicyEngine: owns one compiled policy and answers, per event, what the
// verdict is.
//
// evaluate() runs three phases in order: the rate phase (rate_limiter.h),
// the rules phase, and the state machine phase (state_machine_instance.h).
// Construction compiles every expression of the policy (conditions, verdict
// messages, action arguments, transition guards) into an EvaluationPlan and
// indexes the rules by event type (RuleIndex), so evaluate() visits only the
// rules that apply and evaluates without walking the trees.
// evaluate_reference() gives the same results through the tree evaluator;
// it is the reference the plan is tested against. Both run one pipeline,
// a template over how expressions are evaluated and over who listens: the
// listened form of evaluate_reference() reports each step of it to an
// EvaluationListener (evaluation_listener.h), as explanations do, while
// evaluate() runs it with an empty listener that costs nothing.
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

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "halvo/hash_map.h"
#include "halvo/small_string.h"
#include "halvo_compiler/ir/policy.h"
#include "halvo_runtime/engine_state.h"
#include "halvo_runtime/engine_status.h"
#include "halvo_runtime/evaluation_listener.h"
#include "halvo_runtime/evaluation_plan.h"
#include "halvo_runtime/event.h"
#include "halvo_runtime/event_field_use.h"
#include "halvo_runtime/policy_result.h"
#include "halvo_runtime/rate_limiter.h"
#include "halvo_runtime/rule_index.h"
#include "halvo_runtime/state_machine_instance.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::engine {

class PolicyEngine {
 public:
  // Takes the policy over for good. Nothing in it is validated.
  explicit PolicyEngine(halvo_compiler::ir::CompiledPolicy policy);
  // The plan refers into the engine's own policy.
  PolicyEngine(const PolicyEngine&) = delete;
  PolicyEngine& operator=(const PolicyEngine&) = delete;

  // Evaluates one event and updates the engine's state.
  PolicyResult evaluate(const event::Event& event);
  // The same, into `result`, which is cleared first and whose storage is
  // reused.
  void evaluate(const event::Event& event, PolicyResult& result);
  // The same without reading the clock: the result's eval_time_us is 0.
  // For a caller that counts results and never reports their time (the
  // summary of a replay), to which two clock readings an event are a
  // measurable share of the cost.
  void evaluate_untimed(const event::Event& event, PolicyResult& result);

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

  // Replaces the runtime state. Precondition: `state` fits this policy (one
  // position per machine, one window per limiter with its target, in order),
  // as read_snapshot checks.
  void set_state(EngineState state) noexcept;

  // Evaluates one event exactly like evaluate(), but every expression
  // through the tree evaluator and every rule's event filter one by one.
  PolicyResult evaluate_reference(const event::Event& event);
  // The same, reporting each step to `listener` with the value of every
  // condition and guard it tests.
  PolicyResult evaluate_reference(const event::Event& event,
                                  EvaluationListener& listener);

  // Heap bytes of the compiled plan, the rule index and the per-rule steps.
  std::size_t plan_memory_bytes() const noexcept;

  std::uint64_t event_count() const noexcept { return event_count_; }
  // policy_fingerprint(policy()) (snapshot.h), computed on the first call
  // and kept: the policy never changes, and hashing its canonical text on
  // every snapshot would cost many evaluations. Only memory exhaustion
  // throws.
  std::uint64_t policy_fingerprint() const;
  const halvo_compiler::ir::CompiledPolicy& policy() const noexcept {
    return policy_;
  }
  // The event fields the policy reads, with the slot numbers of its plan:
  // an event whose slots this use bound has them read by slot. Never
  // changes after construction, so it may be read without serialising.
  const event::EventFieldUse& field_use() const noexcept { return field_use_; }
  // Read access for snapshots and explanations.
  const std::vector<StateMachineInstance>& instances() const noexcept {
    return instances_;
  }
  const halvo::HashMap<RateLimiter>& rate_limiters() const noexcept {
    return rate_limiters_;
  }
  const event::ValueMap& context() const noexcept { return context_; }
  const event::ValueMap& config() const noexcept { return config_; }

 private:
  // Where the plan keeps a rule's expressions: its condition (kNoExpr when
  // it has none), and the first of its entries in roots_ (one per verdict
  // message, then one per action argument, in the rule's order).
  struct RuleSteps {
    eval::ExprId condition;
    std::uint32_t first_root;
    std::uint32_t first_action;  // in action_steps_
  };
  // What an action's result starts from: its verb's name, and whether its
  // argument names are distinct.
  struct ActionSteps {
    halvo::SmallString verb;
    bool distinct_names;
  };
  static constexpr eval::ExprId kNoExpr = 0xFFFFFFFFu;

  void compile_plan();
  template <class Runner, class Listener>
  // `timed`: whether the result's eval_time_us is measured (else 0).
  void run(const event::Event& event, PolicyResult& result, Listener& listener,
           bool timed = true);
  template <class Runner, class Listener>
  void run_rule(const Runner& runner, Listener& listener,
                std::uint32_t position, PolicyResult& result) const;

  halvo_compiler::ir::CompiledPolicy policy_;
  event::EventFieldUse field_use_;
  eval::EvaluationPlan plan_;
  RuleIndex rule_index_;
  std::vector<RuleSteps> rule_steps_;
  std::vector<ActionSteps> action_steps_;  // every rule's, in order
  // Root ids of the compiled expressions: the rules' (see RuleSteps), then
  // one per transition of each machine (kNoExpr for Timeout and Always).
  std::vector<eval::ExprId> roots_;
  std::vector<std::uint32_t> machine_first_root_;
  // Per transition of each machine, in the same order as their roots: the
  // event type its guard requires (guard_event_type.h), borrowed from the
  // policy, or nullptr.
  std::vector<const halvo::SmallString*> guard_types_;
  // Per machine: whether every guard requires an event type and there is no
  // deadline, so that an event of another type cannot move it.
  std::vector<std::uint8_t> typed_machines_;
  bool may_move(std::size_t machine,
                std::string_view event_type) const noexcept;
  std::vector<StateMachineInstance> instances_;
  halvo::HashMap<RateLimiter> rate_limiters_;
  event::ValueMap context_;
  event::ValueMap config_;
  std::uint64_t event_count_ = 0;
  // Filled by the first policy_fingerprint(); callers serialise every
  // operation, so the lazy fill needs no lock of its own.
  mutable std::optional<std::uint64_t> fingerprint_;
};

}  // namespace halvo_runtime::engine
