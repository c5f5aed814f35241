#include "halvo_compiler/ast/nodes.h"

namespace halvo_compiler::ast::nodes {
namespace {

template <class E>
std::string_view pick(E v) noexcept {
  const auto names = variant_names<E>();
  const auto index = static_cast<std::size_t>(v);
  return index < names.size() ? names[index] : std::string_view("?");
}

}  // namespace

std::string_view variant_name(BinaryOp v) noexcept { return pick(v); }
std::string_view variant_name(UnaryOp v) noexcept { return pick(v); }
std::string_view variant_name(PredicateKind v) noexcept { return pick(v); }
std::string_view variant_name(QuantifierKind v) noexcept { return pick(v); }
std::string_view variant_name(DurationUnit v) noexcept { return pick(v); }
std::string_view variant_name(Verdict v) noexcept { return pick(v); }
std::string_view variant_name(ActionVerb v) noexcept { return pick(v); }
std::string_view variant_name(SeverityLevel v) noexcept { return pick(v); }
std::string_view variant_name(ConstraintKind v) noexcept { return pick(v); }
std::string_view variant_name(TemporalKind v) noexcept { return pick(v); }
std::string_view variant_name(StateKind v) noexcept { return pick(v); }

}  // namespace halvo_compiler::ast::nodes
