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
#include "halvo/utf8.h"
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

// What "split" cuts at: its argument's text, or "," when the argument is
// missing (nullptr) or not a String.
std::string_view split_separator(const Value* argument) noexcept;

// One piece of a split, as a String value.
Value split_piece(std::string_view text);

// The pieces "split" cuts `text` into, in order, each passed to `visit`
// (a callable taking a std::string_view and answering whether to go on):
// at every `separator`, or with an empty one between every two characters
// and at both ends. A quantifier over a split walks them as they are cut.
template <class Visit>
void for_each_piece(std::string_view text, std::string_view separator,
                    Visit&& visit) {
  if (separator.empty()) {
    if (!visit(std::string_view())) return;
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t length = halvo::utf8::decode_utf8(text, pos).length;
      if (!visit(text.substr(pos, length))) return;
      pos += length;
    }
    visit(std::string_view());
    return;
  }
  std::size_t start = 0;
  for (std::size_t hit = text.find(separator); hit != std::string_view::npos;
       hit = text.find(separator, start)) {
    if (!visit(text.substr(start, hit - start))) return;
    start = hit + separator.size();
  }
  visit(text.substr(start));
}

// `name` is the name `method` was resolved from; a Map reads the entry of
// that name for any method it does not have.
Value call_method(Method method, std::string_view name, const Value& object,
                  const Arguments& args);

Value call_method(const halvo_compiler::ir::MethodCallExpr& call,
                  const EvalScope& scope);

}  // namespace halvo_runtime::eval
