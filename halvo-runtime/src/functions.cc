#include "functions.h"

#include <cmath>
#include <string_view>

#include "operators.h"
#include "wrapping_int.h"

namespace halvo_runtime::eval {
namespace {

using Kind = Value::Kind;

Value absolute(const Value* value) {
  if (value == nullptr) return Value::null();
  if (value->kind() == Kind::Int) {
    const std::int64_t i = value->int_value();
    return Value::integer(i < 0 ? wrapping_negate(i) : i);  // min stays min
  }
  if (value->kind() == Kind::Float) {
    return Value::floating(std::fabs(value->float_value()));
  }
  return Value::null();
}

// "min" and "max" of exactly two comparable arguments: the first when the
// two are equal or ordered as `first_wins_on`, else the second.
Value pick(const Arguments& args, Ordering first_wins_on) {
  if (args.size() != 2) return Value::null();
  const std::optional<Ordering> order = values_compare(*args[0], *args[1]);
  if (!order) return Value::null();
  if (*order == Ordering::Equal || *order == first_wins_on) return *args[0];
  return *args[1];
}

}  // namespace

std::int64_t length_of(const Value& value) noexcept {
  switch (value.kind()) {
    case Kind::String:
      return static_cast<std::int64_t>(value.string_value().size());
    case Kind::List:
      return static_cast<std::int64_t>(value.list_items().size());
    case Kind::Map:
      return static_cast<std::int64_t>(value.map_entries().size());
    default:
      return 0;
  }
}

Function function_code(std::string_view name) noexcept {
  if (name == "len" || name == "length") return Function::Len;
  if (name == "str" || name == "to_string") return Function::Str;
  if (name == "abs") return Function::Abs;
  if (name == "min") return Function::Min;
  if (name == "max") return Function::Max;
  return Function::Unknown;
}

Value call_function(Function function, const Arguments& args) {
  const Value* first = args[0];
  switch (function) {
    case Function::Len:
      return Value::integer(first ? length_of(*first) : 0);
    case Function::Str:
      if (first == nullptr) return Value::string(halvo::SmallString());
      // A String is its own text form; sharing it copies no bytes.
      if (const halvo::SmallString* text = first->as_str()) {
        return Value::string(*text);
      }
      return Value::string(halvo::SmallString(first->text()));
    case Function::Abs:
      return absolute(first);
    case Function::Min:
      return pick(args, Ordering::Less);
    case Function::Max:
      return pick(args, Ordering::Greater);
    case Function::Unknown:
      break;
  }
  return Value::null();
}

Value call_function(const halvo_compiler::ir::CallExpr& call,
                    const EvalScope& scope) {
  const Arguments args(call.args, scope);
  return call_function(function_code(call.function.view()), args);
}

}  // namespace halvo_runtime::eval
