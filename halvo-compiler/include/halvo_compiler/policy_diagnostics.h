// Diagnostics: mistakes that load without error but change what a policy
// does (a misspelt optional key, a state number outside its machine, a
// Timeout without a deadline, a regular expression where only the pattern
// shapes apply, ...), each with a stable code, a severity, a message and
// the path of the value concerned (policy_path.h).
//
//   std::vector<SkippedKey> skipped;
//   auto policy = read_policy(text, &skipped);
//   for (const Diagnostic& d : diagnose_policy(policy.value(), skipped)) {
//     show(d.code, d.path, d.message);   // "misspelt-key", "rules[0].condtion"
//   }
//
// The codes are listed in kDiagnosticCodes; each keeps its meaning and its
// severity for good. Diagnostics never stop a load: the engine runs every
// policy that reads. Order: the skipped keys in document order, then the
// rules, the constraints and the machines in policy order, each record's
// findings in the order of its fields. Nothing throws except
// std::bad_alloc.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "halvo_compiler/ir/policy.h"
#include "halvo_compiler/policy_reader.h"

namespace halvo_compiler {

enum class DiagnosticSeverity : std::uint8_t { Error, Warning, Info };

// "error", "warning" or "info".
std::string_view severity_name(DiagnosticSeverity severity) noexcept;

struct DiagnosticCode {
  std::string_view code;
  DiagnosticSeverity severity;
};

namespace diagnostic_codes {
// A skipped key close to a field of its record: most likely a typo.
inline constexpr DiagnosticCode kMisspeltKey{"misspelt-key",
                                             DiagnosticSeverity::Error};
// A skipped key that resembles no field (other tools may add keys).
inline constexpr DiagnosticCode kUnknownKey{"unknown-key",
                                            DiagnosticSeverity::Info};
inline constexpr DiagnosticCode kDuplicateRuleId{"duplicate-rule-id",
                                                 DiagnosticSeverity::Warning};
inline constexpr DiagnosticCode kRuleWithoutEffect{"rule-without-effect",
                                                   DiagnosticSeverity::Warning};
inline constexpr DiagnosticCode kRuleForEveryEvent{"rule-for-every-event",
                                                   DiagnosticSeverity::Info};
inline constexpr DiagnosticCode kPatternNotRegex{"pattern-not-regex",
                                                 DiagnosticSeverity::Warning};
inline constexpr DiagnosticCode kEventTypeField{"event-type-field",
                                                DiagnosticSeverity::Warning};
inline constexpr DiagnosticCode kUnboundLocal{"unbound-local",
                                              DiagnosticSeverity::Error};
inline constexpr DiagnosticCode kShadowedConstraint{"shadowed-constraint",
                                                    DiagnosticSeverity::Error};
inline constexpr DiagnosticCode kLimitNeverExceeded{
    "limit-never-exceeded", DiagnosticSeverity::Warning};
inline constexpr DiagnosticCode kZeroLimit{"zero-limit",
                                           DiagnosticSeverity::Info};
inline constexpr DiagnosticCode kZeroWindow{"zero-window",
                                            DiagnosticSeverity::Warning};
inline constexpr DiagnosticCode kStateOutOfRange{"state-out-of-range",
                                                 DiagnosticSeverity::Error};
inline constexpr DiagnosticCode kTimeoutWithoutDeadline{
    "timeout-without-deadline", DiagnosticSeverity::Error};
inline constexpr DiagnosticCode kUnreachableState{"unreachable-state",
                                                  DiagnosticSeverity::Warning};
inline constexpr DiagnosticCode kNeverViolates{"never-violates",
                                               DiagnosticSeverity::Warning};
inline constexpr DiagnosticCode kDuplicateMachineId{
    "duplicate-machine-id", DiagnosticSeverity::Warning};
}  // namespace diagnostic_codes

// Every code, in the order of the README's table.
inline constexpr DiagnosticCode kDiagnosticCodes[] = {
    diagnostic_codes::kMisspeltKey,
    diagnostic_codes::kUnknownKey,
    diagnostic_codes::kDuplicateRuleId,
    diagnostic_codes::kRuleWithoutEffect,
    diagnostic_codes::kRuleForEveryEvent,
    diagnostic_codes::kPatternNotRegex,
    diagnostic_codes::kEventTypeField,
    diagnostic_codes::kUnboundLocal,
    diagnostic_codes::kShadowedConstraint,
    diagnostic_codes::kLimitNeverExceeded,
    diagnostic_codes::kZeroLimit,
    diagnostic_codes::kZeroWindow,
    diagnostic_codes::kStateOutOfRange,
    diagnostic_codes::kTimeoutWithoutDeadline,
    diagnostic_codes::kUnreachableState,
    diagnostic_codes::kNeverViolates,
    diagnostic_codes::kDuplicateMachineId,
};

struct Diagnostic {
  DiagnosticCode code;
  std::string message;
  std::string path;  // e.g. "state_machines[0].transitions[2].to"
};

std::vector<Diagnostic> diagnose_policy(const ir::CompiledPolicy& policy,
                                        std::span<const SkippedKey> skipped);

}  // namespace halvo_compiler
