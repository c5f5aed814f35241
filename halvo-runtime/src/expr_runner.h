// The ways the engine evaluates an expression of its policy, behind one
// shape so that the rules phase and the state machine phase are written
// once.
//
//   PlanRunner runner(plan, scope);    // the compiled plan (evaluate)
//   TreeRunner runner(plan, scope);    // the tree (evaluate_reference)
//   RecordingTreeRunner runner(plan, scope);  // the tree, keeping values
//   if (runner.test(*rule.condition, condition_id)) { ... }
//   Value v = runner.value(expr, id);
//   const Value* tested = runner.tested();  // nullptr unless recording
//
// A listened evaluation reports the value each test saw; only the
// RecordingTreeRunner keeps it (tested()), the others answer nullptr.
//
// Each call names the expression twice: its tree and its id in the plan;
// each runner reads the half it needs. Built with CORVANTH_PLAN_ORACLE, the
// PlanRunner also evaluates the tree and aborts when the two disagree
// (plan_check.h).
#pragma once

#include "halvo_compiler/ir/expr.h"
#include "halvo_runtime/eval_scope.h"
#include "halvo_runtime/evaluation_plan.h"
#include "halvo_runtime/evaluator.h"
#include "halvo_runtime/plan_check.h"
#include "halvo_runtime/value.h"
#include "operand.h"

namespace halvo_runtime::eval {

using halvo_compiler::ir::IRExpr;

class TreeRunner {
 public:
  // The plan is not read: the ids it gave are ignored here.
  TreeRunner(const EvaluationPlan&, const EvalScope& scope) noexcept
      : scope_(scope) {}

  const EvalScope& scope() const noexcept { return scope_; }
  bool test(const IRExpr& expr, ExprId) const {
    return eval_truthy(expr, scope_);
  }
  const Value& operand(const IRExpr& expr, ExprId, Value& storage) const {
    return eval_operand(expr, scope_, storage);
  }
  Value value(const IRExpr& expr, ExprId) const { return eval(expr, scope_); }
  const Value* tested() const noexcept { return nullptr; }

 private:
  const EvalScope& scope_;
};

// The TreeRunner whose test keeps the whole value it tested, until the next
// test. A value's truthiness is what the other runners' tests answer.
class RecordingTreeRunner : public TreeRunner {
 public:
  using TreeRunner::TreeRunner;

  bool test(const IRExpr& expr, ExprId) const {
    tested_ = eval(expr, scope());
    return tested_.is_truthy();
  }
  const Value* tested() const noexcept { return &tested_; }

 private:
  mutable Value tested_;
};

class PlanRunner {
 public:
  PlanRunner(const EvaluationPlan& plan, const EvalScope& scope) noexcept
      : plan_(plan), scope_(scope) {}

  const EvalScope& scope() const noexcept { return scope_; }
  bool test([[maybe_unused]] const IRExpr& expr, ExprId id) const {
    const bool answer = plan_.test(id, scope_);
#ifdef CORVANTH_PLAN_ORACLE
    const bool reference = eval_truthy(expr, scope_);
    if (answer != reference) {
      plan_disagreement("a test", Value::boolean(answer),
                        Value::boolean(reference));
    }
#endif
    return answer;
  }
  const Value& operand([[maybe_unused]] const IRExpr& expr, ExprId id,
                       Value& storage) const {
    const Value& answer = plan_.operand(id, scope_, storage);
#ifdef CORVANTH_PLAN_ORACLE
    check(answer, eval(expr, scope_));
#endif
    return answer;
  }
  Value value([[maybe_unused]] const IRExpr& expr, ExprId id) const {
    Value answer = plan_.value(id, scope_);
#ifdef CORVANTH_PLAN_ORACLE
    check(answer, eval(expr, scope_));
#endif
    return answer;
  }
  const Value* tested() const noexcept { return nullptr; }

 private:
#ifdef CORVANTH_PLAN_ORACLE
  static void check(const Value& answer, const Value& reference) {
    if (!same_value(answer, reference)) {
      plan_disagreement("a value", answer, reference);
    }
  }
#endif

  const EvaluationPlan& plan_;
  const EvalScope& scope_;
};

}  // namespace halvo_runtime::eval
