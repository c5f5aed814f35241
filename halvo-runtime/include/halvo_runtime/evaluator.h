// The expression evaluator: the Value of an IRExpr under an EvalScope.
//
// A recursive, side-effect-free interpreter. It never fails: every
// combination without a defined result yields Null (or Bool false for
// tests). Integer arithmetic wraps; Int Div/Mod of the minimum by -1 give
// the minimum and 0.
//
//   EvalScope scope{event, context, config};
//   Value v = eval(*rule.condition, scope);
//   if (v.is_truthy()) { ... }
#pragma once

#include <optional>

#include "halvo_compiler/ir/expr.h"
#include "halvo_runtime/eval_scope.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::eval {

enum class Ordering { Less, Equal, Greater };

// Returns a new, owned value. Total.
Value eval(const halvo_compiler::ir::IRExpr& expr, const EvalScope& scope);

// The value of a constant; durations are converted to milliseconds
// (wrapping) and regex literals to their pattern text.
Value eval_literal(const halvo_compiler::ir::Literal& literal);

// The evaluator's equality: numbers across Int and Float within an absolute
// tolerance of 2^-52; lists and maps are never equal.
bool values_equal(const Value& a, const Value& b) noexcept;

// Numeric, string (byte-wise) and duration ordering; nullopt when the two
// are not comparable (NaN included).
std::optional<Ordering> values_compare(const Value& a, const Value& b) noexcept;

}  // namespace halvo_runtime::eval
