// Which fields EventFieldUse says a policy may read, for a rule condition
// of each shape: a field path reads its first segment; the whole event
// reads every field, unless only one of its entries is read by name. Then
// the slots it numbers, an event that keeps its named fields in them, and
// the event type a guard requires.
#include "halvo_runtime/event_field_use.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "check.h"
#include "guard_event_type.h"
#include "halvo_compiler/policy_reader.h"
#include "halvo_runtime/event.h"

namespace {

using std::string;

string field(const char* name) {
  return string(R"({"Ref":{"root":"Event","fields":[")") + name + "\"]}}";
}
string whole_event() { return R"({"Ref":{"root":"Event","fields":[]}})"; }
string text(const char* s) {
  return string(R"({"Literal":{"String":")") + s + "\"}}";
}
string binary(const char* op, const string& left, const string& right) {
  return string(R"({"Binary":{"op":")") + op + R"(","left":)" + left +
         R"(,"right":)" + right + "}}";
}
string eq(const string& left, const string& right) {
  return binary("Eq", left, right);
}
string method(const string& object, const char* name, const string& args) {
  return R"({"MethodCall":{"object":)" + object + R"(,"method":")" + name +
         R"(","args":[)" + args + "]}}";
}

string policy(const string& condition) {
  return R"({"name":"p","severity":"Low","scopes":[],"rules":[{"id":1,)"
         R"("on_events":["tool_call"],"condition":)" +
         condition +
         R"(,"verdicts":[{"verdict":"Deny","message":null}],"actions":[],)"
         R"("severity":null}],"constraints":[],"state_machines":[],)"
         R"("metadata":{"annotations":[],"source_hash":0,)"
         R"("compiler_version":"t"}})";
}

struct Case {
  int line;
  string condition;
  bool reads_all;
  std::vector<const char*> read;      // fields it reads
  std::vector<const char*> not_read;  // fields it never reads
};

}  // namespace

