#include "guard_event_type.h"

#include <variant>

#include "methods.h"

namespace halvo_runtime::engine {
namespace {

using halvo_compiler::ir::BinaryExpr;
using halvo_compiler::ir::BinaryOp;
using halvo_compiler::ir::IRExpr;
using halvo_compiler::ir::Literal;
using halvo_compiler::ir::MethodCallExpr;
using halvo_compiler::ir::RefPath;
using halvo_compiler::ir::RefRoot;

// Whether `expr` is `.type()` read on the whole event: a method call
// without arguments naming no method, which reads the entry "type".
bool is_event_type(const IRExpr& expr) noexcept {
  const auto* call = std::get_if<MethodCallExpr>(&expr.node);
  if (call == nullptr || !call->args.empty() || call->method != "type" ||
      eval::method_code(call->method.view()) != eval::Method::Other) {
    return false;
  }
  const auto* ref = std::get_if<RefPath>(&call->object->node);
  return ref != nullptr && ref->root.kind == RefRoot::Kind::Event &&
         ref->fields.empty();
}

const halvo::SmallString* string_literal(const IRExpr& expr) noexcept {
  const auto* literal = std::get_if<Literal>(&expr.node);
  return literal == nullptr ? nullptr
                            : std::get_if<halvo::SmallString>(&literal->value);
}

}  // namespace

const halvo::SmallString* required_event_type(const IRExpr& expr) noexcept {
  const auto* binary = std::get_if<BinaryExpr>(&expr.node);
  if (binary == nullptr) return nullptr;
  const IRExpr& left = *binary->left;
  const IRExpr& right = *binary->right;
  if (binary->op == BinaryOp::And) {
    const halvo::SmallString* type = required_event_type(left);
    return type != nullptr ? type : required_event_type(right);
  }
  if (binary->op != BinaryOp::Eq) return nullptr;
  if (is_event_type(left)) return string_literal(right);
  if (is_event_type(right)) return string_literal(left);
  return nullptr;
}

}  // namespace halvo_runtime::engine
