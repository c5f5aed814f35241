// The shape of every record and enumeration of the policy model in JSON:
// field names in declared order (also the array-form order), their types
// and whether they must be given; variant names and what each carries.
//
// This is the one description that the reader (policy_reader.cc), the
// writer (policy_writer.cc) and the paths of load errors and diagnostics
// (policy_path.h) are driven by. A record's fields are addressed by their
// position in its shape; the reader and the writer map each position to a
// member of the in-memory record, in the same order.
//
//   const schema::RecordShape& s = schema::kRule;
//   s.fields[2].name;        // "condition"
//   s.fields[2].required;    // false
//   s.find("verdicts");      // 3
//   s.expectation();         // "struct CompiledRule"
//
// The language enumerations without payload (Verdict, BinaryOp, ...) take
// their names from ast::nodes::variant_names<E>().
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace halvo_compiler::schema {

// One field of a record. `type` is the type word of the data model
// ("u32", "optional IRExpr", "list of CompiledRule"), shown in diagnostics.
struct Field {
  std::string_view name;
  std::string_view type;
  bool required;
};

struct RecordShape {
  std::string_view enumeration;  // "IRExpr" for the fields of a variant
  std::string_view name;         // record or variant name
  std::span<const Field> fields;
  std::uint32_t required = 0;  // bit i set: field i must be given

  constexpr RecordShape(std::string_view enumeration_name,
                        std::string_view record_name,
                        std::span<const Field> record_fields)
      : enumeration(enumeration_name),
        name(record_name),
        fields(record_fields) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].required) required |= std::uint32_t{1} << i;
    }
  }

  // The position of the field named `key`, or fields.size().
  constexpr std::size_t find(std::string_view key) const {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].name == key) return i;
    }
    return fields.size();
  }
  // "struct {name}" or "struct variant {enumeration}::{name}".
  std::string expectation() const;
  // The same followed by " with {n} elements".
  std::string length_expectation() const;
  // "CompiledRule" or "IRExpr::Binary", for diagnostics.
  std::string display_name() const;
};

// What a variant carries.
enum class Payload : std::uint8_t { kNone, kValue, kFields };

struct EnumShape {
  std::span<const std::string_view> variants;
  std::span<const Payload> payloads;  // empty: no variant carries anything

  Payload payload(std::size_t index) const {
    return payloads.empty() ? Payload::kNone : payloads[index];
  }
};

// --- expressions -------------------------------------------------------------

inline constexpr Field kDurationFields[] = {{"value", "u64", true},
                                            {"unit", "DurationUnit", true}};
inline constexpr RecordShape kDuration{"", "DurationLit", kDurationFields};

inline constexpr std::string_view kLiteralVariants[] = {
    "Bool", "Int", "Float", "String", "Duration", "Regex"};
inline constexpr Payload kLiteralPayloads[] = {
    Payload::kValue, Payload::kValue, Payload::kValue,
    Payload::kValue, Payload::kValue, Payload::kValue};
inline constexpr EnumShape kLiteral{kLiteralVariants, kLiteralPayloads};

inline constexpr std::string_view kRootVariants[] = {"Event", "Context",
                                                     "Local", "Policy"};
inline constexpr Payload kRootPayloads[] = {Payload::kNone, Payload::kNone,
                                            Payload::kValue, Payload::kNone};
inline constexpr EnumShape kRoot{kRootVariants, kRootPayloads};

inline constexpr Field kRefPathFields[] = {{"root", "RefRoot", true},
                                           {"fields", "list of string", true}};
inline constexpr RecordShape kRefPath{"", "RefPath", kRefPathFields};

inline constexpr Field kBinaryFields[] = {{"op", "BinaryOp", true},
                                          {"left", "IRExpr", true},
                                          {"right", "IRExpr", true}};
inline constexpr RecordShape kBinary{"IRExpr", "Binary", kBinaryFields};

inline constexpr Field kUnaryFields[] = {{"op", "UnaryOp", true},
                                         {"operand", "IRExpr", true}};
inline constexpr RecordShape kUnary{"IRExpr", "Unary", kUnaryFields};

inline constexpr Field kPredicateFields[] = {{"kind", "PredicateKind", true},
                                             {"subject", "IRExpr", true},
                                             {"argument", "IRExpr", true}};
inline constexpr RecordShape kPredicate{"IRExpr", "Predicate",
                                        kPredicateFields};

inline constexpr Field kQuantifierFields[] = {{"kind", "QuantifierKind", true},
                                              {"collection", "IRExpr", true},
                                              {"param", "string", true},
                                              {"body", "IRExpr", true}};
inline constexpr RecordShape kQuantifier{"IRExpr", "Quantifier",
                                         kQuantifierFields};

inline constexpr Field kCountFields[] = {{"collection", "IRExpr", true},
                                         {"param", "optional string", false},
                                         {"filter", "optional IRExpr", false}};
inline constexpr RecordShape kCount{"IRExpr", "Count", kCountFields};

inline constexpr Field kCallFields[] = {{"function", "string", true},
                                        {"args", "list of IRExpr", true}};
inline constexpr RecordShape kCall{"IRExpr", "Call", kCallFields};

inline constexpr Field kMethodCallFields[] = {{"object", "IRExpr", true},
                                              {"method", "string", true},
                                              {"args", "list of IRExpr", true}};
