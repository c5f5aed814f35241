#include "halvo_runtime/explain_trace.h"

#include <type_traits>
#include <utility>
#include <variant>

#include "halvo_runtime/engine_state.h"
#include "halvo_runtime/eval_scope.h"
#include "halvo_runtime/evaluator.h"
#include "halvo_runtime/rule_index.h"

namespace halvo_runtime::engine {
namespace {

using halvo_compiler::ir::NegatedPredicateGuard;
using halvo_compiler::ir::StateKind;
using halvo_compiler::ir::Transition;

// Answers guards through the tree evaluator and keeps what each gave.
class RecordingGuards final : public GuardTest {
 public:
  RecordingGuards(const eval::EvalScope& scope,
                  const std::vector<Transition>& transitions,
                  std::vector<GuardTrace>& out) noexcept
      : scope_(scope), transitions_(transitions), out_(out) {}

  bool truthy(std::size_t transition,
              const halvo_compiler::ir::IRExpr& expr) const override {
    event::Value value = eval::eval(expr, scope_);
    const bool truthy = value.is_truthy();
    const Transition& t = transitions_[transition];
    const bool negated =
        std::holds_alternative<NegatedPredicateGuard>(t.guard.guard);
    out_.push_back({static_cast<std::uint32_t>(transition), t.to,
                    std::move(value), negated ? !truthy : truthy});
    return truthy;
  }

 private:
  const eval::EvalScope& scope_;
  const std::vector<Transition>& transitions_;
  std::vector<GuardTrace>& out_;
};

// The verdict rule of the pipeline: a Deny is always taken, any other
// candidate only over Allow.
bool takes(Verdict current, Verdict candidate) {
  return current == Verdict::Allow || candidate == Verdict::Deny;
}

MachineTrace trace_machine(const StateMachineInstance& instance,
                           const eval::EvalScope& scope) {
  const auto& machine = instance.machine();
  MachineTrace out{
      machine.name, instance.current_state(), instance.is_active(), false, {},
      std::nullopt, instance.current_state()};
  if (!out.active) return out;
  if (machine.deadline_millis) {
    const std::uint64_t now = scope.event.timestamp();
    const std::uint64_t start = instance.started_at();
    out.deadline_reached =
        (now > start ? now - start : 0) >= *machine.deadline_millis;
  }
  const RecordingGuards guards(scope, machine.transitions, out.guards);
  if (const Transition* taken = instance.choose(scope, guards)) {
    out.taken = static_cast<std::uint32_t>(taken - machine.transitions.data());
    out.state_after = taken->to;
  }
  return out;
}

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
  const eval::EvalScope scope{event, engine.context(), engine.config()};
  const std::string_view type = event.event_type().view();

  if (const RateLimiter* limiter = engine.rate_limiters().find(type)) {
    const std::uint64_t t = event.timestamp();
    const std::uint64_t cutoff =
        t > limiter->window_millis() ? t - limiter->window_millis() : 0;
    std::uint64_t count = 1;
    for (const std::uint64_t stamp : limiter->window()) {
      count += stamp >= cutoff ? 1 : 0;
    }
    out.trace.limiter = LimiterTrace{
        limiter->target(), limiter->kind(),          count,
        limiter->limit(),  limiter->window_millis(), count > limiter->limit()};
  }

  Verdict verdict = out.trace.limiter && out.trace.limiter->exceeded
                        ? Verdict::Deny
                        : Verdict::Allow;
  std::uint32_t actions = 0;
  const auto& rules = engine.policy().rules;
  for (std::uint32_t position = 0; position < rules.size(); ++position) {
    const auto& rule = rules[position];
    RuleTrace trace{position,
                    rule.id,
                    RuleIndex::applies(rule, type),
                    rule.condition.has_value(),
                    event::Value(),
                    false,
                    {},
                    actions,
                    0};
    if (trace.applies && rule.condition) {
      trace.condition = eval::eval(*rule.condition, scope);
    }
    trace.matched =
        trace.applies && (!rule.condition || trace.condition.is_truthy());
    if (trace.matched) {
      for (const auto& candidate : rule.verdicts) {
        VerdictTrace v{candidate.verdict, std::nullopt, verdict,
                       takes(verdict, candidate.verdict)};
        if (candidate.message) {
          const event::Value message = eval::eval(*candidate.message, scope);
          const halvo::SmallString* text = message.as_str();
          v.message = text != nullptr ? *text : halvo::SmallString();
        }
        if (v.taken) verdict = candidate.verdict;
        trace.verdicts.push_back(std::move(v));
      }
      trace.action_count = static_cast<std::uint32_t>(rule.actions.size());
      actions += trace.action_count;
    }
    out.trace.rules.push_back(std::move(trace));
  }

  for (const StateMachineInstance& instance : engine.instances()) {
    out.trace.machines.push_back(trace_machine(instance, scope));
  }

  EngineState before = saved_state(engine);
  out.result = engine.evaluate_reference(event);
  engine.set_state(std::move(before));
  return out;
}

}  // namespace halvo_runtime::engine
