#include "halvo_runtime/policy_engine.h"

#include <type_traits>
#include <utility>

#include "engine_messages.h"
#include "expr_runner.h"
#include "halvo_runtime/clock.h"
#include "halvo_runtime/eval_scope.h"
#include "halvo_runtime/snapshot.h"

#ifdef CORVANTH_PLAN_ORACLE
#include <cstdio>
#include <cstdlib>
#endif

namespace halvo_runtime::engine {
namespace {

using halvo_compiler::ast::nodes::variant_name;
using halvo_compiler::ir::CompiledRule;
using halvo_compiler::ir::IRAction;

// A taken Deny always wins; any other candidate only replaces Allow.
bool takes(Verdict current, Verdict candidate) {
  return current == Verdict::Allow || candidate == Verdict::Deny;
}

// The guards of one machine, answered by `runner` with the plan ids of
// that machine's transitions.
template <class Runner>
class RunnerGuards final : public GuardTest {
 public:
  RunnerGuards(const Runner& runner, const eval::ExprId* ids) noexcept
      : runner_(runner), ids_(ids) {}
  bool truthy(std::size_t transition,
              const halvo_compiler::ir::IRExpr& expr) const override {
    return runner_.test(expr, ids_[transition]);
  }

 private:
  const Runner& runner_;
  const eval::ExprId* ids_;
};

#ifdef CORVANTH_PLAN_ORACLE
// The rules the index gives must be those the filter takes one by one.
void check_rule_index(std::span<const std::uint32_t> positions,
                      const std::vector<CompiledRule>& rules,
                      std::string_view event_type) {
  std::size_t next = 0;
  for (std::uint32_t position = 0; position < rules.size(); ++position) {
    if (!RuleIndex::applies(rules[position], event_type)) continue;
    if (next == positions.size() || positions[next] != position) {
      std::fprintf(stderr, "rule index disagrees with the event filter\n");
      std::abort();
    }
    ++next;
  }
  if (next != positions.size()) {
    std::fprintf(stderr, "rule index lists a rule the filter rejects\n");
    std::abort();
  }
}
#endif

}  // namespace

PolicyEngine::PolicyEngine(halvo_compiler::ir::CompiledPolicy policy)
    : policy_(std::move(policy)), rule_index_(policy_.rules) {
  const std::uint64_t now = wall_clock_millis();
  instances_.reserve(policy_.state_machines.size());
  for (const auto& machine : policy_.state_machines) {
    instances_.emplace_back(machine, now);
  }
  // insert_or_assign lets a later constraint on a target replace an earlier.
  for (const auto& constraint : policy_.constraints) {
    rate_limiters_.insert_or_assign(constraint.target, RateLimiter(constraint));
  }
  compile_plan();
}

void PolicyEngine::compile_plan() {
  rule_steps_.reserve(policy_.rules.size());
  for (const CompiledRule& rule : policy_.rules) {
    const eval::ExprId condition =
        rule.condition ? plan_.compile(*rule.condition) : kNoExpr;
    rule_steps_.push_back(
        {condition, static_cast<std::uint32_t>(roots_.size())});
    for (const auto& candidate : rule.verdicts) {
      if (candidate.message) {
        roots_.push_back(plan_.compile(*candidate.message));
      }
    }
    for (const IRAction& action : rule.actions) {
      for (const auto& arg : action.args) {
        roots_.push_back(plan_.compile(arg.second));
      }
    }
  }
  machine_first_root_.reserve(policy_.state_machines.size());
  for (const auto& machine : policy_.state_machines) {
    machine_first_root_.push_back(static_cast<std::uint32_t>(roots_.size()));
    for (const auto& transition : machine.transitions) {
      const halvo_compiler::ir::IRExpr* expr = std::visit(
          [](const auto& guard) -> const halvo_compiler::ir::IRExpr* {
            if constexpr (requires { guard.expr; }) {
              return &guard.expr;
            } else {
              return nullptr;
            }
          },
          transition.guard.guard);
      roots_.push_back(expr ? plan_.compile(*expr) : kNoExpr);
    }
  }
  roots_.shrink_to_fit();
}

template <class Runner>
void PolicyEngine::run_rule(const Runner& runner, std::uint32_t position,
                            PolicyResult& result) const {
  const CompiledRule& rule = policy_.rules[position];
  const RuleSteps& steps = rule_steps_[position];
  if (rule.condition && !runner.test(*rule.condition, steps.condition)) {
    return;
  }
  result.triggered_rules.push_back(rule.id);
  const eval::ExprId* root = roots_.data() + steps.first_root;
  for (const auto& candidate : rule.verdicts) {
    // Messages are evaluated whether or not their verdict is taken, so what
    // a rule costs does not depend on how earlier rules decided. Only the
    // text of a String is kept, so a referenced value is borrowed, not
    // copied.
    event::Value storage;
    const event::Value* message =
        candidate.message
            ? &runner.operand(*candidate.message, *root++, storage)
            : nullptr;
    if (!takes(result.verdict, candidate.verdict)) continue;
    result.verdict = candidate.verdict;
    if (message == nullptr) continue;
    const halvo::SmallString* text = message->as_str();
    result.reason = text != nullptr ? *text : halvo::SmallString();
  }
  if (result.actions.empty()) result.actions.reserve(rule.actions.size());
  for (std::uint32_t i = 0; i < rule.actions.size(); ++i) {
    const IRAction& action = rule.actions[i];
    ActionResult out{
        halvo::SmallString(variant_name(action.verb)), {}, position, i};
    out.args.reserve(action.args.size());
    for (const auto& [name, expr] : action.args) {
      out.args.insert_or_assign(name, runner.value(expr, *root++));
    }
    result.actions.push_back(std::move(out));
  }
}

template <class Runner>
void PolicyEngine::run(const event::Event& event, PolicyResult& result) {
  const Stopwatch stopwatch;
  ++event_count_;
  result.clear();

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
  const std::string_view event_type = event.event_type().view();
  const Runner runner(plan_, scope);
  if constexpr (std::is_same_v<Runner, eval::PlanRunner>) {
    const auto positions = rule_index_.rules_for(event_type);
#ifdef CORVANTH_PLAN_ORACLE
    check_rule_index(positions, policy_.rules, event_type);
#endif
    for (const std::uint32_t position : positions) {
      run_rule(runner, position, result);
    }
  } else {
    for (std::uint32_t position = 0; position < policy_.rules.size();
         ++position) {
      if (RuleIndex::applies(policy_.rules[position], event_type)) {
        run_rule(runner, position, result);
      }
    }
  }
  for (std::size_t i = 0; i < instances_.size(); ++i) {
    const RunnerGuards guards(runner, roots_.data() + machine_first_root_[i]);
    instances_[i].step(scope, guards, result);
  }

  result.eval_time_us = stopwatch.elapsed_micros();
}

PolicyResult PolicyEngine::evaluate(const event::Event& event) {
  PolicyResult result;
  run<eval::PlanRunner>(event, result);
  return result;
}

void PolicyEngine::evaluate(const event::Event& event, PolicyResult& result) {
  run<eval::PlanRunner>(event, result);
}

PolicyResult PolicyEngine::evaluate_reference(const event::Event& event) {
  PolicyResult result;
  run<eval::TreeRunner>(event, result);
  return result;
}

std::size_t PolicyEngine::plan_memory_bytes() const noexcept {
  return plan_.memory_bytes() + rule_index_.memory_bytes() +
         rule_steps_.capacity() * sizeof(RuleSteps) +
         roots_.capacity() * sizeof(eval::ExprId) +
         machine_first_root_.capacity() * sizeof(std::uint32_t);
}

std::uint64_t PolicyEngine::policy_fingerprint() const {
  if (!fingerprint_) fingerprint_ = engine::policy_fingerprint(policy_);
  return *fingerprint_;
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

void PolicyEngine::set_state(EngineState state) noexcept {
  event_count_ = state.event_count;
  for (std::size_t i = 0; i < instances_.size(); ++i) {
    instances_[i].restore(state.machines[i].current_state,
                          state.machines[i].started_at);
  }
  std::size_t index = 0;
  for (auto& entry : rate_limiters_) {
    entry.value.restore(std::move(state.limiters[index++].timestamps));
  }
  context_ = std::move(state.context);
  config_ = std::move(state.config);
}

void PolicyEngine::set_config(halvo::SmallString key, event::Value value) {
  config_.insert_or_assign(std::move(key), std::move(value));
}

void PolicyEngine::set_context(halvo::SmallString key, event::Value value) {
  context_.insert_or_assign(std::move(key), std::move(value));
}

}  // namespace halvo_runtime::engine
