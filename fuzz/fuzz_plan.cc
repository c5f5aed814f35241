// Fuzzes the evaluation plan against the tree evaluator.
//
// Input: a policy in JSON, then a NUL byte, then engine operations (without
// the NUL, one event without fields is evaluated). Every event goes to
// two engines built from the same policy: one evaluates through its plan,
// the other through the tree evaluator (evaluate_reference); their results
// and status texts must be identical. Besides, every expression of the
// policy (conditions, verdict messages, action arguments, guards), compiled
// into a plan of its own, must give the tree's value and truthiness for
// each event, including the messages of verdicts the engine drops. Any
// difference aborts.
//
// The operations after the NUL byte are those of fuzz_engine.cc (evaluate,
// reset, status, set_context, set_config; values by value_decoder.h), done
// on both engines alike; time starts at a fixed instant and moves by the
// input's steps, and reset restarts both engines at the current instant.
// Every other event keeps the fields the policy names in the slots of the
// planned engine's field use, as the binding hands them over (even when the
// policy reads the whole event, which the binding never slots); the rest
// are read by name, as a replayed trace's are.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "halvo/small_string.h"
#include "halvo_compiler/policy_reader.h"
#include "halvo_runtime/evaluation_plan.h"
#include "halvo_runtime/evaluator.h"
#include "halvo_runtime/event.h"
#include "halvo_runtime/event_field_use.h"
#include "halvo_runtime/plan_check.h"
#include "halvo_runtime/policy_engine.h"
#include "value_decoder.h"

namespace {

using halvo::SmallString;
using halvo_compiler::ir::CompiledPolicy;
using halvo_compiler::ir::IRExpr;
using halvo_runtime::engine::PolicyEngine;
using halvo_runtime::engine::PolicyResult;
using halvo_runtime::eval::EvalScope;
using halvo_runtime::eval::EvaluationPlan;
using halvo_runtime::eval::ExprId;
using halvo_runtime::eval::plan_disagreement;
using halvo_runtime::eval::same_value;
using halvo_runtime::event::Event;
using halvo_runtime::event::EventFieldUse;
using halvo_runtime::event::Value;
using halvo_runtime::event::ValueMap;

constexpr std::uint64_t kStart = 1'700'000'000'000;
// Operations beyond this many only repeat what shorter inputs reach.
constexpr std::size_t kMaxOperations = 32;

[[noreturn]] void differ(const char* what) {
  std::fprintf(stderr, "plan and tree engines differ: %s\n", what);
  std::abort();
}

// Every expression of a policy, with its id in a plan of its own.
struct Expressions {
  EvaluationPlan plan;
  std::vector<std::pair<const IRExpr*, ExprId>> all;

  void add(const IRExpr& expr) { all.emplace_back(&expr, plan.compile(expr)); }

  Expressions(const CompiledPolicy& policy, const EventFieldUse& use) {
    plan.use_field_slots(&use);
    for (const auto& rule : policy.rules) {
      if (rule.condition) add(*rule.condition);
      for (const auto& candidate : rule.verdicts) {
        if (candidate.message) add(*candidate.message);
      }
      for (const auto& action : rule.actions) {
        for (const auto& arg : action.args) add(arg.second);
      }
    }
    for (const auto& machine : policy.state_machines) {
      for (const auto& transition : machine.transitions) {
        std::visit(
            [&](const auto& guard) {
              if constexpr (requires { guard.expr; }) add(guard.expr);
            },
            transition.guard.guard);
      }
    }
  }

