#include "methods.h"

#include <string_view>

#include "arguments.h"
#include "functions.h"
#include "halvo/utf8.h"
#include "halvo_runtime/unicode_case.h"
#include "operand.h"

namespace halvo_runtime::eval {
namespace {

using Kind = Value::Kind;
using event::ValueList;

// The text of an argument, or `fallback` when it is missing or not a String.
std::string_view text_or(const Value* value,
                         std::string_view fallback) noexcept {
  const halvo::SmallString* text = value ? value->as_str() : nullptr;
  return text ? text->view() : fallback;
}

Value piece(std::string_view text) {
  // An empty view may carry no data pointer; the empty SmallString needs none.
  return Value::string(text.empty() ? halvo::SmallString()
                                    : halvo::SmallString(text));
}

ValueList split(std::string_view text, std::string_view separator) {
  ValueList pieces;
  if (separator.empty()) {
    // Cut between every two characters and at both ends.
    pieces.push_back(piece({}));
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t length = halvo::utf8::decode_utf8(text, pos).length;
      pieces.push_back(piece(text.substr(pos, length)));
      pos += length;
    }
    pieces.push_back(piece({}));
    return pieces;
  }
  std::size_t start = 0;
  for (std::size_t hit = text.find(separator); hit != std::string_view::npos;
       hit = text.find(separator, start)) {
    pieces.push_back(piece(text.substr(start, hit - start)));
    start = hit + separator.size();
  }
  pieces.push_back(piece(text.substr(start)));
  return pieces;
}

Value string_method(const halvo::SmallString& text, std::string_view name,
                    const Arguments& args) {
  if (name == "len" || name == "length") {
    return Value::integer(static_cast<std::int64_t>(text.size()));
  }
  if (name == "is_empty") return Value::boolean(text.empty());
  if (name == "trim") {
    const std::string_view trimmed = unicode::trim(text.view());
    if (trimmed.size() == text.size()) return Value::string(text);
    return piece(trimmed);
  }
  if (name == "to_upper" || name == "to_uppercase") {
    return Value::string(halvo::SmallString(unicode::to_upper(text.view())));
  }
  if (name == "to_lower" || name == "to_lowercase") {
    return Value::string(halvo::SmallString(unicode::to_lower(text.view())));
  }
  if (name == "split") {
    return Value::list(split(text.view(), text_or(args[0], ",")));
  }
  return Value::null();
}

Value list_method(const ValueList& items, std::string_view name) {
  if (name == "len" || name == "length") {
    return Value::integer(static_cast<std::int64_t>(items.size()));
  }
  if (name == "is_empty") return Value::boolean(items.empty());
  if (name == "first") return items.empty() ? Value::null() : items.front();
  if (name == "last") return items.empty() ? Value::null() : items.back();
  return Value::null();
}

Value map_method(const event::ValueMap& entries, std::string_view name,
                 const Arguments& args) {
  if (name == "len" || name == "length") {
    return Value::integer(static_cast<std::int64_t>(entries.size()));
  }
  if (name == "keys" || name == "values") {
    const bool keys = name == "keys";
    ValueList items;
    items.reserve(entries.size());
    for (const auto& entry : entries) {
      items.push_back(keys ? Value::string(entry.key) : entry.value);
    }
    return Value::list(std::move(items));
  }
  if (name == "has_key" || name == "contains_key") {
    return Value::boolean(entries.contains(text_or(args[0], {})));
  }
  // Any other name reads the entry of that name.
  const Value* entry = entries.find(name);
  return entry ? *entry : Value::null();
}

}  // namespace

Value call_method(const halvo_compiler::ir::MethodCallExpr& call,
                  const EvalScope& scope) {
  Value storage;
  const Value& object = eval_operand(*call.object, scope, storage);
  const Arguments args(call.args, scope);
  const std::string_view name = call.method.view();
  switch (object.kind()) {
    case Kind::String:
      return string_method(object.string_value(), name, args);
    case Kind::List:
      return list_method(object.list_items(), name);
    case Kind::Map:
      return map_method(object.map_entries(), name, args);
    default:
      return Value::null();
  }
}

}  // namespace halvo_runtime::eval
