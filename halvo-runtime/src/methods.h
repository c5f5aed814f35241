// The methods of the expression language, chosen by the kind of the object
// (String, List or Map) and the method name.
//
//   Value parts = call_method(call, scope);   // "a,b".split() -> ["a", "b"]
//
// The object is evaluated first, then every argument in order. Total: an
// unknown method, or an object of another kind, gives Null; on a Map an
// unknown method name reads the entry of that name.
#pragma once

#include "halvo_compiler/ir/expr.h"
#include "halvo_runtime/eval_scope.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::eval {

Value call_method(const halvo_compiler::ir::MethodCallExpr& call,
                  const EvalScope& scope);

}  // namespace halvo_runtime::eval
