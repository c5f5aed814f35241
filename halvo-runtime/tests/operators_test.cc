// The operator library on evaluated operands, table by table: exact results
// and kinds, Null (or false) for every mix of kinds without a meaning, Int
// overflow wrapping, NaN unordered, strings ordered byte-wise.
#include "operators.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "check.h"

namespace {

using halvo::SmallString;
using halvo_compiler::ir::BinaryOp;
using halvo_compiler::ir::Literal;
using halvo_compiler::ir::PredicateKind;
using halvo_runtime::eval::Ordering;
using halvo_runtime::event::Value;
using halvo_runtime::event::ValueList;
using halvo_runtime::event::ValueMap;
namespace nodes = halvo_compiler::ast::nodes;
namespace ops = halvo_runtime::eval;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

Value i(std::int64_t n) { return Value::integer(n); }
Value f(double x) { return Value::floating(x); }
Value s(const char* text) { return Value::string(SmallString(text)); }
Value b(bool v) { return Value::boolean(v); }
Value null() { return Value::null(); }
Value ms(std::uint64_t millis) { return Value::duration(millis); }
Value list(std::initializer_list<const char*> items) {
  ValueList out;
  for (const char* item : items) out.push_back(s(item));
  return Value::list(std::move(out));
}
Value ints(std::initializer_list<std::int64_t> items) {
  ValueList out;
  for (std::int64_t item : items) out.push_back(i(item));
  return Value::list(std::move(out));
}
Value map_with(const char* key) {
  ValueMap entries;
  entries.insert_or_assign(SmallString(key), i(1));
  return Value::map(std::move(entries));
}

// Same kind and same payload; a NaN expected matches any NaN result.
bool same(const Value& got, const Value& want) {
  if (got.kind() == Value::Kind::Float && want.kind() == Value::Kind::Float &&
      std::isnan(want.float_value())) {
    return std::isnan(got.float_value());
  }
  return got == want;
}

int line_failures = 0;

void expect(const Value& got, const Value& want, int line) {
  if (same(got, want)) return;
  std::fprintf(stderr, "operators_test.cc:%d: got %s (kind %d), want %s\n",
               line, got.text().c_str(), static_cast<int>(got.kind()),
               want.text().c_str());
  ++line_failures;
}

struct BinaryCase {
  int line;
  BinaryOp op;
  Value left;
  Value right;
  Value want;
};

void combine_table() {
  const BinaryCase cases[] = {
      // Arithmetic: Int stays Int and wraps; a Float operand makes a Float.
      {__LINE__, BinaryOp::Add, i(2), i(3), i(5)},
      {__LINE__, BinaryOp::Add, i(kMax), i(1), i(kMin)},
      {__LINE__, BinaryOp::Sub, i(kMin), i(1), i(kMax)},
      {__LINE__, BinaryOp::Mul, i(kMax), i(2), i(-2)},
      {__LINE__, BinaryOp::Add, i(1), f(2.5), f(3.5)},
      {__LINE__, BinaryOp::Mul, f(1.5), i(2), f(3.0)},
      {__LINE__, BinaryOp::Sub, f(kInf), f(kInf), f(kNaN)},
      {__LINE__, BinaryOp::Add, s("ab"), s("cd"), s("abcd")},
      {__LINE__, BinaryOp::Add, s("a"), i(1), null()},
      {__LINE__, BinaryOp::Sub, s("a"), s("b"), null()},
      {__LINE__, BinaryOp::Add, b(true), i(1), null()},
      {__LINE__, BinaryOp::Add, ms(1000), ms(1), null()},
      {__LINE__, BinaryOp::Add, null(), i(1), null()},
      // Division: by zero is Null; the minimum by -1 wraps to itself.
      {__LINE__, BinaryOp::Div, i(7), i(2), i(3)},
      {__LINE__, BinaryOp::Div, i(-7), i(2), i(-3)},
      {__LINE__, BinaryOp::Div, i(7), i(0), null()},
      {__LINE__, BinaryOp::Div, i(kMin), i(-1), i(kMin)},
      {__LINE__, BinaryOp::Div, f(7.0), i(2), f(3.5)},
      {__LINE__, BinaryOp::Div, i(1), f(0.0), null()},
      {__LINE__, BinaryOp::Div, s("a"), i(1), null()},
      // Remainder: Int only; modulo -1 is 0, even for the minimum.
      {__LINE__, BinaryOp::Mod, i(7), i(3), i(1)},
      {__LINE__, BinaryOp::Mod, i(-7), i(3), i(-1)},
      {__LINE__, BinaryOp::Mod, i(kMin), i(-1), i(0)},
      {__LINE__, BinaryOp::Mod, i(7), i(0), null()},
      {__LINE__, BinaryOp::Mod, f(7.0), i(2), null()},
      // Tests answer a Bool.
      {__LINE__, BinaryOp::Eq, i(1), f(1.0), b(true)},
      {__LINE__, BinaryOp::Eq, f(0.1 + 0.2), f(0.3), b(true)},
      {__LINE__, BinaryOp::Eq, f(1.0), f(1.0 + 1e-9), b(false)},
      {__LINE__, BinaryOp::Eq, i(kMax), i(kMax - 1), b(false)},
      {__LINE__, BinaryOp::Eq, f(kInf), f(kInf), b(true)},
      {__LINE__, BinaryOp::Eq, f(kNaN), f(kNaN), b(false)},
      {__LINE__, BinaryOp::Neq, f(kNaN), f(kNaN), b(true)},
      {__LINE__, BinaryOp::Eq, i(1), s("1"), b(false)},
      {__LINE__, BinaryOp::Eq, null(), null(), b(true)},
      {__LINE__, BinaryOp::Eq, ms(5), ms(5), b(true)},
      {__LINE__, BinaryOp::Eq, ms(5), i(5), b(false)},
      {__LINE__, BinaryOp::Eq, list({"a"}), list({"a"}), b(false)},
      {__LINE__, BinaryOp::Lt, s("abc"), s("abd"), b(true)},
      {__LINE__, BinaryOp::Lt, s("B"), s("a"), b(true)},
      {__LINE__, BinaryOp::Lt, s("ab"), s("abc"), b(true)},
      {__LINE__, BinaryOp::Gt, s("\xc3\xa9"), s("z"), b(true)},
      {__LINE__, BinaryOp::Lt, s("a"), i(1), b(false)},
      {__LINE__, BinaryOp::Ge, s("a"), i(1), b(false)},
      {__LINE__, BinaryOp::Le, i(1), f(1.0), b(true)},
      {__LINE__, BinaryOp::Lt, i(kMax - 1), i(kMax), b(true)},
      {__LINE__, BinaryOp::Lt, f(kNaN), i(1), b(false)},
      {__LINE__, BinaryOp::Ge, f(kNaN), f(kNaN), b(false)},
      {__LINE__, BinaryOp::Gt, ms(2000), ms(1999), b(true)},
      {__LINE__, BinaryOp::Lt, ms(1), i(2), b(false)},
      {__LINE__, BinaryOp::Lt, null(), null(), b(false)},
      {__LINE__, BinaryOp::In, s("a"), list({"b", "a"}), b(true)},
      {__LINE__, BinaryOp::In, s("c"), list({"b", "a"}), b(false)},
      {__LINE__, BinaryOp::In, f(2.0), ints({1, 2}), b(true)},
      {__LINE__, BinaryOp::In, s("k"), map_with("k"), b(true)},
      {__LINE__, BinaryOp::In, i(1), map_with("1"), b(false)},
      {__LINE__, BinaryOp::In, s("b"), s("abc"), b(false)},
      // The logical operators are not the library's: combine answers Null.
      {__LINE__, BinaryOp::And, b(true), b(true), null()},
      {__LINE__, BinaryOp::Or, b(true), b(false), null()},
      {__LINE__, BinaryOp::Implies, b(false), b(false), null()},
  };
  for (const BinaryCase& c : cases) {
    expect(ops::combine(c.op, c.left, c.right), c.want, c.line);
    // binary_test agrees with combine on every test operator, and answers
    // false for every other operator.
    const bool test = ops::binary_test(c.op, c.left, c.right);
    if (ops::is_test_operator(c.op)) {
      expect(b(test), c.want, c.line);
    } else {
      expect(b(test), b(false), c.line);
    }
  }
}

void test_operator_table() {
  const std::pair<BinaryOp, bool> cases[] = {
      {BinaryOp::Add, false},     {BinaryOp::Sub, false},
      {BinaryOp::Mul, false},     {BinaryOp::Div, false},
      {BinaryOp::Mod, false},     {BinaryOp::Eq, true},
      {BinaryOp::Neq, true},      {BinaryOp::Lt, true},
      {BinaryOp::Le, true},       {BinaryOp::Gt, true},
      {BinaryOp::Ge, true},       {BinaryOp::In, true},
      {BinaryOp::And, false},     {BinaryOp::Or, false},
      {BinaryOp::Implies, false},
  };
  for (const auto& [op, is_test] : cases) {
    CHECK(ops::is_test_operator(op) == is_test);
  }
}

struct CompareCase {
  int line;
  Value left;
  Value right;
  std::optional<Ordering> want;
};

void compare_table() {
  const CompareCase cases[] = {
      {__LINE__, i(1), i(2), Ordering::Less},
      {__LINE__, i(2), f(1.5), Ordering::Greater},
      {__LINE__, f(2.0), i(2), Ordering::Equal},
      {__LINE__, f(-0.0), f(0.0), Ordering::Equal},
      {__LINE__, f(kNaN), f(1.0), std::nullopt},
      {__LINE__, i(1), f(kNaN), std::nullopt},
      {__LINE__, f(-kInf), i(kMin), Ordering::Less},
      {__LINE__, s(""), s("a"), Ordering::Less},
      {__LINE__, s("b"), s("a"), Ordering::Greater},
      {__LINE__, s("a"), s("a"), Ordering::Equal},
      {__LINE__, ms(3), ms(3), Ordering::Equal},
      {__LINE__, ms(3), i(3), std::nullopt},
      {__LINE__, b(false), b(true), std::nullopt},
      {__LINE__, null(), null(), std::nullopt},
      {__LINE__, list({"a"}), list({"b"}), std::nullopt},
  };
  for (const CompareCase& c : cases) {
    if (ops::values_compare(c.left, c.right) != c.want) {
      std::fprintf(stderr, "operators_test.cc:%d: values_compare differs\n",
                   c.line);
      ++line_failures;
    }
  }
}

struct PredicateCase {
  int line;
  PredicateKind kind;
  Value subject;
  Value argument;
  bool want;
};

void predicate_table() {
  const PredicateCase cases[] = {
      {__LINE__, PredicateKind::Contains, s("hello"), s("ell"), true},
      {__LINE__, PredicateKind::Contains, s("hello"), s("xyz"), false},
      {__LINE__, PredicateKind::Contains, list({"a", "b"}), s("b"), true},
      {__LINE__, PredicateKind::Contains, ints({1}), f(1.0), false},
      {__LINE__, PredicateKind::Contains, i(12), i(1), false},
      {__LINE__, PredicateKind::Matches, s("report.pdf"), s(".*pdf"), true},
      {__LINE__, PredicateKind::Matches, s("report.pdf"), s("^report$"), false},
      {__LINE__, PredicateKind::Matches, s("report"), s("^report$"), true},
      {__LINE__, PredicateKind::Matches, s("report.pdf"), s("rep.*"), true},
      {__LINE__, PredicateKind::Matches, s("report.pdf"), s("t.p"), true},
      {__LINE__, PredicateKind::Matches, i(1), s("1"), false},
      {__LINE__, PredicateKind::StartsWith, s("/etc/passwd"), s("/etc"), true},
      {__LINE__, PredicateKind::StartsWith, s("/etc"), s("/etc/passwd"), false},
      {__LINE__, PredicateKind::StartsWith, i(1), s("1"), false},
      {__LINE__, PredicateKind::EndsWith, s("a.sh"), s(".sh"), true},
      {__LINE__, PredicateKind::EndsWith, s("a.sh"), null(), false},
  };
  for (const PredicateCase& c : cases) {
    expect(b(ops::test_predicate(c.kind, c.subject, c.argument)), b(c.want),
           c.line);
  }
}

void negate_and_literal_table() {
  expect(ops::negate(i(5)), i(-5), __LINE__);
  expect(ops::negate(i(kMin)), i(kMin), __LINE__);
  expect(ops::negate(f(2.5)), f(-2.5), __LINE__);
  expect(ops::negate(s("a")), null(), __LINE__);
  expect(ops::negate(ms(1)), null(), __LINE__);

  const auto literal = [](auto value) {
    Literal l;
    l.value = value;
    return ops::eval_literal(l);
  };
  using nodes::DurationUnit;
  expect(literal(true), b(true), __LINE__);
  expect(literal(std::int64_t{-4}), i(-4), __LINE__);
  expect(literal(0.5), f(0.5), __LINE__);
  expect(literal(SmallString("x")), s("x"), __LINE__);
  expect(literal(nodes::DurationLit{2, DurationUnit::Seconds}), ms(2000),
         __LINE__);
  expect(literal(nodes::DurationLit{3, DurationUnit::Days}), ms(259'200'000),
         __LINE__);
  // Milliseconds wrap past 2^64: (2^63 + 1) * 1000 mod 2^64.
  expect(literal(nodes::DurationLit{(std::uint64_t{1} << 63) + 1,
                                    DurationUnit::Seconds}),
         ms(((std::uint64_t{1} << 63) + 1) * 1000u), __LINE__);
  expect(literal(nodes::RegexPattern{SmallString(".*x")}), s(".*x"), __LINE__);
}

}  // namespace

int main() {
  combine_table();
  test_operator_table();
  compare_table();
  predicate_table();
  negate_and_literal_table();
  return halvo::testing::failures() + line_failures;
}
