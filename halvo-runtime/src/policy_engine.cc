#include "halvo_runtime/policy_engine.h"

#include <utility>

#include "halvo_runtime/clock.h"
#include "halvo_runtime/engine_messages.h"
#include "halvo_runtime/eval_scope.h"
#include "halvo_runtime/evaluator.h"
#include "operand.h"

namespace halvo_runtime::engine {
namespace {

using halvo_compiler::ast::nodes::variant_name;
using halvo_compiler::ir::CompiledRule;
using halvo_compiler::ir::IRAction;

bool applies_to(const CompiledRule& rule, std::string_view event_type) {
  if (rule.on_events.empty()) return true;
  for (const halvo::SmallString& accepted : rule.on_events) {
    if (accepted == event_type) return true;
  }
  return false;
}

// A taken Deny always wins; any other candidate only replaces Allow.
bool takes(Verdict current, Verdict candidate) {
  return current == Verdict::Allow || candidate == Verdict::Deny;
}

void apply_verdicts(const CompiledRule& rule, const eval::EvalScope& scope,
                    PolicyResult& result) {
  for (const auto& candidate : rule.verdicts) {
    // Messages are evaluated whether or not their verdict is taken, so what
    // a rule costs does not depend on how earlier rules decided. Only the
    // text of a String is kept, so a referenced value is borrowed, not
    // copied.
    event::Value storage;
    const event::Value* message =
        candidate.message
            ? &eval::eval_operand(*candidate.message, scope, storage)
            : nullptr;
    if (!takes(result.verdict, candidate.verdict)) continue;
    result.verdict = candidate.verdict;
    if (message == nullptr) continue;
    const halvo::SmallString* text = message->as_str();
    result.reason = text != nullptr ? *text : halvo::SmallString();
  }
}

ActionResult run_action(const IRAction& action, const eval::EvalScope& scope,
                        std::uint32_t rule, std::uint32_t position) {
  ActionResult out{halvo::SmallString(variant_name(action.verb)), {}, rule,
                   position};
  out.args.reserve(action.args.size());
  for (const auto& [name, expr] : action.args) {
    out.args.insert_or_assign(name, eval::eval(expr, scope));
  }
  return out;
}

}  // namespace

PolicyEngine::PolicyEngine(halvo_compiler::ir::CompiledPolicy policy)
    : policy_(std::move(policy)) {
  const std::uint64_t now = wall_clock_millis();
  instances_.reserve(policy_.state_machines.size());
  for (const auto& machine : policy_.state_machines) {
    instances_.emplace_back(machine, now);
  }
  // insert_or_assign lets a later constraint on a target replace an earlier.
  for (const auto& constraint : policy_.constraints) {
    rate_limiters_.insert_or_assign(constraint.target, RateLimiter(constraint));
  }
}

PolicyResult PolicyEngine::evaluate(const event::Event& event) {
  const Stopwatch stopwatch;
  ++event_count_;
  PolicyResult result;

  if (RateLimiter* limiter = rate_limiters_.find(event.event_type().view())) {
    if (auto exceeded = limiter->record(event.timestamp())) {
      result.reason =
          constraint_exceeded_reason(exceeded->kind, exceeded->current,
                                     exceeded->window_ms, exceeded->limit);
      result.constraint_violations.push_back(std::move(*exceeded));
      result.verdict = Verdict::Deny;
    }
  }

  const eval::EvalScope scope{event, context_, config_};
  for (const CompiledRule& rule : policy_.rules) {
    if (!applies_to(rule, event.event_type().view())) continue;
    if (rule.condition && !eval::eval_truthy(*rule.condition, scope)) continue;
    result.triggered_rules.push_back(rule.id);
    apply_verdicts(rule, scope, result);
    if (result.actions.empty()) result.actions.reserve(rule.actions.size());
    const auto position = static_cast<std::uint32_t>(&rule - policy_.rules.data());
    for (std::uint32_t i = 0; i < rule.actions.size(); ++i) {
      result.actions.push_back(run_action(rule.actions[i], scope, position, i));
    }
  }

  for (StateMachineInstance& instance : instances_) {
    instance.step(scope, result);
  }

  result.eval_time_us = stopwatch.elapsed_micros();
  return result;
}

void PolicyEngine::reset() { reset_at(wall_clock_millis()); }

void PolicyEngine::reset_at(std::uint64_t started_at) {
  for (StateMachineInstance& instance : instances_) instance.reset(started_at);
  for (auto& entry : rate_limiters_) entry.value.clear();
  event_count_ = 0;
}

EngineStatus PolicyEngine::status() const {
  EngineStatus status;
  status.policy_name = policy_.name;
  status.severity = policy_.severity;
  status.rule_count = policy_.rules.size();
  status.machine_count = instances_.size();
  for (const StateMachineInstance& instance : instances_) {
    status.active_count += instance.is_active() ? 1 : 0;
    status.satisfied_count += instance.is_satisfied() ? 1 : 0;
    status.violated_count += instance.is_violated() ? 1 : 0;
  }
  status.constraint_count = rate_limiters_.size();
  status.event_count = event_count_;
  return status;
}

void PolicyEngine::set_config(halvo::SmallString key, event::Value value) {
  config_.insert_or_assign(std::move(key), std::move(value));
}

void PolicyEngine::set_context(halvo::SmallString key, event::Value value) {
  context_.insert_or_assign(std::move(key), std::move(value));
}

}  // namespace halvo_runtime::engine
