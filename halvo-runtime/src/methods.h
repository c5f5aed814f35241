// The methods of the expression language, chosen by the kind of the object
// (String, List or Map) and the method name, or by a code resolved from the
// name once.
//
//   Value parts = call_method(call, scope);   // "a,b".split() -> ["a", "b"]
//   Method m = method_code("split");          // Method::Split
//   Value same = call_method(m, "split", object, args);
//
// The object is evaluated first, then every argument in order. Total: an
// unknown method, or an object of another kind, gives Null; on a Map a name
// that is not one of its methods reads the entry of that name.
#pragma once

#include <cstdint>
#include <string_view>

#include "arguments.h"
#include "halvo_compiler/ir/expr.h"
#include "halvo_runtime/eval_scope.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::eval {

enum class Method : std::uint8_t {
  Len,      // "len", "length"
  IsEmpty,  // "is_empty"
  Trim,     // "trim"
  ToUpper,  // "to_upper", "to_uppercase"
  ToLower,  // "to_lower", "to_lowercase"
  Split,    // "split"
  First,    // "first"
  Last,     // "last"
  Keys,     // "keys"
  Values,   // "values"
  HasKey,   // "has_key", "contains_key"
  Other     // any other name: a Map entry, or Null
};

Method method_code(std::string_view name) noexcept;

// `name` is the name `method` was resolved from; a Map reads the entry of
// that name for any method it does not have.
Value call_method(Method method, std::string_view name, const Value& object,
                  const Arguments& args);

Value call_method(const halvo_compiler::ir::MethodCallExpr& call,
                  const EvalScope& scope);

}  // namespace halvo_runtime::eval
