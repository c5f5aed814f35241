#include "halvo_runtime/decision_tree.h"

#include <variant>

#include "halvo_compiler/ast/nodes.h"
#include "halvo_runtime/evaluator.h"
#include "operand.h"

namespace halvo_runtime::eval {
namespace {

using halvo_compiler::ir::CaseTest;
using halvo_compiler::ir::ConstructorName;
using halvo_compiler::ir::DecisionCase;
using halvo_compiler::ir::DecisionNode;
using halvo_compiler::ir::IRExpr;
using halvo_compiler::ir::LeafNode;
using halvo_compiler::ir::Literal;
using halvo_compiler::ir::SwitchNode;
using halvo_compiler::ir::VerdictLeafNode;

// A String equal to the name, or a Map whose "type" entry is such a String.
bool constructor_matches(const Value& subject,
                         const halvo::SmallString& name) noexcept {
  const Value* tag = &subject;
  if (subject.kind() == Value::Kind::Map) {
    tag = subject.map_entries().find("type");
    if (tag == nullptr) return false;
  }
  const halvo::SmallString* text = tag->as_str();
  return text != nullptr && *text == name;
}

bool case_matches(const CaseTest& test, const Value& subject,
                  const EvalScope& scope) {
  if (const auto* literal = std::get_if<Literal>(&test.test)) {
    return values_equal(subject, eval_literal(*literal));
  }
  if (const auto* constructor = std::get_if<ConstructorName>(&test.test)) {
    return constructor_matches(subject, constructor->name);
  }
  // A guard sees the tree's scope; the subject is not bound for it.
  return eval_truthy(*std::get_if<IRExpr>(&test.test), scope);
}

// The node a switch leads to: the body of the first matching case, else
// the default; nullptr when neither exists.
const DecisionNode* choose(const SwitchNode& node, const EvalScope& scope) {
  Value storage;
  const Value& subject = eval_operand(node.subject, scope, storage);
  for (const DecisionCase& c : node.cases) {
    if (case_matches(c.test, subject, scope)) return c.body.get();
  }
  return node.default_node ? node.default_node->get() : nullptr;
}

}  // namespace

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
  const auto& verdict_leaf = *std::get_if<VerdictLeafNode>(&current->node);
  return Value::string(halvo::SmallString(
      halvo_compiler::ast::nodes::variant_name(verdict_leaf.verdict->verdict)));
}

}  // namespace halvo_runtime::eval
