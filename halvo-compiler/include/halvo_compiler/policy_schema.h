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
// Beside each table, a namespace named after the record (or enumeration)
// holds the positions by name (`schema::rule::kCondition`), and a
// static_assert ties their count to the table's size: code addresses a field
// or variant by its name, never by a bare number, and switching over a
// `Position` without default makes the compiler point at every switch a new
// field must be added to.
//
//   const schema::RecordShape& s = schema::kRule;
//   s.fields[schema::rule::kCondition].name;      // "condition"
//   s.fields[schema::rule::kCondition].required;  // false
//   s.find("verdicts");                           // schema::rule::kVerdicts
//   s.expectation();                              // "struct CompiledRule"
//
// The language enumerations without payload (Verdict, BinaryOp, ...) take
// their names from ast::nodes::variant_names<E>().
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
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
namespace duration {
enum Position : std::size_t { kValue, kUnit };
inline constexpr std::size_t kSize = kUnit + 1;
}  // namespace duration
static_assert(std::size(kDurationFields) == duration::kSize);
inline constexpr RecordShape kDuration{"", "DurationLit", kDurationFields};

inline constexpr std::string_view kLiteralVariants[] = {
    "Bool", "Int", "Float", "String", "Duration", "Regex"};
namespace literal {
enum Position : std::size_t { kBool, kInt, kFloat, kString, kDuration, kRegex };
inline constexpr std::size_t kSize = kRegex + 1;
}  // namespace literal
static_assert(std::size(kLiteralVariants) == literal::kSize);
inline constexpr Payload kLiteralPayloads[] = {
    Payload::kValue, Payload::kValue, Payload::kValue,
    Payload::kValue, Payload::kValue, Payload::kValue};
inline constexpr EnumShape kLiteral{kLiteralVariants, kLiteralPayloads};

inline constexpr std::string_view kRootVariants[] = {"Event", "Context",
                                                     "Local", "Policy"};
namespace root {
enum Position : std::size_t { kEvent, kContext, kLocal, kPolicy };
inline constexpr std::size_t kSize = kPolicy + 1;
}  // namespace root
static_assert(std::size(kRootVariants) == root::kSize);
inline constexpr Payload kRootPayloads[] = {Payload::kNone, Payload::kNone,
                                            Payload::kValue, Payload::kNone};
inline constexpr EnumShape kRoot{kRootVariants, kRootPayloads};

inline constexpr Field kRefPathFields[] = {{"root", "RefRoot", true},
                                           {"fields", "list of string", true}};
namespace ref_path {
enum Position : std::size_t { kRoot, kFields };
inline constexpr std::size_t kSize = kFields + 1;
}  // namespace ref_path
static_assert(std::size(kRefPathFields) == ref_path::kSize);
inline constexpr RecordShape kRefPath{"", "RefPath", kRefPathFields};

inline constexpr Field kBinaryFields[] = {{"op", "BinaryOp", true},
                                          {"left", "IRExpr", true},
                                          {"right", "IRExpr", true}};
namespace binary {
enum Position : std::size_t { kOp, kLeft, kRight };
inline constexpr std::size_t kSize = kRight + 1;
}  // namespace binary
static_assert(std::size(kBinaryFields) == binary::kSize);
inline constexpr RecordShape kBinary{"IRExpr", "Binary", kBinaryFields};

inline constexpr Field kUnaryFields[] = {{"op", "UnaryOp", true},
                                         {"operand", "IRExpr", true}};
namespace unary {
enum Position : std::size_t { kOp, kOperand };
inline constexpr std::size_t kSize = kOperand + 1;
}  // namespace unary
static_assert(std::size(kUnaryFields) == unary::kSize);
inline constexpr RecordShape kUnary{"IRExpr", "Unary", kUnaryFields};

inline constexpr Field kPredicateFields[] = {{"kind", "PredicateKind", true},
                                             {"subject", "IRExpr", true},
                                             {"argument", "IRExpr", true}};
namespace predicate {
enum Position : std::size_t { kKind, kSubject, kArgument };
inline constexpr std::size_t kSize = kArgument + 1;
}  // namespace predicate
static_assert(std::size(kPredicateFields) == predicate::kSize);
inline constexpr RecordShape kPredicate{"IRExpr", "Predicate",
                                        kPredicateFields};

inline constexpr Field kQuantifierFields[] = {{"kind", "QuantifierKind", true},
                                              {"collection", "IRExpr", true},
                                              {"param", "string", true},
                                              {"body", "IRExpr", true}};
namespace quantifier {
enum Position : std::size_t { kKind, kCollection, kParam, kBody };
inline constexpr std::size_t kSize = kBody + 1;
}  // namespace quantifier
static_assert(std::size(kQuantifierFields) == quantifier::kSize);
inline constexpr RecordShape kQuantifier{"IRExpr", "Quantifier",
                                         kQuantifierFields};

inline constexpr Field kCountFields[] = {{"collection", "IRExpr", true},
                                         {"param", "optional string", false},
                                         {"filter", "optional IRExpr", false}};
