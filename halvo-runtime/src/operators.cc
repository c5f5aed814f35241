#include "operators.h"

// The library of operator semantics: what each operator, predicate and
// constant means on evaluated operands. Nothing here evaluates an
// expression; the tree walk (evaluator.cc), the plan (evaluation_plan.cc),
// the functions and the decision trees all come here for the meaning of an
// operator, so each rule is written once.

#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

#include "wrapping_int.h"

namespace halvo_runtime::eval {
namespace {

using halvo_compiler::ir::BinaryOp;
using halvo_compiler::ir::DurationLit;
using halvo_compiler::ir::Literal;
using halvo_compiler::ir::PredicateKind;
using halvo_compiler::ir::RegexPattern;
using Kind = Value::Kind;

// Numbers closer than this are equal to the evaluator.
constexpr double kEqualityTolerance = 0x1p-52;

std::uint64_t duration_unit_millis(
    halvo_compiler::ast::nodes::DurationUnit unit) {
  using halvo_compiler::ast::nodes::DurationUnit;
  switch (unit) {
    case DurationUnit::Milliseconds:
      return 1;
    case DurationUnit::Seconds:
      return 1000;
    case DurationUnit::Minutes:
      return 60'000;
    case DurationUnit::Hours:
      return 3'600'000;
    case DurationUnit::Days:
      return 86'400'000;
  }
  return 1;
}

// --- numbers ---------------------------------------------------------------

bool is_number(const Value& v) noexcept {
  return v.kind() == Kind::Int || v.kind() == Kind::Float;
}

double as_double(const Value& v) noexcept {
  return v.kind() == Kind::Int ? static_cast<double>(v.int_value())
                               : v.float_value();
}

bool numbers_close(double a, double b) noexcept {
  // Identical infinities are equal too, though their difference is NaN.
  return a == b || std::fabs(a - b) < kEqualityTolerance;
}

// Add, Sub and Mul; Int arithmetic wraps.
Value arithmetic(BinaryOp op, const Value& left, const Value& right) {
  if (left.kind() == Kind::Int && right.kind() == Kind::Int) {
    const std::int64_t a = left.int_value();
    const std::int64_t b = right.int_value();
    return Value::integer(op == BinaryOp::Add   ? wrapping_add(a, b)
                          : op == BinaryOp::Sub ? wrapping_sub(a, b)
                                                : wrapping_mul(a, b));
  }
  if (is_number(left) && is_number(right)) {
    const double a = as_double(left);
    const double b = as_double(right);
    return Value::floating(op == BinaryOp::Add   ? a + b
                           : op == BinaryOp::Sub ? a - b
                                                 : a * b);
  }
  if (op == BinaryOp::Add && left.kind() == Kind::String &&
      right.kind() == Kind::String) {
    return Value::string(halvo::SmallString::joined(
        left.string_value().view(), right.string_value().view()));
  }
  return Value::null();
}

Value divide(const Value& left, const Value& right) {
  if (left.kind() == Kind::Int && right.kind() == Kind::Int) {
    const std::int64_t a = left.int_value();
    const std::int64_t b = right.int_value();
    if (b == 0) return Value::null();
    // The one quotient that does not fit wraps to the minimum.
    if (b == -1) return Value::integer(wrapping_negate(a));
    return Value::integer(a / b);
  }
  if (is_number(left) && is_number(right)) {
    const double b = as_double(right);
    if (b == 0.0) return Value::null();
    return Value::floating(as_double(left) / b);
  }
  return Value::null();
}

Value remainder(const Value& left, const Value& right) {
  if (left.kind() != Kind::Int || right.kind() != Kind::Int) {
    return Value::null();
  }
  const std::int64_t b = right.int_value();
  if (b == 0) return Value::null();
  // Any Int modulo -1 is 0; asking the hardware would trap on the minimum.
  if (b == -1) return Value::integer(0);
  return Value::integer(left.int_value() % b);
}

bool is_in(const Value& needle, const Value& haystack) noexcept {
  if (haystack.kind() == Kind::List) {
    for (const Value& item : haystack.list_items()) {
      if (values_equal(needle, item)) return true;
    }
    return false;
  }
  if (haystack.kind() == Kind::Map && needle.kind() == Kind::String) {
    return haystack.map_entries().contains(needle.string_value().view());
  }
  return false;
}

bool ordered(std::optional<Ordering> order, bool less, bool equal,
             bool greater) noexcept {
  if (!order) return false;
  switch (*order) {
    case Ordering::Less:
      return less;
    case Ordering::Equal:
      return equal;
    case Ordering::Greater:
      return greater;
  }
  return false;
}

}  // namespace

Value combine(BinaryOp op, const Value& left, const Value& right) {
  switch (op) {
    case BinaryOp::Add:
    case BinaryOp::Sub:
    case BinaryOp::Mul:
      return arithmetic(op, left, right);
    case BinaryOp::Div:
      return divide(left, right);
    case BinaryOp::Mod:
      return remainder(left, right);
    default:
      if (is_test_operator(op)) {
        return Value::boolean(binary_test(op, left, right));
      }
      return Value::null();
  }
}

bool is_test_operator(BinaryOp op) noexcept {
  switch (op) {
    case BinaryOp::Eq:
    case BinaryOp::Neq:
    case BinaryOp::Lt:
    case BinaryOp::Le:
    case BinaryOp::Gt:
    case BinaryOp::Ge:
    case BinaryOp::In:
      return true;
    default:
      return false;
  }
}

bool binary_test(BinaryOp op, const Value& left, const Value& right) noexcept {
  switch (op) {
    case BinaryOp::Eq:
      return values_equal(left, right);
    case BinaryOp::Neq:
      return !values_equal(left, right);
    case BinaryOp::Lt:
      return ordered(values_compare(left, right), true, false, false);
    case BinaryOp::Le:
      return ordered(values_compare(left, right), true, true, false);
    case BinaryOp::Gt:
      return ordered(values_compare(left, right), false, false, true);
    case BinaryOp::Ge:
      return ordered(values_compare(left, right), false, true, true);
    case BinaryOp::In:
      return is_in(left, right);
    default:
      return false;
  }
}

bool test_predicate(PredicateKind kind, const Value& subject,
                    const Value& argument) noexcept {
  switch (kind) {
    case PredicateKind::Contains:
      return subject.contains(argument);
    case PredicateKind::Matches: {
      const halvo::SmallString* pattern = argument.as_str();
      return subject.matches_pattern(pattern ? pattern->view()
                                             : std::string_view());
    }
    case PredicateKind::StartsWith:
    case PredicateKind::EndsWith: {
      const halvo::SmallString* text = subject.as_str();
      const halvo::SmallString* affix = argument.as_str();
      if (text == nullptr || affix == nullptr) return false;
      return kind == PredicateKind::StartsWith
                 ? text->view().starts_with(affix->view())
                 : text->view().ends_with(affix->view());
    }
  }
  return false;
}

Value negate(const Value& operand) noexcept {
  if (operand.kind() == Kind::Int) {
    return Value::integer(wrapping_negate(operand.int_value()));
  }
  if (operand.kind() == Kind::Float) {
    return Value::floating(-operand.float_value());
  }
  return Value::null();
}

Value eval_literal(const Literal& literal) {
  struct Visitor {
    Value operator()(bool b) const noexcept { return Value::boolean(b); }
    Value operator()(std::int64_t i) const noexcept {
      return Value::integer(i);
    }
    Value operator()(double f) const noexcept { return Value::floating(f); }
    Value operator()(const halvo::SmallString& s) const noexcept {
      return Value::string(s);
    }
    Value operator()(const DurationLit& d) const noexcept {
      // Unsigned multiplication wraps on overflow.
      return Value::duration(d.value * duration_unit_millis(d.unit));
    }
    Value operator()(const RegexPattern& r) const noexcept {
      return Value::string(r.text);
    }
  };
  return std::visit(Visitor{}, literal.value);
}

bool values_equal(const Value& a, const Value& b) noexcept {
  if (is_number(a) && is_number(b)) {
    if (a.kind() == Kind::Int && b.kind() == Kind::Int) {
      return a.int_value() == b.int_value();
    }
    return numbers_close(as_double(a), as_double(b));
  }
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Null:
      return true;
    case Kind::Bool:
      return a.bool_value() == b.bool_value();
    case Kind::String:
      return a.string_value() == b.string_value();
    case Kind::Duration:
      return a.duration_millis() == b.duration_millis();
    default:
      return false;  // lists and maps are never equal here
  }
}

std::optional<Ordering> values_compare(const Value& a,
                                       const Value& b) noexcept {
  const auto order = [](const auto& x, const auto& y) {
    return x < y ? Ordering::Less : y < x ? Ordering::Greater : Ordering::Equal;
  };
  if (a.kind() == Kind::Int && b.kind() == Kind::Int) {
    return order(a.int_value(), b.int_value());
  }
  if (is_number(a) && is_number(b)) {
    const double x = as_double(a);
    const double y = as_double(b);
    if (std::isnan(x) || std::isnan(y)) return std::nullopt;
    return order(x, y);
  }
  if (a.kind() != b.kind()) return std::nullopt;
  if (a.kind() == Kind::String) {
    return order(a.string_value().view(), b.string_value().view());
  }
  if (a.kind() == Kind::Duration) {
    return order(a.duration_millis(), b.duration_millis());
  }
  return std::nullopt;
}

}  // namespace halvo_runtime::eval
