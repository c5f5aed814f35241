// The closed enumerations of the policy language and its constants.
//
// Each enumeration's variants are declared in their canonical order (a
// variant's index is its position). variant_name() gives the text name of a
// variant, exactly as declared ("Deny", "RateLimit", "Critical", "Always");
// this is the only place those names are written.
//
//   using namespace halvo_compiler::ast::nodes;
//   Verdict v = Verdict::Deny;
//   std::string_view text = variant_name(v);  // "Deny"
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string_view>
#include <variant>

#include "halvo/small_string.h"

namespace halvo_compiler::ast::nodes {

enum class BinaryOp : std::uint8_t {
  Add,
  Sub,
  Mul,
  Div,
  Mod,
  Eq,
  Neq,
  Lt,
  Le,
  Gt,
  Ge,
  And,
  Or,
  Implies,
  In
};
enum class UnaryOp : std::uint8_t { Not, Neg };
enum class PredicateKind : std::uint8_t {
  Contains,
  Matches,
  StartsWith,
  EndsWith
};
enum class QuantifierKind : std::uint8_t { All, Any, None, Exists };
enum class DurationUnit : std::uint8_t {
  Milliseconds,
  Seconds,
  Minutes,
  Hours,
  Days
};
enum class Verdict : std::uint8_t { Allow, Deny, Audit, Redact };
enum class ActionVerb : std::uint8_t { Log, Notify, Escalate, Block, Tag };
enum class SeverityLevel : std::uint8_t { Critical, High, Medium, Low, Info };
enum class ConstraintKind : std::uint8_t { RateLimit, Quota };
enum class TemporalKind : std::uint8_t {
  Always,
  Eventually,
  Never,
  Until,
  Next
};
enum class StateKind : std::uint8_t { Active, Satisfied, Violated };

// The variant names of each enumeration, in declared order: the one table
// from which variant_name(), the variant counts, the reader and the writer
// take them. Every enumeration above has a specialisation below; the
// static_asserts tie each table to its enumeration's last variant.
template <class E>
struct VariantNames;
template <>
struct VariantNames<BinaryOp> {
  static constexpr std::string_view kNames[] = {
      "Add", "Sub", "Mul", "Div", "Mod", "Eq",      "Neq", "Lt",
      "Le",  "Gt",  "Ge",  "And", "Or",  "Implies", "In"};
  static constexpr BinaryOp kLast = BinaryOp::In;
};
template <>
struct VariantNames<UnaryOp> {
  static constexpr std::string_view kNames[] = {"Not", "Neg"};
  static constexpr UnaryOp kLast = UnaryOp::Neg;
};
template <>
struct VariantNames<PredicateKind> {
  static constexpr std::string_view kNames[] = {"Contains", "Matches",
                                                "StartsWith", "EndsWith"};
  static constexpr PredicateKind kLast = PredicateKind::EndsWith;
};
template <>
struct VariantNames<QuantifierKind> {
  static constexpr std::string_view kNames[] = {"All", "Any", "None", "Exists"};
  static constexpr QuantifierKind kLast = QuantifierKind::Exists;
};
template <>
struct VariantNames<DurationUnit> {
  static constexpr std::string_view kNames[] = {"Milliseconds", "Seconds",
                                                "Minutes", "Hours", "Days"};
  static constexpr DurationUnit kLast = DurationUnit::Days;
};
template <>
struct VariantNames<Verdict> {
  static constexpr std::string_view kNames[] = {"Allow", "Deny", "Audit",
                                                "Redact"};
  static constexpr Verdict kLast = Verdict::Redact;
};
template <>
struct VariantNames<ActionVerb> {
  static constexpr std::string_view kNames[] = {"Log", "Notify", "Escalate",
                                                "Block", "Tag"};
  static constexpr ActionVerb kLast = ActionVerb::Tag;
};
template <>
struct VariantNames<SeverityLevel> {
  static constexpr std::string_view kNames[] = {"Critical", "High", "Medium",
                                                "Low", "Info"};
  static constexpr SeverityLevel kLast = SeverityLevel::Info;
};
template <>
struct VariantNames<ConstraintKind> {
  static constexpr std::string_view kNames[] = {"RateLimit", "Quota"};
  static constexpr ConstraintKind kLast = ConstraintKind::Quota;
};
template <>
struct VariantNames<TemporalKind> {
  static constexpr std::string_view kNames[] = {"Always", "Eventually", "Never",
                                                "Until", "Next"};
  static constexpr TemporalKind kLast = TemporalKind::Next;
};
template <>
struct VariantNames<StateKind> {
  static constexpr std::string_view kNames[] = {"Active", "Satisfied",
                                                "Violated"};
  static constexpr StateKind kLast = StateKind::Violated;
};

// Number of variants of each enumeration, for code that walks them all
// (variant_name(E(i)) for i below kVariantCount<E>).
template <class E>
inline constexpr std::size_t kVariantCount = std::size(VariantNames<E>::kNames);

// The names of all variants of E, in declared order.
template <class E>
constexpr std::span<const std::string_view> variant_names() noexcept {
  static_assert(
      kVariantCount<E> == static_cast<std::size_t>(VariantNames<E>::kLast) + 1,
      "one name per variant");
  return VariantNames<E>::kNames;
}

std::string_view variant_name(BinaryOp v) noexcept;
std::string_view variant_name(UnaryOp v) noexcept;
std::string_view variant_name(PredicateKind v) noexcept;
std::string_view variant_name(QuantifierKind v) noexcept;
std::string_view variant_name(DurationUnit v) noexcept;
std::string_view variant_name(Verdict v) noexcept;
std::string_view variant_name(ActionVerb v) noexcept;
std::string_view variant_name(SeverityLevel v) noexcept;
std::string_view variant_name(ConstraintKind v) noexcept;
std::string_view variant_name(TemporalKind v) noexcept;
std::string_view variant_name(StateKind v) noexcept;

// A duration constant as written in a policy: `value` counted in `unit`.
struct DurationLit {
  std::uint64_t value = 0;
  DurationUnit unit = DurationUnit::Milliseconds;
};

// The pattern text of a regex literal (kept apart from plain strings).
struct RegexPattern {
  halvo::SmallString text;
};

// A constant. Alternatives in declared order: Bool, Int, Float, String,
// Duration, Regex.
struct Literal {
  std::variant<bool, std::int64_t, double, halvo::SmallString, DurationLit,
               RegexPattern>
      value;
};

}  // namespace halvo_compiler::ast::nodes
