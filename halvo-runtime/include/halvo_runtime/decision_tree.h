// Decision trees: switch-like expressions over literal, constructor and
// guard cases, with expression and verdict leaves.
//
//   Value v = eval_decision_tree(node, scope);   // Null when nothing matches
#pragma once

#include "halvo_compiler/ir/expr.h"
#include "halvo_runtime/eval_scope.h"

namespace halvo_runtime::eval {

// Returns the value of the node under `scope`. Total.
Value eval_decision_tree(const halvo_compiler::ir::DecisionNode& node,
                         const EvalScope& scope);

}  // namespace halvo_runtime::eval