namespace count {
enum Position : std::size_t { kCollection, kParam, kFilter };
inline constexpr std::size_t kSize = kFilter + 1;
}  // namespace count
static_assert(std::size(kCountFields) == count::kSize);
inline constexpr RecordShape kCount{"IRExpr", "Count", kCountFields};

inline constexpr Field kCallFields[] = {{"function", "string", true},
                                        {"args", "list of IRExpr", true}};
namespace call {
enum Position : std::size_t { kFunction, kArgs };
inline constexpr std::size_t kSize = kArgs + 1;
}  // namespace call
static_assert(std::size(kCallFields) == call::kSize);
inline constexpr RecordShape kCall{"IRExpr", "Call", kCallFields};

inline constexpr Field kMethodCallFields[] = {{"object", "IRExpr", true},
                                              {"method", "string", true},
                                              {"args", "list of IRExpr", true}};
namespace method_call {
enum Position : std::size_t { kObject, kMethod, kArgs };
inline constexpr std::size_t kSize = kArgs + 1;
}  // namespace method_call
static_assert(std::size(kMethodCallFields) == method_call::kSize);
inline constexpr RecordShape kMethodCall{"IRExpr", "MethodCall",
                                         kMethodCallFields};

inline constexpr std::string_view kExprVariants[] = {
    "Literal", "Ref",  "Binary",     "Unary",        "Predicate", "Quantifier",
    "Count",   "Call", "MethodCall", "DecisionTree", "List"};
namespace expr {
enum Position : std::size_t {
  kLiteral,
  kRef,
  kBinary,
  kUnary,
  kPredicate,
  kQuantifier,
  kCount,
  kCall,
  kMethodCall,
  kDecisionTree,
  kList
};
inline constexpr std::size_t kSize = kList + 1;
}  // namespace expr
static_assert(std::size(kExprVariants) == expr::kSize);
inline constexpr Payload kExprPayloads[] = {
    Payload::kValue,  Payload::kValue,  Payload::kFields, Payload::kFields,
    Payload::kFields, Payload::kFields, Payload::kFields, Payload::kFields,
    Payload::kFields, Payload::kValue,  Payload::kValue};
inline constexpr EnumShape kExpr{kExprVariants, kExprPayloads};

// --- verdicts and decision trees
// ----------------------------------------------

inline constexpr Field kVerdictFields[] = {
    {"verdict", "Verdict", true}, {"message", "optional IRExpr", false}};
namespace verdict {
enum Position : std::size_t { kVerdict, kMessage };
inline constexpr std::size_t kSize = kMessage + 1;
}  // namespace verdict
static_assert(std::size(kVerdictFields) == verdict::kSize);
inline constexpr RecordShape kVerdict{"", "IRVerdict", kVerdictFields};

inline constexpr std::string_view kCaseTestVariants[] = {
    "Literal", "Constructor", "Guard"};
namespace case_test {
enum Position : std::size_t { kLiteral, kConstructor, kGuard };
inline constexpr std::size_t kSize = kGuard + 1;
}  // namespace case_test
static_assert(std::size(kCaseTestVariants) == case_test::kSize);
inline constexpr Payload kCaseTestPayloads[] = {
    Payload::kValue, Payload::kValue, Payload::kValue};
inline constexpr EnumShape kCaseTest{kCaseTestVariants, kCaseTestPayloads};

inline constexpr Field kCaseFields[] = {{"test", "CaseTest", true},
                                        {"body", "DecisionNode", true}};
namespace decision_case {
enum Position : std::size_t { kTest, kBody };
inline constexpr std::size_t kSize = kBody + 1;
}  // namespace decision_case
static_assert(std::size(kCaseFields) == decision_case::kSize);
inline constexpr RecordShape kCase{"", "DecisionCase", kCaseFields};

inline constexpr Field kSwitchFields[] = {
    {"subject", "IRExpr", true},
    {"cases", "list of DecisionCase", true},
    {"default", "optional DecisionNode", false}};
namespace switch_node {
enum Position : std::size_t { kSubject, kCases, kDefault };
inline constexpr std::size_t kSize = kDefault + 1;
}  // namespace switch_node
static_assert(std::size(kSwitchFields) == switch_node::kSize);
inline constexpr RecordShape kSwitch{"DecisionNode", "Switch", kSwitchFields};

inline constexpr std::string_view kNodeVariants[] = {"Switch", "Leaf",
                                                     "VerdictLeaf"};
namespace node {
enum Position : std::size_t { kSwitch, kLeaf, kVerdictLeaf };
inline constexpr std::size_t kSize = kVerdictLeaf + 1;
}  // namespace node
static_assert(std::size(kNodeVariants) == node::kSize);
inline constexpr Payload kNodePayloads[] = {Payload::kFields, Payload::kValue,
                                            Payload::kValue};
inline constexpr EnumShape kNode{kNodeVariants, kNodePayloads};

// --- policy records
// -------------------------------------------------------------

