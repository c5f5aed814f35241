// Decision trees: switch-like expressions over literal, constructor and
// guard cases, with expression and verdict leaves.
//
// This file holds what a case and a verdict leaf mean on evaluated values;
// the walk itself (evaluating the subject, the guards and the leaves) is the
// tree evaluator's (eval_decision_tree in evaluator.h). The dependency runs
// one way: the evaluator walks the tree and asks here whether a case
// matches; nothing here evaluates an expression.
//
//   switch (case_match(c.test, subject)) {
//     case CaseMatch::kYes: ...          // take c.body
//     case CaseMatch::kGuard: ...        // evaluate the guard expression
//     case CaseMatch::kNo: ...           // try the next case
//   }
#pragma once

#include "halvo_compiler/ir/expr.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::eval {

using event::Value;

enum class CaseMatch { kYes, kNo, kGuard };

// Whether a literal or constructor case matches `subject`: a literal when
// equal to it (values_equal), a constructor when `subject` is a String equal
// to the name or a Map whose "type" entry is one. kGuard for a guard case,
// which sees the tree's scope rather than the subject.
CaseMatch case_match(const halvo_compiler::ir::CaseTest& test,
                     const Value& subject);

// The value of a verdict leaf: the verdict's name as a String.
Value verdict_leaf_value(const halvo_compiler::ir::VerdictLeafNode& leaf);

}  // namespace halvo_runtime::eval
