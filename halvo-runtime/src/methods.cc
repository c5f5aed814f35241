#include "methods.h"

#include <string_view>

#include "functions.h"
#include "halvo/utf8.h"
#include "operand.h"
#include "unicode_case.h"

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

ValueList split(std::string_view text, std::string_view separator) {
  ValueList pieces;
  for_each_piece(text, separator, [&pieces](std::string_view piece) {
    pieces.push_back(split_piece(piece));
    return true;
  });
  return pieces;
}

Value string_method(const halvo::SmallString& text, Method method,
                    const Arguments& args) {
  switch (method) {
    case Method::Len:
      return Value::integer(static_cast<std::int64_t>(text.size()));
    case Method::IsEmpty:
      return Value::boolean(text.empty());
    case Method::Trim: {
      const std::string_view trimmed = unicode::trim(text.view());
      if (trimmed.size() == text.size()) return Value::string(text);
      return split_piece(trimmed);
    }
    case Method::ToUpper:
      return Value::string(halvo::SmallString(unicode::to_upper(text.view())));
    case Method::ToLower:
      return Value::string(halvo::SmallString(unicode::to_lower(text.view())));
    case Method::Split:
      return Value::list(split(text.view(), split_separator(args[0])));
    default:
      return Value::null();
  }
}

Value list_method(const ValueList& items, Method method) {
  switch (method) {
    case Method::Len:
      return Value::integer(static_cast<std::int64_t>(items.size()));
    case Method::IsEmpty:
      return Value::boolean(items.empty());
    case Method::First:
      return items.empty() ? Value::null() : items.front();
    case Method::Last:
      return items.empty() ? Value::null() : items.back();
    default:
      return Value::null();
  }
}

Value map_method(const event::ValueMap& entries, Method method,
                 std::string_view name, const Arguments& args) {
  switch (method) {
    case Method::Len:
      return Value::integer(static_cast<std::int64_t>(entries.size()));
    case Method::Keys:
    case Method::Values: {
      const bool keys = method == Method::Keys;
      ValueList items;
      items.reserve(entries.size());
      for (const auto& entry : entries) {
        items.push_back(keys ? Value::string(entry.key) : entry.value);
      }
      return Value::list(std::move(items));
    }
    case Method::HasKey:
      return Value::boolean(entries.contains(text_or(args[0], {})));
    default: {
      // Any other name reads the entry of that name.
      const Value* entry = entries.find(name);
      return entry ? *entry : Value::null();
    }
  }
}

}  // namespace

std::string_view split_separator(const Value* argument) noexcept {
  return text_or(argument, ",");
}

Value split_piece(std::string_view text) {
  // An empty view may carry no data pointer; the empty SmallString needs none.
  return Value::string(text.empty() ? halvo::SmallString()
                                    : halvo::SmallString(text));
}

Method method_code(std::string_view name) noexcept {
  struct Name {
    std::string_view text;
    Method method;
  };
  static constexpr Name kNames[] = {{"len", Method::Len},
                                    {"length", Method::Len},
                                    {"is_empty", Method::IsEmpty},
                                    {"trim", Method::Trim},
                                    {"to_upper", Method::ToUpper},
                                    {"to_uppercase", Method::ToUpper},
                                    {"to_lower", Method::ToLower},
                                    {"to_lowercase", Method::ToLower},
                                    {"split", Method::Split},
                                    {"first", Method::First},
                                    {"last", Method::Last},
                                    {"keys", Method::Keys},
                                    {"values", Method::Values},
                                    {"has_key", Method::HasKey},
                                    {"contains_key", Method::HasKey}};
  for (const Name& entry : kNames) {
    if (entry.text == name) return entry.method;
  }
  return Method::Other;
}

Value call_method(Method method, std::string_view name, const Value& object,
                  const Arguments& args) {
  switch (object.kind()) {
    case Kind::String:
      return string_method(object.string_value(), method, args);
    case Kind::List:
      return list_method(object.list_items(), method);
    case Kind::Map:
      return map_method(object.map_entries(), method, name, args);
    default:
      return Value::null();
  }
}

Value call_method(const halvo_compiler::ir::MethodCallExpr& call,
                  const EvalScope& scope) {
  Value storage;
  const Value& object = eval_operand(*call.object, scope, storage);
  const Arguments args(call.args, scope);
  const std::string_view name = call.method.view();
  return call_method(method_code(name), name, object, args);
}

}  // namespace halvo_runtime::eval
