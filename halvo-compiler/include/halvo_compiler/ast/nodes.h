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

// Number of variants of each enumeration, for code that walks them all
// (variant_name(E(i)) for i below kVariantCount<E>).
template <class E>
inline constexpr std::size_t kVariantCount = 0;
template <>
inline constexpr std::size_t kVariantCount<BinaryOp> = 15;
template <>
inline constexpr std::size_t kVariantCount<UnaryOp> = 2;
template <>
inline constexpr std::size_t kVariantCount<PredicateKind> = 4;
template <>
inline constexpr std::size_t kVariantCount<QuantifierKind> = 4;
template <>
inline constexpr std::size_t kVariantCount<DurationUnit> = 5;
template <>
inline constexpr std::size_t kVariantCount<Verdict> = 4;
template <>
inline constexpr std::size_t kVariantCount<ActionVerb> = 5;
template <>
inline constexpr std::size_t kVariantCount<SeverityLevel> = 5;
template <>
inline constexpr std::size_t kVariantCount<ConstraintKind> = 2;
template <>
inline constexpr std::size_t kVariantCount<TemporalKind> = 5;
template <>
inline constexpr std::size_t kVariantCount<StateKind> = 3;

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
