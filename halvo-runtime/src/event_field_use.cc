#include "halvo_runtime/event_field_use.h"

#include <type_traits>
#include <variant>

#include "methods.h"

namespace halvo_runtime::event {

using halvo_compiler::ir::IRExpr;

EventFieldUse EventFieldUse::of(
    const halvo_compiler::ir::CompiledPolicy& policy) {
  EventFieldUse use;
  for (const auto& rule : policy.rules) {
    if (rule.condition) use.add(*rule.condition);
    for (const auto& verdict : rule.verdicts) {
      if (verdict.message) use.add(*verdict.message);
    }
    for (const auto& action : rule.actions) {
      for (const auto& [name, expr] : action.args) use.add(expr);
    }
  }
  for (const auto& machine : policy.state_machines) {
    for (const auto& transition : machine.transitions) {
      std::visit(
          [&use](const auto& guard) {
            if constexpr (requires { guard.expr; }) use.add(guard.expr);
          },
          transition.guard.guard);
    }
  }
  return use;
}

namespace {

// Whether `call` reads one entry of the whole event by name (`.type()`):
// without arguments, on the whole event, a name that is no method, which a
// Map answers with its entry of that name. That entry is the event type,
// the timestamp or the field of that name, never another field.
bool reads_one_entry(const halvo_compiler::ir::MethodCallExpr& call) {
  using halvo_compiler::ir::RefPath;
  using halvo_compiler::ir::RefRoot;
  const auto* ref = std::get_if<RefPath>(&call.object->node);
  return ref != nullptr && ref->root.kind == RefRoot::Kind::Event &&
         ref->fields.empty() && call.args.empty() &&
         eval::method_code(call.method.view()) == eval::Method::Other;
}

}  // namespace

void EventFieldUse::name(const halvo::SmallString& field) {
  if (!names_.contains(field.view())) {
    names_.insert_or_assign(field, slot_count());
  }
}

void EventFieldUse::add(const IRExpr& expr) {
  using namespace halvo_compiler::ir;
  // Once every field is read, the event keeps them all in its map (event.h):
  // no further name needs a slot.
  if (all_) return;
  std::visit(
      [this](const auto& node) {
        using Node = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<Node, RefPath>) {
          if (node.root.kind != RefRoot::Kind::Event) return;
          if (node.fields.empty()) {
            all_ = true;
          } else {
            name(node.fields.front());
          }
        } else if constexpr (std::is_same_v<Node, BinaryExpr>) {
          add(*node.left);
          add(*node.right);
        } else if constexpr (std::is_same_v<Node, UnaryExpr>) {
          add(*node.operand);
        } else if constexpr (std::is_same_v<Node, PredicateExpr>) {
          add(*node.subject);
          add(*node.argument);
        } else if constexpr (std::is_same_v<Node, QuantifierExpr>) {
          add(*node.collection);
          add(*node.body);
        } else if constexpr (std::is_same_v<Node, CountExpr>) {
          add(*node.collection);
          if (node.filter) add(**node.filter);
        } else if constexpr (std::is_same_v<Node, CallExpr>) {
          for (const IRExpr& arg : node.args) add(arg);
        } else if constexpr (std::is_same_v<Node, MethodCallExpr>) {
          if (reads_one_entry(node)) {
            name(node.method);
            return;
          }
          add(*node.object);
          for (const IRExpr& arg : node.args) add(arg);
        } else if constexpr (std::is_same_v<Node, ListExpr>) {
          for (const IRExpr& item : node.items) add(item);
        } else if constexpr (std::is_same_v<Node, halvo::Box<DecisionNode>>) {
          all_ = true;  // trees are not searched; they may read anything
        } else {
          static_assert(std::is_same_v<Node, Literal>);
        }
      },
      expr.node);
}

}  // namespace halvo_runtime::event
