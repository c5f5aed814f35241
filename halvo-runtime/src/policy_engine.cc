#include "halvo_runtime/policy_engine.h"

#include <type_traits>
#include <utility>
#include <variant>

#include "engine_messages.h"
#include "expr_runner.h"
#include "guard_event_type.h"
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

// The verdict rule of the pipeline, and so of explanations: a taken Deny
// always wins; any other candidate only replaces Allow.
bool takes(Verdict current, Verdict candidate) {
  return current == Verdict::Allow || candidate == Verdict::Deny;
}

// Whether no two arguments of `action` share a name, so that its argument
// map is filled without a search (a later argument of a repeated name
// replaces the earlier one).
bool distinct_names(const IRAction& action) {
  halvo::HashMap<bool> seen;
  for (const auto& arg : action.args) {
    if (seen.contains(arg.first.view())) return false;
    seen.insert_or_assign(arg.first, true);
  }
  return true;
}

// The listener of evaluate(): every hook empty and inline, so the fast path
// compiles to the pipeline alone.
struct NoListener {
  void limiter(const RateLimiter&, bool) noexcept {}
  void rule(std::uint32_t, const event::Value*, bool) noexcept {}
  void verdict(Verdict, const event::Value*, Verdict, bool) noexcept {}
  void actions(std::uint32_t, std::uint32_t) noexcept {}
  void machine(const StateMachineInstance&) noexcept {}
  void guard(std::size_t, const event::Value*, bool) noexcept {}
  void stepped(const StateMachineInstance&,
               const halvo_compiler::ir::Transition*) noexcept {}
};

// The guards of one machine, answered by `runner` with the plan ids of
// that machine's transitions, each answer reported to `listener`.
template <class Runner, class Listener>
class RunnerGuards final : public GuardTest {
 public:
  RunnerGuards(const Runner& runner, Listener& listener,
               const eval::ExprId* ids) noexcept
      : runner_(runner), listener_(listener), ids_(ids) {}
  bool allows(std::size_t transition, const halvo_compiler::ir::IRExpr& expr,
              bool negated) const override {
    const bool allows = runner_.test(expr, ids_[transition]) != negated;
    listener_.guard(transition, runner_.tested(), allows);
    return allows;
  }

 private:
  const Runner& runner_;
  Listener& listener_;
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

// A machine passed over must be one that the tree evaluator would not move.
void check_stands_still(const StateMachineInstance& instance,
                        const eval::EvalScope& scope) {
  struct TreeGuards final : GuardTest {
    explicit TreeGuards(const eval::EvalScope& scope) : scope_(scope) {}
    bool allows(std::size_t, const halvo_compiler::ir::IRExpr& expr,
                bool negated) const override {
      return eval::eval_truthy(expr, scope_) != negated;
    }
    const eval::EvalScope& scope_;
  };
  if (instance.choose(scope, TreeGuards(scope)) != nullptr) {
    std::fprintf(stderr, "a machine passed over would have moved\n");
    std::abort();
  }
}
#endif

}  // namespace

