// The expression evaluator: the Value of an IRExpr under an EvalScope.
//
// A recursive, side-effect-free interpreter. It never fails: every
// combination without a defined result yields Null (or Bool false for
// tests). Integer arithmetic wraps; Int Div/Mod of the minimum by -1 give
// the minimum and 0.
//
// The meaning of each operator on evaluated operands is operators.h's; this
// is the walk over the expression tree that applies it.
//
//   EvalScope scope{event, context, config};
//   Value v = eval(*rule.condition, scope);
//   if (v.is_truthy()) { ... }
#pragma once

#include "halvo_compiler/ir/expr.h"
#include "halvo_runtime/eval_scope.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::eval {

// Returns a new, owned value. Total.
Value eval(const halvo_compiler::ir::IRExpr& expr, const EvalScope& scope);

// Returns the value of a decision tree under `scope`: the leaf the first
// matching cases lead to, Null when a switch has no matching case and no
// default. Total.
Value eval_decision_tree(const halvo_compiler::ir::DecisionNode& node,
                         const EvalScope& scope);

}  // namespace halvo_runtime::eval