inline constexpr RecordShape kMethodCall{"IRExpr", "MethodCall",
                                         kMethodCallFields};

inline constexpr std::string_view kExprVariants[] = {
    "Literal", "Ref",  "Binary",     "Unary",        "Predicate", "Quantifier",
    "Count",   "Call", "MethodCall", "DecisionTree", "List"};
inline constexpr Payload kExprPayloads[] = {
    Payload::kValue,  Payload::kValue,  Payload::kFields, Payload::kFields,
    Payload::kFields, Payload::kFields, Payload::kFields, Payload::kFields,
    Payload::kFields, Payload::kValue,  Payload::kValue};
inline constexpr EnumShape kExpr{kExprVariants, kExprPayloads};

// --- verdicts and decision trees
// ----------------------------------------------

inline constexpr Field kVerdictFields[] = {
    {"verdict", "Verdict", true}, {"message", "optional IRExpr", false}};
inline constexpr RecordShape kVerdict{"", "IRVerdict", kVerdictFields};

inline constexpr std::string_view kCaseTestVariants[] = {
    "Literal", "Constructor", "Guard"};
inline constexpr Payload kCaseTestPayloads[] = {
    Payload::kValue, Payload::kValue, Payload::kValue};
inline constexpr EnumShape kCaseTest{kCaseTestVariants, kCaseTestPayloads};

inline constexpr Field kCaseFields[] = {{"test", "CaseTest", true},
                                        {"body", "DecisionNode", true}};
inline constexpr RecordShape kCase{"", "DecisionCase", kCaseFields};

inline constexpr Field kSwitchFields[] = {
    {"subject", "IRExpr", true},
    {"cases", "list of DecisionCase", true},
    {"default", "optional DecisionNode", false}};
inline constexpr RecordShape kSwitch{"DecisionNode", "Switch", kSwitchFields};

inline constexpr std::string_view kNodeVariants[] = {"Switch", "Leaf",
                                                     "VerdictLeaf"};
inline constexpr Payload kNodePayloads[] = {Payload::kFields, Payload::kValue,
                                            Payload::kValue};
inline constexpr EnumShape kNode{kNodeVariants, kNodePayloads};

// --- policy records
// -------------------------------------------------------------

inline constexpr Field kActionFields[] = {
    {"verb", "ActionVerb", true},
    {"args", "list of pair (string, IRExpr)", true}};
inline constexpr RecordShape kAction{"", "IRAction", kActionFields};

inline constexpr Field kRuleFields[] = {
    {"id", "u32", true},
    {"on_events", "list of string", true},
    {"condition", "optional IRExpr", false},
    {"verdicts", "list of IRVerdict", true},
    {"actions", "list of IRAction", true},
    {"severity", "optional SeverityLevel", false}};
inline constexpr RecordShape kRule{"", "CompiledRule", kRuleFields};

inline constexpr Field kConstraintFields[] = {{"kind", "ConstraintKind", true},
                                              {"target", "string", true},
                                              {"limit", "u64", true},
                                              {"window_millis", "u64", true}};
inline constexpr RecordShape kConstraint{"", "CompiledConstraint",
                                         kConstraintFields};

inline constexpr Field kStateFields[] = {{"id", "u32", true},
                                         {"label", "string", true},
                                         {"kind", "StateKind", true}};
inline constexpr RecordShape kState{"", "State", kStateFields};

inline constexpr std::string_view kGuardVariants[] = {
    "Predicate", "NegatedPredicate", "Timeout", "Always"};
inline constexpr Payload kGuardPayloads[] = {Payload::kValue, Payload::kValue,
                                             Payload::kNone, Payload::kNone};
inline constexpr EnumShape kGuard{kGuardVariants, kGuardPayloads};

inline constexpr Field kTransitionFields[] = {
    {"from", "u32", true},
    {"to", "u32", true},
    {"guard", "TransitionGuard", true}};
inline constexpr RecordShape kTransition{"", "Transition", kTransitionFields};

inline constexpr Field kMachineFields[] = {
    {"id", "u32", true},
    {"name", "string", true},
    {"invariant_name", "string", true},
    {"kind", "TemporalKind", true},
    {"states", "list of State", true},
    {"transitions", "list of Transition", true},
    {"initial_state", "u32", true},
    {"accepting_states", "list of u32", true},
    {"violating_states", "list of u32", true},
    {"deadline_millis", "optional u64", false}};
inline constexpr RecordShape kMachine{"", "StateMachine", kMachineFields};

inline constexpr Field kMetadataFields[] = {
    {"annotations", "list of pair (string, string)", true},
    {"source_hash", "u64", true},
    {"compiler_version", "string", true}};
inline constexpr RecordShape kMetadata{"", "PolicyMetadata", kMetadataFields};

inline constexpr Field kPolicyFields[] = {
    {"name", "string", true},
    {"severity", "SeverityLevel", true},
    {"scopes", "list of string", true},
    {"rules", "list of CompiledRule", true},
    {"constraints", "list of CompiledConstraint", true},
    {"state_machines", "list of StateMachine", true},
    {"metadata", "PolicyMetadata", true}};
inline constexpr RecordShape kPolicy{"", "CompiledPolicy", kPolicyFields};

}  // namespace halvo_compiler::schema