PolicyEngine::PolicyEngine(halvo_compiler::ir::CompiledPolicy policy)
    : policy_(std::move(policy)),
      field_use_(event::EventFieldUse::of(policy_)),
      rule_index_(policy_.rules) {
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
  plan_.use_field_slots(&field_use_);
  rule_steps_.reserve(policy_.rules.size());
  for (const CompiledRule& rule : policy_.rules) {
    const eval::ExprId condition =
        rule.condition ? plan_.compile(*rule.condition) : kNoExpr;
    rule_steps_.push_back({condition, static_cast<std::uint32_t>(roots_.size()),
                           static_cast<std::uint32_t>(action_steps_.size())});
    for (const IRAction& action : rule.actions) {
      action_steps_.push_back({halvo::SmallString(variant_name(action.verb)),
                               distinct_names(action)});
    }
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
    bool typed = !machine.deadline_millis.has_value();
    for (const auto& transition : machine.transitions) {
      const auto* guard = std::get_if<halvo_compiler::ir::PredicateGuard>(
          &transition.guard.guard);
      const halvo::SmallString* type =
          guard != nullptr ? required_event_type(guard->expr) : nullptr;
      guard_types_.push_back(type);
      // Without a deadline a Timeout guard is never taken.
      typed =
          typed && (type != nullptr ||
                    std::holds_alternative<halvo_compiler::ir::TimeoutGuard>(
                        transition.guard.guard));
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
    typed_machines_.push_back(typed ? 1 : 0);
  }
  roots_.shrink_to_fit();
}

// Whether stepping the machine could change anything for an event of
// `event_type`. Passing over a machine that could not is the same as
// stepping it: an active machine whose guards all fail stands still and
// reports nothing. A machine that is not active is always stepped (a
// violated one reports on every event).
bool PolicyEngine::may_move(std::size_t machine,
                            std::string_view event_type) const noexcept {
  if (typed_machines_[machine] == 0) return true;
  const StateMachineInstance& instance = instances_[machine];
  if (!instance.is_active()) return true;
  const auto& transitions = policy_.state_machines[machine].transitions;
  const std::uint32_t state = instance.current_state();
  const halvo::SmallString* const* types =
      guard_types_.data() +
      (machine_first_root_[machine] - machine_first_root_.front());
  for (std::size_t i = 0; i < transitions.size(); ++i) {
    if (transitions[i].from == state && types[i] != nullptr &&
        types[i]->view() == event_type) {
      return true;
    }
  }
  return false;
}

template <class Runner, class Listener>
void PolicyEngine::run_rule(const Runner& runner, Listener& listener,
                            std::uint32_t position,
                            PolicyResult& result) const {
  const CompiledRule& rule = policy_.rules[position];
  const RuleSteps& steps = rule_steps_[position];
  if (rule.condition) {
    const bool held = runner.test(*rule.condition, steps.condition);
    listener.rule(position, runner.tested(), held);
    if (!held) return;
  } else {
    listener.rule(position, nullptr, true);
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
    const bool taken = takes(result.verdict, candidate.verdict);
    listener.verdict(candidate.verdict, message, result.verdict, taken);
    if (!taken) continue;
    result.verdict = candidate.verdict;
    if (message == nullptr) continue;
    const halvo::SmallString* text = message->as_str();
    if (text == nullptr) {
      result.reason = halvo::SmallString();
    } else if (message == &storage) {
      // A text made for this message (a join, say) is moved, not copied:
      // it dies with `storage` at the end of the iteration anyway.
      result.reason = storage.take_string();
    } else {
      result.reason = *text;
    }
  }
  listener.actions(static_cast<std::uint32_t>(result.actions.size()),
                   static_cast<std::uint32_t>(rule.actions.size()));
  if (rule.actions.empty()) return;
  if (result.actions.empty()) result.actions.reserve(rule.actions.size());
  result.keep_args_of(result.actions.size() + rule.actions.size());
  const ActionSteps* action_steps = action_steps_.data() + steps.first_action;
  for (std::uint32_t i = 0; i < rule.actions.size(); ++i) {
    const IRAction& action = rule.actions[i];
    // Built in place: a failure leaves the action listed with the
    // arguments evaluated so far, which only a thrown std::bad_alloc can
    // cause, and that fails the whole evaluation.
    ActionResult& out = result.actions.emplace_back(
        ActionResult{action_steps[i].verb, result.take_args(), position, i});
    out.args.reserve(action.args.size());
    for (const auto& [name, expr] : action.args) {
      event::Value value = runner.value(expr, *root++);
      if (action_steps[i].distinct_names) {
        out.args.insert_new(halvo::SmallString(name), std::move(value));
      } else {
        out.args.insert_or_assign(name, std::move(value));
      }
    }
  }
}

template <class Runner, class Listener>
void PolicyEngine::run(const event::Event& event, PolicyResult& result,
                       Listener& listener, bool timed) {
  const std::optional<Stopwatch> stopwatch =
      timed ? std::optional<Stopwatch>(std::in_place) : std::nullopt;
  ++event_count_;
  result.clear();

  bool limit_exceeded = false;
  if (RateLimiter* limiter = rate_limiters_.find(event.event_type().view())) {
    auto exceeded = limiter->record(event.timestamp());
    listener.limiter(*limiter, exceeded.has_value());
    if (exceeded) {
      result.constraint_violations.push_back(std::move(*exceeded));
      result.verdict = Verdict::Deny;
      limit_exceeded = true;
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
      run_rule(runner, listener, position, result);
    }
  } else {
    for (std::uint32_t position = 0; position < policy_.rules.size();
         ++position) {
      if (RuleIndex::applies(policy_.rules[position], event_type)) {
        run_rule(runner, listener, position, result);
      }
    }
  }
  for (std::size_t i = 0; i < instances_.size(); ++i) {
    // The plan passes over machines the event cannot move; the tree
    // evaluator, the reference, steps every one.
    if constexpr (std::is_same_v<Runner, eval::PlanRunner>) {
      if (!may_move(i, event_type)) {
#ifdef CORVANTH_PLAN_ORACLE
        check_stands_still(instances_[i], scope);
#endif
        continue;
      }
    }
    const RunnerGuards guards(runner, listener,
                              roots_.data() + machine_first_root_[i]);
    listener.machine(instances_[i]);
    const auto* taken = instances_[i].step(scope, guards, result);
    listener.stepped(instances_[i], taken);
  }
  // An exceeded limit denies first, and its reason stands unless a rule's
  // deny gives one of its own (a machine never does once the verdict is
  // deny): it is written only then, sparing the formatting of a text a
  // rule replaces.
  if (limit_exceeded && !result.reason) {
    const ConstraintViolation& exceeded = result.constraint_violations.front();
    result.reason = constraint_exceeded_reason(
        exceeded.kind, exceeded.current, exceeded.window_ms, exceeded.limit);
  }

  result.eval_time_us = stopwatch ? stopwatch->elapsed_micros() : 0;
}

PolicyResult PolicyEngine::evaluate(const event::Event& event) {
  PolicyResult result;
  NoListener listener;
  run<eval::PlanRunner>(event, result, listener);
  return result;
}

void PolicyEngine::evaluate(const event::Event& event, PolicyResult& result) {
  NoListener listener;
  run<eval::PlanRunner>(event, result, listener);
}

void PolicyEngine::evaluate_untimed(const event::Event& event,
                                    PolicyResult& result) {
  NoListener listener;
  run<eval::PlanRunner>(event, result, listener, false);
}

PolicyResult PolicyEngine::evaluate_reference(const event::Event& event) {
  PolicyResult result;
  NoListener listener;
  run<eval::TreeRunner>(event, result, listener);
  return result;
}

PolicyResult PolicyEngine::evaluate_reference(const event::Event& event,
                                              EvaluationListener& listener) {
  PolicyResult result;
  run<eval::RecordingTreeRunner>(event, result, listener);
  return result;
}

std::size_t PolicyEngine::plan_memory_bytes() const noexcept {
  return plan_.memory_bytes() + rule_index_.memory_bytes() +
         rule_steps_.capacity() * sizeof(RuleSteps) +
         action_steps_.capacity() * sizeof(ActionSteps) +
         roots_.capacity() * sizeof(eval::ExprId) +
         machine_first_root_.capacity() * sizeof(std::uint32_t) +
         guard_types_.capacity() * sizeof(const halvo::SmallString*) +
         typed_machines_.capacity() * sizeof(std::uint8_t);
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
