// The operators of the expression language on evaluated operands.
//
// The tree evaluator (evaluator.cc), the evaluation plan
// (evaluation_plan.h), the functions and the decision trees all combine
// operands through these functions only, so numeric tolerance, NaN, Null and
// the kind rules are written once (operators.cc). Nothing here evaluates an
// expression.
//
//   Value sum = combine(BinaryOp::Add, left, right);      // Null for a mix
//   bool less = binary_test(BinaryOp::Lt, left, right);   // false: unordered
//   bool hit = test_predicate(PredicateKind::Contains, subject, needle);
//   values_compare(Value::integer(1), Value::floating(2.0));  // Less
#pragma once

#include <optional>

#include "halvo_compiler/ir/expr.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::eval {

using event::Value;

enum class Ordering { Less, Equal, Greater };

// The value of a constant; durations are converted to milliseconds
// (wrapping) and regex literals to their pattern text.
Value eval_literal(const halvo_compiler::ir::Literal& literal);

// Equality: numbers across Int and Float within an absolute tolerance of
// 2^-52; lists and maps are never equal.
bool values_equal(const Value& a, const Value& b) noexcept;

// Numeric, string (byte-wise) and duration ordering; nullopt when the two
// are not comparable (NaN included).
std::optional<Ordering> values_compare(const Value& a, const Value& b) noexcept;

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
