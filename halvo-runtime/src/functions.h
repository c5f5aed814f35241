// The built-in functions of the expression language ("len", "str", "abs",
// "min", "max" and their aliases), called by name or by code.
//
//   Value n = call_function(call, scope);   // Null for an unknown name
//   Function f = function_code("length");   // Function::Len, resolved once
//   Value m = call_function(f, args);
//
// Every argument is evaluated first, in order, whatever the function.
// Total: unknown names, missing arguments and unsuitable kinds give Null
// (0 for "len", "" for "str").
#pragma once

#include <cstdint>
#include <string_view>

#include "arguments.h"
#include "halvo_compiler/ir/expr.h"
#include "halvo_runtime/eval_scope.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::eval {

enum class Function : std::uint8_t { Len, Str, Abs, Min, Max, Unknown };

// The function a name calls; Unknown for a name that calls none.
Function function_code(std::string_view name) noexcept;

Value call_function(Function function, const Arguments& args);

Value call_function(const halvo_compiler::ir::CallExpr& call,
                    const EvalScope& scope);

// The byte length of a String, the element count of a List, the entry count
// of a Map; 0 for every other kind. Shared by "len" and the "len" method.
std::int64_t length_of(const Value& value) noexcept;

}  // namespace halvo_runtime::eval