int main() {
  const Case cases[] = {
      {__LINE__, eq(field("tool"), text("shell")), false, {"tool"}, {"path"}},
      // `.type()` reads one entry of the whole event: no field but "type".
      {__LINE__,
       eq(method(whole_event(), "type", ""), text("web_request")),
       false,
       {"type"},
       {"tool", "path"}},
      // An entry named like a field reads that field.
      {__LINE__, method(whole_event(), "host", ""), false, {"host"}, {"tool"}},
      // A method of the Map itself, or one given arguments, reads the whole.
      {__LINE__, method(whole_event(), "keys", ""), true, {"tool"}, {}},
      {__LINE__, method(whole_event(), "type", text("x")), true, {"tool"}, {}},
      {__LINE__, eq(whole_event(), text("x")), true, {"tool"}, {}},
      // On a field, the method reads that field only.
      {__LINE__, method(field("cmd"), "trim", ""), false, {"cmd"}, {"trim"}},
  };
  int failures = 0;
  for (const Case& c : cases) {
    auto read = halvo_compiler::read_policy(policy(c.condition));
    if (!read) {
      std::fprintf(stderr, "event_field_use_test.cc:%d: %s\n", c.line,
                   read.error().text().c_str());
      ++failures;
      continue;
    }
    const auto use = halvo_runtime::event::EventFieldUse::of(read.value());
    bool ok = use.reads_all() == c.reads_all;
    for (const char* name : c.read) ok = ok && use.reads(name);
    for (const char* name : c.not_read) ok = ok && !use.reads(name);
    if (!ok) {
      std::fprintf(stderr, "event_field_use_test.cc:%d: wrong field use\n",
                   c.line);
      ++failures;
    }
  }
  // Slots number the named fields in the order the policy first names
  // them, up to the first read of the whole event.
  const struct {
    int line;
    string condition;
    std::vector<const char*> slots;  // the fields of slots 0, 1, ...
  } numberings[] = {
      {__LINE__, eq(field("b"), eq(field("a"), field("b"))), {"b", "a"}},
      {__LINE__, eq(field("y"), eq(whole_event(), field("z"))), {"y"}},
      {__LINE__,
       eq(method(whole_event(), "type", ""), field("t")),
       {"type", "t"}},
  };
  for (const auto& c : numberings) {
    auto read = halvo_compiler::read_policy(policy(c.condition));
    const auto use = halvo_runtime::event::EventFieldUse::of(read.value());
    bool ok =
        use.slot_count() == c.slots.size() &&
        use.slot_of("absent") == halvo_runtime::event::EventFieldUse::kNoSlot;
    for (std::uint32_t slot = 0; slot < c.slots.size(); ++slot) {
      ok = ok && use.slot_of(c.slots[slot]) == slot;
    }
    if (!ok) {
      std::fprintf(stderr, "event_field_use_test.cc:%d: wrong slots\n", c.line);
      ++failures;
    }
  }
  // The event type a guard requires, the guard given as a rule condition.
  const string type = method(whole_event(), "type", "");
  const struct {
    int line;
    string guard;
    const char* required;  // nullptr: none
  } guards[] = {
      {__LINE__, eq(type, text("web_request")), "web_request"},
      {__LINE__, eq(text("web_request"), type), "web_request"},
      {__LINE__, binary("And", field("x"), eq(type, text("a"))), "a"},
      {__LINE__, binary("And", eq(type, text("a")), eq(type, text("b"))), "a"},
      {__LINE__, binary("Or", eq(type, text("a")), field("x")), nullptr},
      {__LINE__, binary("Neq", type, text("a")), nullptr},
      {__LINE__, eq(type, field("x")), nullptr},
      {__LINE__, eq(field("type"), text("a")), nullptr},
      {__LINE__, eq(method(whole_event(), "type", text("x")), text("a")),
       nullptr},
  };
  for (const auto& c : guards) {
    auto read = halvo_compiler::read_policy(policy(c.guard));
    const auto* required = halvo_runtime::engine::required_event_type(
        *read.value().rules.front().condition);
    const bool ok = c.required == nullptr
                        ? required == nullptr
                        : required != nullptr && *required == c.required;
    if (!ok) {
      std::fprintf(stderr, "event_field_use_test.cc:%d: wrong type\n", c.line);
      ++failures;
    }
  }

  // An event keeping the named fields in slots shows them to every reader;
  // a slot of Null reads as absent; reset lets the slots go.
  using halvo::SmallString;
  using halvo_runtime::event::Value;
  auto read =
      halvo_compiler::read_policy(policy(eq(field("a"), eq(type, field("b")))));
  const auto use = halvo_runtime::event::EventFieldUse::of(read.value());
  halvo_runtime::event::Event event(SmallString("t"), 5);
  event.bind_slots(&use);
  event.set_field(SmallString("a"), Value::integer(1));
  event.set_field(SmallString("z"), Value::integer(2));
  event.set_field(SmallString("type"), Value::integer(3));
  event.slot_value(use.slot_of("b")) = Value::integer(4);
  const SmallString a[] = {SmallString("a")};
  const SmallString b[] = {SmallString("b")};
  CHECK(event.fields().size() == 1);  // "z" alone has no slot
  CHECK(event.get_field(a) != nullptr &&
        *event.get_field(a) == Value::integer(1));
  CHECK(event.get_field(b) != nullptr &&
        *event.get_field(b) == Value::integer(4));
  Value storage;
  CHECK(event.whole_entry("type", storage) == Value::string(SmallString("t")));
  CHECK(event.whole_entry("z", storage) == Value::integer(2));
  const auto& whole = event.to_value().map_entries();
  CHECK(whole.size() == 5);  // z, a, b, type (the event's own), timestamp
  CHECK(*whole.find("a") == Value::integer(1));
  CHECK(*whole.find("type") == Value::string(SmallString("t")));
  event.set_field(SmallString("a"), Value::null());
  CHECK(event.get_field(a) == nullptr);
  CHECK(event.to_value().map_entries().find("a") == nullptr);
  event.reset(SmallString("u"), 6);
  CHECK(event.slot_use() == nullptr && event.get_field(b) == nullptr);
  return halvo::testing::failures() + failures;
}
