// The operators of the expression language on evaluated operands.
//
// The tree evaluator (evaluator.cc) and the evaluation plan
// (evaluation_plan.h) both combine operands through these functions only,
// so numeric tolerance, NaN, Null and the kind rules are written once.
//
//   Value sum = combine(BinaryOp::Add, left, right);      // Null for a mix
//   bool less = binary_test(BinaryOp::Lt, left, right);   // false: unordered
//   bool hit = test_predicate(PredicateKind::Contains, subject, needle);
#pragma once

#include "halvo_compiler/ir/expr.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::eval {

// Every operator except the three logical ones (And, Or, Implies).
Value combine(halvo_compiler::ir::BinaryOp op, const Value& left,
              const Value& right);

// The operators that answer a Bool (Eq, Neq, Lt, Le, Gt, Ge, In), as a
// bool; false for any other operator.
bool binary_test(halvo_compiler::ir::BinaryOp op, const Value& left,
                 const Value& right) noexcept;

// Whether `op` is one of the operators binary_test answers.
bool is_test_operator(halvo_compiler::ir::BinaryOp op) noexcept;

// Contains, Matches, StartsWith and EndsWith.
bool test_predicate(halvo_compiler::ir::PredicateKind kind,
                    const Value& subject, const Value& argument) noexcept;

// Unary Neg: Int wraps, Float flips its sign, anything else is Null.
Value negate(const Value& operand) noexcept;

}  // namespace halvo_runtime::eval
