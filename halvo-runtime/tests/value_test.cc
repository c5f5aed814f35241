#include "halvo_runtime/value.h"

#include <string>
#include <utility>

#include "check.h"

using halvo::SmallString;
using halvo_runtime::event::Value;
using halvo_runtime::event::ValueList;

namespace {

// assign_string over every kind of value it may replace, with texts on
// both sides of the inline size.
void assign_string_replaces_any_kind() {
  const std::string long_text(40, 'L');
  ValueList items;
  items.push_back(Value::integer(1));
  const Value befores[] = {
      Value(),
      Value::boolean(true),
      Value::integer(-7),
      Value::floating(2.5),
      Value::duration(60000),
      Value::string(SmallString("tool")),
      Value::string(SmallString(long_text)),
      Value::list(items),
  };
  for (const Value& before : befores) {
    for (const std::string& text : {std::string(), std::string("shell"),
                                    std::string(23, 'x'), long_text}) {
      Value value = before;
      value.assign_string(text);
      CHECK(value.kind() == Value::Kind::String);
      CHECK(value.string_value().view() == text);
      CHECK(value == Value::string(SmallString(text)));
    }
  }
}

}  // namespace

int main() {
  assign_string_replaces_any_kind();
  return halvo::testing::failures();
}
