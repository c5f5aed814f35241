#include "functions.h"

#include <cmath>
#include <string_view>

#include "arguments.h"
#include "halvo_runtime/evaluator.h"
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

Value call_function(const halvo_compiler::ir::CallExpr& call,
                    const EvalScope& scope) {
  const Arguments args(call.args, scope);
  const std::string_view name = call.function.view();
  const Value* first = args[0];
  if (name == "len" || name == "length") {
    return Value::integer(first ? length_of(*first) : 0);
  }
  if (name == "str" || name == "to_string") {
    if (first == nullptr) return Value::string(halvo::SmallString());
    // A String is its own text form; sharing it copies no bytes.
    if (const halvo::SmallString* text = first->as_str()) {
      return Value::string(*text);
    }
    return Value::string(halvo::SmallString(first->text()));
  }
  if (name == "abs") return absolute(first);
  if (name == "min") return pick(args, Ordering::Less);
  if (name == "max") return pick(args, Ordering::Greater);
  return Value::null();
}

}  // namespace halvo_runtime::eval
