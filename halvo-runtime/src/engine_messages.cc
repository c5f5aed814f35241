#include "engine_messages.h"

#include <charconv>
#include <iterator>

namespace halvo_runtime::engine {
namespace {

using halvo_compiler::ast::nodes::variant_name;

void append(std::string& out, std::string_view text) { out.append(text); }
void append(std::string& out, std::uint64_t number) {
  char digits[20];  // the longest unsigned 64-bit number
  const auto written =
      std::to_chars(std::begin(digits), std::end(digits), number);
  out.append(digits, written.ptr);
}

// Concatenates texts and numbers into one string. A rate limit's reason is
// built on every denied event, so the usual message is built with a single
// allocation.
template <class... Parts>
std::string concat(const Parts&... parts) {
  std::string out;
  out.reserve(128);
  (append(out, parts), ...);
  return out;
}

}  // namespace

halvo::SmallString violated_by_event_message(std::string_view invariant,
                                             std::string_view proof,
                                             std::string_view event_type) {
  return halvo::SmallString(concat("Invariant `", invariant, "` in proof `",
                                   proof, "` violated by event `", event_type,
                                   "`"));
}

halvo::SmallString still_violated_message(std::string_view invariant,
                                          std::string_view proof) {
  return halvo::SmallString(
      concat("Invariant `", invariant, "` in proof `", proof, "` is violated"));
}

halvo::SmallString invariant_violation_reason(std::string_view invariant,
                                              std::string_view proof) {
  return halvo::SmallString(
      concat("Invariant violation: ", invariant, " (", proof, ")"));
}

halvo::SmallString constraint_exceeded_reason(
    halvo_compiler::ast::nodes::ConstraintKind kind, std::uint64_t current,
    std::uint64_t window_ms, std::uint64_t limit) {
  return halvo::SmallString(concat(variant_name(kind), " exceeded: ", current,
                                   " events in ", window_ms,
                                   "ms window (limit: ", limit, ")"));
}

std::string status_policy_line(
    std::string_view policy_name,
    halvo_compiler::ast::nodes::SeverityLevel severity) {
  return concat("Policy: ", policy_name, " (", variant_name(severity), ")");
}

std::string status_rules_line(std::uint64_t rule_count) {
  return concat("Rules: ", rule_count);
}

std::string status_machines_line(std::uint64_t machine_count,
                                 std::uint64_t active_count,
                                 std::uint64_t satisfied_count,
                                 std::uint64_t violated_count) {
  return concat("State machines: ", machine_count, " total (", active_count,
                " active, ", satisfied_count, " satisfied, ", violated_count,
                " violated)");
}

std::string status_constraints_line(std::uint64_t constraint_count) {
  return concat("Constraints: ", constraint_count);
}

std::string status_events_line(std::uint64_t event_count) {
  return concat("Events processed: ", event_count);
}

}  // namespace halvo_runtime::engine
