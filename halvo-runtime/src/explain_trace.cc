#include "halvo_runtime/explain_trace.h"

#include <utility>
#include <variant>

#include "halvo_runtime/engine_state.h"
#include "halvo_runtime/evaluation_listener.h"
#include "halvo_runtime/rule_index.h"

namespace halvo_runtime::engine {
namespace {

using halvo_compiler::ir::CompiledRule;
using halvo_compiler::ir::Transition;

// Builds the trace from what the pipeline reports. Rules are reported only
// when the event filter applies to them; the others are filled in, in
// policy order, as the reported ones pass them and by finish().
class TraceRecorder final : public EvaluationListener {
 public:
  TraceRecorder(const std::vector<CompiledRule>& rules, std::uint64_t now,
                ExplainTrace& out) noexcept
      : rules_(rules), now_(now), out_(out) {}

  void limiter(const RateLimiter& limiter, bool exceeded) override {
    out_.limiter = LimiterTrace{limiter.target(),        limiter.kind(),
                                limiter.window_size(),   limiter.limit(),
                                limiter.window_millis(), exceeded};
  }

  void rule(std::uint32_t position, const event::Value* condition,
            bool matched) override {
    skip_to(position);
    RuleTrace& trace = add(position, true);
    if (condition != nullptr) trace.condition = *condition;
    trace.matched = matched;
  }

  void verdict(Verdict candidate, const event::Value* message, Verdict before,
               bool taken) override {
    VerdictTrace v{candidate, std::nullopt, before, taken};
    if (message != nullptr) {
      const halvo::SmallString* text = message->as_str();
      v.message = text != nullptr ? *text : halvo::SmallString();
    }
    out_.rules.back().verdicts.push_back(std::move(v));
  }

  void actions(std::uint32_t first, std::uint32_t count) override {
    out_.rules.back().first_action = first;
    out_.rules.back().action_count = count;
    actions_ = first + count;
  }

  void machine(const StateMachineInstance& instance) override {
    const std::uint32_t state = instance.current_state();
    const bool active = instance.is_active();
    out_.machines.push_back({instance.machine().name,
                             state,
                             active,
                             active && instance.deadline_reached(now_),
                             {},
                             std::nullopt,
                             state});
    transitions_ = &instance.machine().transitions;
  }

  void guard(std::size_t transition, const event::Value* value,
             bool allows) override {
    out_.machines.back().guards.push_back(
        {static_cast<std::uint32_t>(transition), (*transitions_)[transition].to,
         value != nullptr ? *value : event::Value(), allows});
  }

  void stepped(const StateMachineInstance& instance,
               const Transition* taken) override {
    MachineTrace& trace = out_.machines.back();
    if (taken != nullptr) {
      trace.taken = static_cast<std::uint32_t>(
          taken - instance.machine().transitions.data());
    }
    trace.state_after = instance.current_state();
  }

  // Fills in the rules after the last one reported.
  void finish() { skip_to(static_cast<std::uint32_t>(rules_.size())); }

 private:
  RuleTrace& add(std::uint32_t position, bool applies) {
    const CompiledRule& rule = rules_[position];
    out_.rules.push_back({position,
                          rule.id,
                          applies,
                          rule.condition.has_value(),
                          event::Value(),
                          false,
                          {},
                          actions_,
                          0});
    return out_.rules.back();
  }

  void skip_to(std::uint32_t position) {
    for (auto next = static_cast<std::uint32_t>(out_.rules.size());
         next < position; ++next) {
      add(next, false);
    }
  }

  const std::vector<CompiledRule>& rules_;
  std::uint64_t now_;
  ExplainTrace& out_;
  std::uint32_t actions_ = 0;
  const std::vector<Transition>* transitions_ = nullptr;
};

// The runtime state that an evaluation changes: counts, windows, positions.
EngineState saved_state(const PolicyEngine& engine) {
  EngineState state;
  state.event_count = engine.event_count();
  for (const StateMachineInstance& instance : engine.instances()) {
    state.machines.push_back({instance.current_state(), instance.started_at()});
  }
  for (const auto& entry : engine.rate_limiters()) {
    const auto window = entry.value.window();
    state.limiters.push_back({entry.key, {window.begin(), window.end()}});
  }
  state.context = engine.context();
  state.config = engine.config();
  return state;
}

}  // namespace

Explanation explain(PolicyEngine& engine, const event::Event& event) {
  Explanation out;
  EngineState before = saved_state(engine);
  TraceRecorder recorder(engine.policy().rules, event.timestamp(), out.trace);
  out.result = engine.evaluate_reference(event, recorder);
  recorder.finish();
  engine.set_state(std::move(before));
  return out;
}

}  // namespace halvo_runtime::engine
