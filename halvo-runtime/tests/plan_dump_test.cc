// What the plan's compile makes of a rule condition, read through dump():
// policy JSON in, the plan's nodes as text out, one table row per node kind
// the compile specialises. Fused tests read their constants from the pool,
// so no Constant node is left unreferenced.
#include <cstdio>
#include <string>

#include "check.h"
#include "halvo_compiler/policy_reader.h"
#include "halvo_runtime/evaluation_plan.h"

namespace {

using std::string;

// JSON of expressions, to keep the rows short.
string field(const char* name) {
  return string(R"({"Ref":{"root":"Event","fields":[")") + name + "\"]}}";
}
string root(const char* root, const char* name) {
  return string(R"({"Ref":{"root":")") + root + R"(","fields":[")" + name +
         "\"]}}";
}
string local0() { return R"({"Ref":{"root":{"Local":0},"fields":[]}})"; }
string whole_event() { return R"({"Ref":{"root":"Event","fields":[]}})"; }
string text(const char* s) {
  return string(R"({"Literal":{"String":")") + s + "\"}}";
}
string integer(int n) {
  return R"({"Literal":{"Int":)" + std::to_string(n) + "}}";
}
string binary(const char* op, const string& left, const string& right) {
  return string(R"({"Binary":{"op":")") + op + R"(","left":)" + left +
         R"(,"right":)" + right + "}}";
}
string unary(const char* op, const string& operand) {
  return string(R"({"Unary":{"op":")") + op + R"(","operand":)" + operand +
         "}}";
}
string predicate(const char* kind, const string& subject, const string& arg) {
  return string(R"({"Predicate":{"kind":")") + kind + R"(","subject":)" +
         subject + R"(,"argument":)" + arg + "}}";
}
string call(const char* function, const string& args) {
  return string(R"({"Call":{"function":")") + function + R"(","args":[)" +
         args + "]}}";
}
string method(const string& object, const char* name) {
  return R"({"MethodCall":{"object":)" + object + R"(,"method":")" + name +
         R"(","args":[]}})";
}
string list(const string& items) { return R"({"List":[)" + items + "]}"; }
string any(const string& collection, const string& body) {
  return R"({"Quantifier":{"kind":"Any","collection":)" + collection +
         R"(,"param":"x","body":)" + body + "}}";
}

// A policy of one rule with `condition`.
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
  const char* dump;
};

}  // namespace

int main() {
  const string eight =
      R"({"Literal":{"String":"a"}},{"Literal":{"String":"b"}},)"
      R"({"Literal":{"String":"c"}},{"Literal":{"String":"d"}},)"
      R"({"Literal":{"String":"e"}},{"Literal":{"String":"f"}},)"
      R"({"Literal":{"String":"g"}},{"Literal":{"String":"h"}})";
  const Case cases[] = {
      // Two fused tests and their conjunction: three nodes, no constants.
      {__LINE__,
       binary("And", binary("Eq", field("tool"), text("shell")),
              binary("Gt", field("size"), integer(100))),
       "#0 TestField Eq event.tool \"shell\"\n"
       "#1 TestField Gt event.size 100\n"
       "#2 And #0 #1\n"},
      // The constant on the left stays on the left.
      {__LINE__, binary("Lt", integer(3), field("n")),
       "#0 TestField Lt 3 event.n\n"},
      // Neither side an event field: a plain test of two nodes.
      {__LINE__,
       binary("Neq", root("Context", "user"), root("Policy", "owner")),
       "#0 ContextEntry context.user\n"
       "#1 ConfigEntry policy.owner\n"
       "#2 Test Neq #0 #1\n"},
      {__LINE__, binary("In", field("tool"), list(text("a") + "," + text("b"))),
       "#0 Field event.tool\n"
       "#1 InConstant #0 [\"a\", \"b\"]\n"},
      {__LINE__, binary("In", field("tool"), list(eight)),
       "#0 Field event.tool\n"
       "#1 InConstant #0 [\"a\", \"b\", \"c\", \"d\", \"e\", \"f\", \"g\", "
       "\"h\"] (keyed)\n"},
      {__LINE__, predicate("Contains", field("command"), text("rm -rf")),
       "#0 PredicateField Contains event.command \"rm -rf\"\n"},
      {__LINE__, predicate("Matches", field("path"), text(".*.pdf")),
       "#0 Field event.path\n"
       "#1 Match #0 suffix \".pdf\"\n"},
      {__LINE__,
       binary("Eq", binary("Add", text("pre-"), field("name")), text("pre-x")),
       "#0 JoinField \"pre-\" event.name\n"
       "#1 Constant \"pre-x\"\n"
       "#2 Test Eq #0 #1\n"},
      {__LINE__, binary("Mod", field("n"), integer(2)),
       "#0 Field event.n\n"
       "#1 Constant 2\n"
       "#2 Arithmetic Mod #0 #1\n"},
      {__LINE__, binary("Gt", call("len", field("args")), integer(2)),
       "#0 LenField event.args\n"
       "#1 Constant 2\n"
       "#2 Test Gt #0 #1\n"},
      {__LINE__, call("min", field("a") + "," + integer(3)),
       "#0 Field event.a\n"
       "#1 Constant 3\n"
       "#2 Call min (#0, #1)\n"},
      {__LINE__, unary("Not", method(field("name"), "is_empty")),
       "#0 Field event.name\n"
       "#1 Method is_empty #0 ()\n"
       "#2 Not #1\n"},
      {__LINE__, binary("Eq", method(whole_event(), "type"), text("t")),
       "#0 EventEntry type\n"
       "#1 Constant \"t\"\n"
       "#2 Test Eq #0 #1\n"},
      {__LINE__, any(field("paths"), binary("Eq", local0(), text("/etc"))),
       "#0 Field event.paths\n"
       "#1 Local 0\n"
       "#2 Constant \"/etc\"\n"
       "#3 Test Eq #1 #2\n"
       "#4 Quantifier Any #0 #3\n"},
  };
  int failures = 0;
  for (const Case& c : cases) {
    auto read = halvo_compiler::read_policy(policy(c.condition));
    if (!read) {
      std::fprintf(stderr, "plan_dump_test.cc:%d: %s\n", c.line,
                   read.error().text().c_str());
      ++failures;
      continue;
    }
    halvo_runtime::eval::EvaluationPlan plan;
    plan.compile(*read.value().rules.front().condition);
    const string got = plan.dump();
    if (got != c.dump) {
      std::fprintf(stderr, "plan_dump_test.cc:%d: got\n%swant\n%s", c.line,
                   got.c_str(), c.dump);
      ++failures;
    }
  }
  return halvo::testing::failures() + failures;
}
