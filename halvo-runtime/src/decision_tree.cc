#include "decision_tree.h"

#include <variant>

#include "halvo_compiler/ast/nodes.h"
#include "operators.h"

namespace halvo_runtime::eval {
namespace {

using halvo_compiler::ir::CaseTest;
using halvo_compiler::ir::ConstructorName;
using halvo_compiler::ir::Literal;
using halvo_compiler::ir::VerdictLeafNode;

// A String equal to the name, or a Map whose "type" entry is such a String.
bool constructor_matches(const Value& subject,
                         const halvo::SmallString& name) noexcept {
  const Value* tag = &subject;
  if (subject.kind() == Value::Kind::Map) {
    tag = subject.map_entries().find("type");
    if (tag == nullptr) return false;
  }
  const halvo::SmallString* text = tag->as_str();
  return text != nullptr && *text == name;
}

CaseMatch answer(bool matches) noexcept {
  return matches ? CaseMatch::kYes : CaseMatch::kNo;
}

}  // namespace

CaseMatch case_match(const CaseTest& test, const Value& subject) {
  if (const auto* literal = std::get_if<Literal>(&test.test)) {
    return answer(values_equal(subject, eval_literal(*literal)));
  }
  if (const auto* constructor = std::get_if<ConstructorName>(&test.test)) {
    return answer(constructor_matches(subject, constructor->name));
  }
  return CaseMatch::kGuard;
}

Value verdict_leaf_value(const VerdictLeafNode& leaf) {
  return Value::string(halvo::SmallString(
      halvo_compiler::ast::nodes::variant_name(leaf.verdict->verdict)));
}

}  // namespace halvo_runtime::eval
