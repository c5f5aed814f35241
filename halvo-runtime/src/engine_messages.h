// The texts the engine hands to its host: violation messages, reasons and
// the lines of the status summary. Every such text is written here and only
// here.
//
//   SmallString reason = invariant_violation_reason("no_exfil", "guard");
//   // "Invariant violation: no_exfil (guard)"
//
// Names are inserted unchanged; numbers as plain decimal integers. The
// functions cannot fail (only memory exhaustion throws).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "halvo/small_string.h"
#include "halvo_compiler/ast/nodes.h"

namespace halvo_runtime::engine {

// "Invariant `{invariant}` in proof `{proof}` violated by event
// `{event_type}`": the message of a violation caused by the current event.
halvo::SmallString violated_by_event_message(std::string_view invariant,
                                             std::string_view proof,
                                             std::string_view event_type);

// "Invariant `{invariant}` in proof `{proof}` is violated": the message of a
// machine that already rests in a violating state.
halvo::SmallString still_violated_message(std::string_view invariant,
                                          std::string_view proof);

// "Invariant violation: {invariant} ({proof})": the reason of a result whose
// verdict a new violation turned into Deny.
halvo::SmallString invariant_violation_reason(std::string_view invariant,
                                              std::string_view proof);

// "{kind} exceeded: {current} events in {window_ms}ms window (limit:
// {limit})", with {kind} "RateLimit" or "Quota".
halvo::SmallString constraint_exceeded_reason(
    halvo_compiler::ast::nodes::ConstraintKind kind, std::uint64_t current,
    std::uint64_t window_ms, std::uint64_t limit);

// The five lines of the status summary, without their line feeds.
std::string status_policy_line(
    std::string_view policy_name,
    halvo_compiler::ast::nodes::SeverityLevel severity);
std::string status_rules_line(std::uint64_t rule_count);
std::string status_machines_line(std::uint64_t machine_count,
                                 std::uint64_t active_count,
                                 std::uint64_t satisfied_count,
                                 std::uint64_t violated_count);
std::string status_constraints_line(std::uint64_t constraint_count);
std::string status_events_line(std::uint64_t event_count);

}  // namespace halvo_runtime::engine