  void check(const EvalScope& scope) const {
    for (const auto& [expr, id] : all) {
      const Value tree = halvo_runtime::eval::eval(*expr, scope);
      const Value plan_value = plan.value(id, scope);
      if (!same_value(plan_value, tree)) {
        plan_disagreement("an expression's value", plan_value, tree);
      }
      if (plan.test(id, scope) != tree.is_truthy()) {
        plan_disagreement("an expression's truthiness",
                          Value::boolean(!tree.is_truthy()),
                          Value::boolean(tree.is_truthy()));
      }
      Value storage;
      const Value& borrowed = plan.operand(id, scope, storage);
      if (!same_value(borrowed, tree)) {
        plan_disagreement("an expression's operand", borrowed, tree);
      }
    }
  }
};

void compare(const PolicyResult& a, const PolicyResult& b) {
  if (a.verdict != b.verdict) differ("verdict");
  if (a.reason.has_value() != b.reason.has_value() ||
      (a.reason && !(*a.reason == *b.reason))) {
    differ("reason");
  }
  if (a.triggered_rules != b.triggered_rules) differ("triggered rules");
  if (a.actions.size() != b.actions.size()) differ("action count");
  for (std::size_t i = 0; i < a.actions.size(); ++i) {
    const auto& x = a.actions[i];
    const auto& y = b.actions[i];
    if (!(x.verb == y.verb) || x.rule != y.rule || x.action != y.action) {
      differ("action");
    }
    if (!same_value(Value::map(x.args), Value::map(y.args))) {
      differ("action arguments");
    }
  }
  if (a.violations.size() != b.violations.size()) differ("violation count");
  for (std::size_t i = 0; i < a.violations.size(); ++i) {
    const auto& x = a.violations[i];
    const auto& y = b.violations[i];
    if (!(x.proof == y.proof) || !(x.invariant == y.invariant) ||
        x.kind != y.kind || !(x.message == y.message)) {
      differ("violation");
    }
  }
  if (a.constraint_violations.size() != b.constraint_violations.size()) {
    differ("constraint violation count");
  }
  for (std::size_t i = 0; i < a.constraint_violations.size(); ++i) {
    const auto& x = a.constraint_violations[i];
    const auto& y = b.constraint_violations[i];
    if (x.kind != y.kind || !(x.target == y.target) || x.limit != y.limit ||
        x.current != y.current || x.window_ms != y.window_ms) {
      differ("constraint violation");
    }
  }
}

// Both engines, and the maps the expressions of the sweep read.
struct Engines {
  PolicyEngine planned;
  PolicyEngine reference;
  ValueMap context;
  ValueMap config;

  explicit Engines(CompiledPolicy policy)
      : planned(policy), reference(std::move(policy)) {
    planned.reset_at(kStart);
    reference.reset_at(kStart);
  }

  void evaluate(const Event& event, const Expressions& expressions) {
    expressions.check(EvalScope{event, context, config});
    compare(planned.evaluate(event), reference.evaluate_reference(event));
    check_status();
  }

  void check_status() {
    if (planned.status().text() != reference.status().text()) {
      differ("status");
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::optional<std::string_view> input = fuzz_input(data, size);
  if (!input) return 0;
  const FuzzParts parts = split_at_nul(*input);
  auto read = halvo_compiler::read_policy(parts.policy);
  if (!read) return 0;
  Engines engines(std::move(read).value());
  const Expressions expressions(engines.reference.policy(),
                                engines.planned.field_use());
  if (!parts.rest) {
    engines.evaluate(Event(SmallString("t"), kStart), expressions);
    return 0;
  }
  fuzz::ValueDecoder ops(*parts.rest, parts.policy);
  std::uint64_t now = kStart;
  for (std::size_t n = 0; n < kMaxOperations && !ops.empty(); ++n) {
    const std::uint8_t operation = ops.byte() % 5;
    switch (operation) {
      case 0: {
        now = ops.next_time(now);
        Event event(ops.name(), now);
        if (n % 2 == 0) event.bind_slots(&engines.planned.field_use());
        for (std::size_t count = ops.byte() % 6; count > 0; --count) {
          SmallString key = ops.name();
          event.set_field(std::move(key), ops.value());
        }
        engines.evaluate(event, expressions);
        break;
      }
      case 1:
        engines.planned.reset_at(now);
        engines.reference.reset_at(now);
        break;
      case 2:
        engines.check_status();
        break;
      default: {
        const bool context = operation == 3;
        const SmallString key = ops.name();
        const Value value = ops.value();
        ValueMap& map = context ? engines.context : engines.config;
        map.insert_or_assign(key, value);
        if (context) {
          engines.planned.set_context(key, value);
          engines.reference.set_context(key, value);
        } else {
          engines.planned.set_config(key, value);
          engines.reference.set_config(key, value);
        }
        break;
      }
    }
  }
  return 0;
}
