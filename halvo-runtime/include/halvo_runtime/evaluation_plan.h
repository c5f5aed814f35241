// EvaluationPlan: the expressions of a policy compiled once into a flat,
// cache-friendly form, evaluated without walking the tree.
//
// compile() turns one IRExpr into nodes of a single array (children before
// their parent) and returns the id of its root. While compiling it
//   - builds every literal, and every list of literals, once into a
//     constant pool; evaluation borrows them and never copies them;
//   - resolves function and method names to codes;
//   - classifies a constant Matches pattern (exact, prefix, suffix,
//     substring) once;
//   - specialises the common shapes: an event field compared with a
//     constant, a predicate of an event field and a constant, In over a
//     constant list (a keyed set for a list of strings), len of an event
//     field, a constant string joined to an event field, an entry of the
//     whole event read by name (the event type, as `.type()`).
// A quantifier over a String's split (`any(w in cmd.split(" "), ...)`)
// tests each piece as it is cut, with no list built (methods.h).
// Decision trees are left to the tree evaluator (decision_tree.h).
//
// Evaluation mirrors the tree evaluator (evaluator.h) exactly: the same
// order, short cuts and rules, through the same operator functions, so the
// two cannot drift apart; the tree evaluator stays the reference the plan
// is checked against. test() answers a bool without building a Value where
// the node is a test; operand() borrows a value that already exists in the
// event, the context, the configuration, a bound element or the constant
// pool.
//
//   EvaluationPlan plan;
//   const ExprId condition = plan.compile(*rule.condition);
//   ...
//   if (plan.test(condition, scope)) { ... }
//   Value argument = plan.value(argument_id, scope);
//
// The plan borrows the paths and decision trees of the expressions it
// compiled: they must outlive it (the engine keeps its policy).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "halvo/hash_map.h"
#include "halvo/small_string.h"
#include "halvo_compiler/ir/expr.h"
#include "halvo_runtime/eval_scope.h"
#include "halvo_runtime/event_field_use.h"
#include "halvo_runtime/pattern.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::eval {

using ExprId = std::uint32_t;
using event::Pattern;

class EvaluationPlan {
 public:
  EvaluationPlan() = default;
  EvaluationPlan(const EvaluationPlan&) = delete;
  EvaluationPlan& operator=(const EvaluationPlan&) = delete;
  EvaluationPlan(EvaluationPlan&&) noexcept = default;
  EvaluationPlan& operator=(EvaluationPlan&&) noexcept = default;

  // Numbers the event fields that expressions compiled from now on read by
  // the slots of `use` (borrowed; it must outlive the plan): an event whose
  // slots `use` bound (Event::bind_slots) has them read by slot, any other
  // event by name, with the same values.
  void use_field_slots(const event::EventFieldUse* use) noexcept {
    slot_use_ = use;
  }

  // Compiles `expr` and returns the id of its root node.
  ExprId compile(const halvo_compiler::ir::IRExpr& expr);

  // The truthiness of the value of `id`.
  bool test(ExprId id, const EvalScope& scope) const;

  // The value of `id`, borrowed where it exists already, else held in
  // `storage`. Valid while `storage`, the plan and the scope's data are.
  const Value& operand(ExprId id, const EvalScope& scope, Value& storage) const;

  // The value of `id`, owned: what eval() of the expression returns.
  Value value(ExprId id, const EvalScope& scope) const;

  std::size_t node_count() const noexcept { return nodes_.size(); }
  // The nodes as text, one line each in id order ("#2 And #0 #1"), for
  // tests and for reading what the compile made of an expression.
  std::string dump() const;
  // Heap bytes held by the plan (nodes, constants, lists, patterns, sets).
  std::size_t memory_bytes() const noexcept;

 private:
  // What a node does; the operands a, b, c are read as the comment says
  // (node ids unless named otherwise).
  enum class Op : std::uint8_t {
    Constant,        // a: constant
    Field,           // a: path below the event's fields
    WholeEvent,      // the event as a Map
    EventEntry,      // c: name; an entry of the whole event read by a
                     // method call without arguments that names no method
                     // (`.type()`), without building the whole event
    ContextEntry,    // a: path into the context map
    ConfigEntry,     // a: path into the configuration map
    WholeContext,    // a copy of the context map
    WholeConfig,     // a copy of the configuration map
    Local,           // a: local index
    And,             // a, b
    Or,              // a, b
    Implies,         // a, b
    Not,             // a
    Neg,             // a
    Test,            // sub: BinaryOp (Eq..Ge, In); a, b
    TestField,       // sub: BinaryOp; a: path; b: constant; c: 1 when the
                     // constant is the left operand
    InConstant,      // a: needle; b: constant list; c: string set or kNone
    Arithmetic,      // sub: BinaryOp (Add..Mod); a, b
    JoinField,       // a: constant; b: path; c: 1 when the constant is left
    Predicate,       // sub: PredicateKind; a: subject; b: argument
    PredicateField,  // sub: PredicateKind; a: path; b: constant argument
    Match,           // a: subject; b: pattern
    Quantifier,      // sub: QuantifierKind; a: collection; b: body
    Count,           // a: collection; b: filter or kNone
    Call,            // sub: Function; a: argument list
    LenField,        // a: path
    Method,          // sub: Method; a: object; b: argument list; c: name
    Tree,            // a: decision tree
    List             // a: item list
  };
  struct Node {
    Op op;
    std::uint8_t sub = 0;
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    std::uint32_t c = 0;
  };
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  struct MatchPattern {
    Pattern::Shape shape;
    halvo::SmallString text;
  };

  ExprId add(Node node);
  // A value in the constant pool, for a node that reads it directly (a
  // fused test or join); add_constant makes a Constant node of it.
  std::uint32_t add_pool_constant(Value value);
  ExprId add_constant(Value value);
  std::uint32_t add_path(const std::vector<halvo::SmallString>& fields);
  std::uint32_t add_list(const std::vector<halvo_compiler::ir::IRExpr>& items);
  ExprId compile_ref(const halvo_compiler::ir::RefPath& ref);
  ExprId compile_binary(const halvo_compiler::ir::BinaryExpr& binary);
  ExprId compile_predicate(const halvo_compiler::ir::PredicateExpr& predicate);
  ExprId compile_call(const halvo_compiler::ir::CallExpr& call);
  ExprId compile_method(const halvo_compiler::ir::MethodCallExpr& call);

  const Value& field(std::uint32_t path, const EvalScope& scope) const noexcept;
  bool test_quantifier(const Node& node, const EvalScope& scope) const;
  bool test_in_constant(const Node& node, const EvalScope& scope) const;
  Value count(const Node& node, const EvalScope& scope) const;
  Value call(const Node& node, const EvalScope& scope) const;
  Value method(const Node& node, const EvalScope& scope) const;
  Value list(const Node& node, const EvalScope& scope) const;

  std::vector<Node> nodes_;
  std::vector<Value> constants_;
  std::vector<event::Path> paths_;  // borrowed from the compiled trees
  // Per path, the slot of its first field under slot_use_, or kNone.
  std::vector<std::uint32_t> path_slots_;
  const event::EventFieldUse* slot_use_ = nullptr;
  std::vector<std::uint32_t> lists_;  // a count, then that many node ids
  std::vector<MatchPattern> patterns_;
  std::vector<halvo::HashMap<bool>> string_sets_;
  std::vector<halvo::SmallString> names_;  // method names, for Map entries
  std::vector<const halvo_compiler::ir::DecisionNode*> trees_;
};

}  // namespace halvo_runtime::eval
