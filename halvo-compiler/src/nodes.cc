#include "halvo_compiler/ast/nodes.h"

#include <array>

namespace halvo_compiler::ast::nodes {
namespace {

template <std::size_t N, class E>
std::string_view pick(const std::array<std::string_view, N>& names, E v) {
  const auto index = static_cast<std::size_t>(v);
  return index < N ? names[index] : std::string_view("?");
}

}  // namespace

std::string_view variant_name(BinaryOp v) noexcept {
  static constexpr std::array<std::string_view, 15> kNames = {
      "Add", "Sub", "Mul", "Div", "Mod", "Eq",      "Neq", "Lt",
      "Le",  "Gt",  "Ge",  "And", "Or",  "Implies", "In"};
  return pick(kNames, v);
}
std::string_view variant_name(UnaryOp v) noexcept {
  static constexpr std::array<std::string_view, 2> kNames = {"Not", "Neg"};
  return pick(kNames, v);
}
std::string_view variant_name(PredicateKind v) noexcept {
  static constexpr std::array<std::string_view, 4> kNames = {
      "Contains", "Matches", "StartsWith", "EndsWith"};
  return pick(kNames, v);
}
std::string_view variant_name(QuantifierKind v) noexcept {
  static constexpr std::array<std::string_view, 4> kNames = {"All", "Any",
                                                             "None", "Exists"};
  return pick(kNames, v);
}
std::string_view variant_name(DurationUnit v) noexcept {
  static constexpr std::array<std::string_view, 5> kNames = {
      "Milliseconds", "Seconds", "Minutes", "Hours", "Days"};
  return pick(kNames, v);
}
std::string_view variant_name(Verdict v) noexcept {
  static constexpr std::array<std::string_view, 4> kNames = {"Allow", "Deny",
                                                             "Audit", "Redact"};
  return pick(kNames, v);
}
std::string_view variant_name(ActionVerb v) noexcept {
  static constexpr std::array<std::string_view, 5> kNames = {
      "Log", "Notify", "Escalate", "Block", "Tag"};
  return pick(kNames, v);
}
std::string_view variant_name(SeverityLevel v) noexcept {
  static constexpr std::array<std::string_view, 5> kNames = {
      "Critical", "High", "Medium", "Low", "Info"};
  return pick(kNames, v);
}
std::string_view variant_name(ConstraintKind v) noexcept {
  static constexpr std::array<std::string_view, 2> kNames = {"RateLimit",
                                                             "Quota"};
  return pick(kNames, v);
}
std::string_view variant_name(TemporalKind v) noexcept {
  static constexpr std::array<std::string_view, 5> kNames = {
      "Always", "Eventually", "Never", "Until", "Next"};
  return pick(kNames, v);
}
std::string_view variant_name(StateKind v) noexcept {
  static constexpr std::array<std::string_view, 3> kNames = {
      "Active", "Satisfied", "Violated"};
  return pick(kNames, v);
}

}  // namespace halvo_compiler::ast::nodes
