// Borrowing evaluation for the evaluator's own use.
//
// Most operands are only inspected (compared, tested, iterated, measured),
// so copying a referenced list or map into a fresh Value would be wasted
// work. eval_operand hands out the stored value itself when the expression
// is a reference to one, and evaluates into caller-provided storage
// otherwise; the observable result is the same as eval().
//
//   Value storage;
//   const Value& items = eval_operand(*quantifier.collection, scope, storage);
//   for (const Value& item : items.list_items()) { ... }
//
// The returned reference is valid while `storage` and the scope's event,
// maps and bound element are.
#pragma once

#include "halvo_compiler/ir/expr.h"
#include "halvo_runtime/eval_scope.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::eval {

// The value of `expr`, borrowed where possible, else held in `storage`.
const Value& eval_operand(const halvo_compiler::ir::IRExpr& expr,
                          const EvalScope& scope, Value& storage);

// Whether the value of `expr` is truthy, without copying a referenced value.
bool eval_truthy(const halvo_compiler::ir::IRExpr& expr,
                 const EvalScope& scope);

// A non-empty `path` looked up in a context or configuration map: the first
// segment in `map`, the rest through nested maps; nullptr when a step finds
// nothing.
inline const Value* find_in_map(const ValueMap& map,
                                event::Path path) noexcept {
  const Value* first = map.find(path.front().view());
  return first == nullptr ? nullptr : first->resolve_path(path.subspan(1));
}

}  // namespace halvo_runtime::eval