inline constexpr Field kActionFields[] = {
    {"verb", "ActionVerb", true},
    {"args", "list of pair (string, IRExpr)", true}};
namespace action {
enum Position : std::size_t { kVerb, kArgs };
inline constexpr std::size_t kSize = kArgs + 1;
}  // namespace action
static_assert(std::size(kActionFields) == action::kSize);
inline constexpr RecordShape kAction{"", "IRAction", kActionFields};

inline constexpr Field kRuleFields[] = {
    {"id", "u32", true},
    {"on_events", "list of string", true},
    {"condition", "optional IRExpr", false},
    {"verdicts", "list of IRVerdict", true},
    {"actions", "list of IRAction", true},
    {"severity", "optional SeverityLevel", false}};
namespace rule {
enum Position : std::size_t {
  kId,
  kOnEvents,
  kCondition,
  kVerdicts,
  kActions,
  kSeverity
};
inline constexpr std::size_t kSize = kSeverity + 1;
}  // namespace rule
static_assert(std::size(kRuleFields) == rule::kSize);
inline constexpr RecordShape kRule{"", "CompiledRule", kRuleFields};

inline constexpr Field kConstraintFields[] = {{"kind", "ConstraintKind", true},
                                              {"target", "string", true},
                                              {"limit", "u64", true},
                                              {"window_millis", "u64", true}};
namespace constraint {
enum Position : std::size_t { kKind, kTarget, kLimit, kWindowMillis };
inline constexpr std::size_t kSize = kWindowMillis + 1;
}  // namespace constraint
static_assert(std::size(kConstraintFields) == constraint::kSize);
inline constexpr RecordShape kConstraint{"", "CompiledConstraint",
                                         kConstraintFields};

inline constexpr Field kStateFields[] = {{"id", "u32", true},
                                         {"label", "string", true},
                                         {"kind", "StateKind", true}};
namespace state {
enum Position : std::size_t { kId, kLabel, kKind };
inline constexpr std::size_t kSize = kKind + 1;
}  // namespace state
static_assert(std::size(kStateFields) == state::kSize);
inline constexpr RecordShape kState{"", "State", kStateFields};

inline constexpr std::string_view kGuardVariants[] = {
    "Predicate", "NegatedPredicate", "Timeout", "Always"};
namespace guard {
enum Position : std::size_t {
  kPredicate,
  kNegatedPredicate,
  kTimeout,
  kAlways
};
inline constexpr std::size_t kSize = kAlways + 1;
}  // namespace guard
static_assert(std::size(kGuardVariants) == guard::kSize);
inline constexpr Payload kGuardPayloads[] = {Payload::kValue, Payload::kValue,
                                             Payload::kNone, Payload::kNone};
inline constexpr EnumShape kGuard{kGuardVariants, kGuardPayloads};

inline constexpr Field kTransitionFields[] = {
    {"from", "u32", true},
    {"to", "u32", true},
    {"guard", "TransitionGuard", true}};
namespace transition {
enum Position : std::size_t { kFrom, kTo, kGuard };
inline constexpr std::size_t kSize = kGuard + 1;
}  // namespace transition
static_assert(std::size(kTransitionFields) == transition::kSize);
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
namespace machine {
enum Position : std::size_t {
  kId,
  kName,
  kInvariantName,
  kKind,
  kStates,
  kTransitions,
  kInitialState,
  kAcceptingStates,
  kViolatingStates,
  kDeadlineMillis
};
inline constexpr std::size_t kSize = kDeadlineMillis + 1;
}  // namespace machine
static_assert(std::size(kMachineFields) == machine::kSize);
inline constexpr RecordShape kMachine{"", "StateMachine", kMachineFields};

inline constexpr Field kMetadataFields[] = {
    {"annotations", "list of pair (string, string)", true},
    {"source_hash", "u64", true},
    {"compiler_version", "string", true}};
namespace metadata {
enum Position : std::size_t { kAnnotations, kSourceHash, kCompilerVersion };
inline constexpr std::size_t kSize = kCompilerVersion + 1;
}  // namespace metadata
static_assert(std::size(kMetadataFields) == metadata::kSize);
inline constexpr RecordShape kMetadata{"", "PolicyMetadata", kMetadataFields};

inline constexpr Field kPolicyFields[] = {
    {"name", "string", true},
    {"severity", "SeverityLevel", true},
    {"scopes", "list of string", true},
    {"rules", "list of CompiledRule", true},
    {"constraints", "list of CompiledConstraint", true},
    {"state_machines", "list of StateMachine", true},
    {"metadata", "PolicyMetadata", true}};
namespace policy {
enum Position : std::size_t {
  kName,
  kSeverity,
  kScopes,
  kRules,
  kConstraints,
  kStateMachines,
  kMetadata
};
inline constexpr std::size_t kSize = kMetadata + 1;
}  // namespace policy
static_assert(std::size(kPolicyFields) == policy::kSize);
inline constexpr RecordShape kPolicy{"", "CompiledPolicy", kPolicyFields};

}  // namespace halvo_compiler::schema
