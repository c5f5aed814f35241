#include "halvo_runtime/evaluator.h"

// The tree walk: each IRExpr node evaluated under a scope, the operands
// combined by the operator library (operators.h), calls handed to the
// functions and methods, and decision trees walked here, their cases
// answered by decision_tree.h. The operators and the case matching never
// call back into the walk; a call's arguments are evaluated by the walk
// (arguments.h) before the function or method sees their values.

#include <cstdint>
#include <variant>

#include "decision_tree.h"
#include "functions.h"
#include "methods.h"
#include "operand.h"
#include "operators.h"

namespace halvo_runtime::eval {
namespace {

using event::Path;
using event::ValueList;
using halvo_compiler::ir::BinaryExpr;
using halvo_compiler::ir::BinaryOp;
using halvo_compiler::ir::CallExpr;
using halvo_compiler::ir::CountExpr;
using halvo_compiler::ir::DecisionCase;
using halvo_compiler::ir::DecisionNode;
using halvo_compiler::ir::IRExpr;
using halvo_compiler::ir::LeafNode;
using halvo_compiler::ir::ListExpr;
using halvo_compiler::ir::Literal;
using halvo_compiler::ir::MethodCallExpr;
using halvo_compiler::ir::PredicateExpr;
using halvo_compiler::ir::QuantifierExpr;
using halvo_compiler::ir::QuantifierKind;
using halvo_compiler::ir::RefPath;
using halvo_compiler::ir::RefRoot;
using halvo_compiler::ir::SwitchNode;
using halvo_compiler::ir::UnaryExpr;
using halvo_compiler::ir::UnaryOp;
using halvo_compiler::ir::VerdictLeafNode;
using Kind = Value::Kind;

// --- references ------------------------------------------------------------

const Value& resolve_ref(const RefPath& ref, const EvalScope& scope,
                         Value& storage) {
  const Value* found = nullptr;
  switch (ref.root.kind) {
    case RefRoot::Kind::Event:
      if (ref.fields.empty()) return scope.event.to_value();
      found = scope.event.get_field(ref.fields);
      break;
    case RefRoot::Kind::Context:
    case RefRoot::Kind::Policy: {
      const ValueMap& map = ref.root.kind == RefRoot::Kind::Context
                                ? scope.context
                                : scope.config;
      if (ref.fields.empty()) {
        storage = Value::map(map);
        return storage;
      }
      found = find_in_map(map, ref.fields);
      break;
    }
    case RefRoot::Kind::Local:
      // The path below a local is not consulted: the whole element is meant.
      found = scope.locals.find(ref.root.local_index);
      break;
  }
  if (found != nullptr) return *found;
  storage = Value::null();
  return storage;
}

// --- decision trees --------------------------------------------------------

// The node a switch leads to: the body of the first matching case, else
// the default; nullptr when neither exists.
const DecisionNode* choose(const SwitchNode& node, const EvalScope& scope) {
  Value storage;
  const Value& subject = eval_operand(node.subject, scope, storage);
  for (const DecisionCase& c : node.cases) {
    switch (case_match(c.test, subject)) {
      case CaseMatch::kYes:
        return c.body.get();
      case CaseMatch::kNo:
        break;
      case CaseMatch::kGuard:
        // A guard sees the tree's scope; the subject is not bound for it.
        if (eval_truthy(std::get<IRExpr>(c.test.test), scope)) {
          return c.body.get();
        }
        break;
    }
  }
  return node.default_node ? node.default_node->get() : nullptr;
}

// --- nodes -----------------------------------------------------------------

Value eval_node(const Literal& literal, const EvalScope&) {
  return eval_literal(literal);
}

Value eval_node(const RefPath& ref, const EvalScope& scope) {
  Value storage;
  const Value& found = resolve_ref(ref, scope, storage);
  if (&found == &storage) return storage;
  return found;
}

Value eval_node(const BinaryExpr& binary, const EvalScope& scope) {
  const IRExpr& left = *binary.left;
  const IRExpr& right = *binary.right;
  switch (binary.op) {
    case BinaryOp::And:
      return Value::boolean(eval_truthy(left, scope) &&
                            eval_truthy(right, scope));
    case BinaryOp::Or:
      return Value::boolean(eval_truthy(left, scope) ||
                            eval_truthy(right, scope));
    case BinaryOp::Implies:
      return Value::boolean(!eval_truthy(left, scope) ||
                            eval_truthy(right, scope));
    default: {
      Value left_storage;
      Value right_storage;
      const Value& a = eval_operand(left, scope, left_storage);
      const Value& b = eval_operand(right, scope, right_storage);
      return combine(binary.op, a, b);
    }
  }
}

Value eval_node(const UnaryExpr& unary, const EvalScope& scope) {
  if (unary.op == UnaryOp::Not) {
    return Value::boolean(!eval_truthy(*unary.operand, scope));
  }
  Value storage;
  return negate(eval_operand(*unary.operand, scope, storage));
}

Value eval_node(const PredicateExpr& predicate, const EvalScope& scope) {
  Value subject_storage;
  Value argument_storage;
  const Value& subject =
      eval_operand(*predicate.subject, scope, subject_storage);
  const Value& argument =
      eval_operand(*predicate.argument, scope, argument_storage);
  return Value::boolean(test_predicate(predicate.kind, subject, argument));
}

Value eval_node(const QuantifierExpr& quantifier, const EvalScope& scope) {
  const QuantifierKind kind = quantifier.kind;
  Value storage;
  const Value& collection =
      eval_operand(*quantifier.collection, scope, storage);
  if (collection.kind() != Kind::List) {
    return Value::boolean(kind == QuantifierKind::None);
  }
  // All is decided by the first falsy body, the others by the first truthy.
  const bool deciding = kind != QuantifierKind::All;
  for (const Value& item : collection.list_items()) {
    if (eval_truthy(*quantifier.body, scope.with_element(item)) == deciding) {
      return Value::boolean(kind == QuantifierKind::Any ||
                            kind == QuantifierKind::Exists);
    }
  }
  return Value::boolean(kind == QuantifierKind::All ||
                        kind == QuantifierKind::None);
}

Value eval_node(const CountExpr& count, const EvalScope& scope) {
  Value storage;
  const Value& collection = eval_operand(*count.collection, scope, storage);
  if (collection.kind() != Kind::List) return Value::integer(0);
  const ValueList& items = collection.list_items();
  if (!count.filter)
    return Value::integer(static_cast<std::int64_t>(items.size()));
  std::int64_t matching = 0;
  for (const Value& item : items) {
    if (eval_truthy(**count.filter, scope.with_element(item))) ++matching;
  }
  return Value::integer(matching);
}

Value eval_node(const CallExpr& call, const EvalScope& scope) {
  return call_function(call, scope);
}

Value eval_node(const MethodCallExpr& call, const EvalScope& scope) {
  return call_method(call, scope);
}

Value eval_node(const halvo::Box<DecisionNode>& tree, const EvalScope& scope) {
  return eval_decision_tree(*tree, scope);
}

Value eval_node(const ListExpr& list, const EvalScope& scope) {
  ValueList items;
  items.reserve(list.items.size());
  for (const IRExpr& item : list.items) items.push_back(eval(item, scope));
  return Value::list(std::move(items));
}

}  // namespace

Value eval(const IRExpr& expr, const EvalScope& scope) {
  return std::visit(
      [&scope](const auto& node) { return eval_node(node, scope); }, expr.node);
}

const Value& eval_operand(const IRExpr& expr, const EvalScope& scope,
                          Value& storage) {
  if (const auto* ref = std::get_if<RefPath>(&expr.node)) {
    return resolve_ref(*ref, scope, storage);
  }
  storage = eval(expr, scope);
  return storage;
}

bool eval_truthy(const IRExpr& expr, const EvalScope& scope) {
  Value storage;
  return eval_operand(expr, scope, storage).is_truthy();
}

Value eval_decision_tree(const DecisionNode& node, const EvalScope& scope) {
  // Switches are followed in a loop rather than by recursion, so a deep
  // chain of switches costs no stack.
  const DecisionNode* current = &node;
  while (const auto* node_switch = std::get_if<SwitchNode>(&current->node)) {
    current = choose(*node_switch, scope);
    if (current == nullptr) return Value::null();
  }
  if (const auto* leaf = std::get_if<LeafNode>(&current->node)) {
    return eval(leaf->expr, scope);
  }
  return verdict_leaf_value(std::get<VerdictLeafNode>(current->node));
}

}  // namespace halvo_runtime::eval
