// EvaluationPlan::dump(): the plan's nodes as text, one per line, for tests
// and for reading what the compile made of an expression.
//
//   #0 TestField Eq event.tool "bash"
//   #1 TestField Gt event.size 100
//   #2 And #0 #1
//
// Each line is "#{id} {op}" and the node's operands: node ids as "#n",
// paths under their root ("event.a.b", "context.k", "policy.k"), constants
// in the pool as their value (strings quoted, lists in brackets), argument
// lists in parentheses. A fused node lists its operands in source order.

#include <string>
#include <string_view>

#include "functions.h"
#include "halvo_compiler/ast/nodes.h"
#include "halvo_runtime/evaluation_plan.h"

namespace halvo_runtime::eval {
namespace {

namespace nodes = halvo_compiler::ast::nodes;

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  for (const char ch : text) {
    if (ch == '"' || ch == '\\') out += '\\';
    out += ch;
  }
  out += '"';
}

void append_value(std::string& out, const Value& value) {
  switch (value.kind()) {
    case Value::Kind::String:
      append_quoted(out, value.string_value().view());
      return;
    case Value::Kind::List: {
      out += '[';
      const char* separator = "";
      for (const Value& item : value.list_items()) {
        out += separator;
        append_value(out, item);
        separator = ", ";
      }
      out += ']';
      return;
    }
    default:
      out += value.text();
  }
}

std::string_view function_name(Function function) noexcept {
  switch (function) {
    case Function::Len:
      return "len";
    case Function::Str:
      return "str";
    case Function::Abs:
      return "abs";
    case Function::Min:
      return "min";
    case Function::Max:
      return "max";
    case Function::Unknown:
      break;
  }
  return "unknown";
}

std::string_view shape_name(Pattern::Shape shape) noexcept {
  switch (shape) {
    case Pattern::Shape::Exact:
      return "exact";
    case Pattern::Shape::Prefix:
      return "prefix";
    case Pattern::Shape::Suffix:
      return "suffix";
    case Pattern::Shape::Substring:
      break;
  }
  return "substring";
}

}  // namespace

std::string EvaluationPlan::dump() const {
  std::string out;
  const auto id = [&](std::uint32_t node) {
    out += " #";
    out += std::to_string(node);
  };
  const auto path = [&](std::string_view root, std::uint32_t index) {
    out += ' ';
    out += root;
    for (const halvo::SmallString& segment : paths_[index]) {
      out += '.';
      out += segment.view();
    }
  };
  const auto constant = [&](std::uint32_t index) {
    out += ' ';
    append_value(out, constants_[index]);
  };
  const auto list = [&](std::uint32_t offset) {
    out += " (";
    const std::uint32_t count = lists_[offset];
    for (std::uint32_t i = 0; i < count; ++i) {
      if (i != 0) out += ", ";
      out += '#';
      out += std::to_string(lists_[offset + 1 + i]);
    }
    out += ')';
  };
  const auto word = [&](std::string_view text) {
    out += ' ';
    out += text;
  };
  const auto binary_op = [&](std::uint8_t sub) {
    word(nodes::variant_name(static_cast<nodes::BinaryOp>(sub)));
  };
  const auto predicate_kind = [&](std::uint8_t sub) {
    word(nodes::variant_name(static_cast<nodes::PredicateKind>(sub)));
  };
  for (std::size_t n = 0; n < nodes_.size(); ++n) {
    const Node& node = nodes_[n];
    out += '#';
    out += std::to_string(n);
    switch (node.op) {
      case Op::Constant:
        word("Constant");
        constant(node.a);
        break;
      case Op::Field:
        word("Field");
        path("event", node.a);
        break;
      case Op::WholeEvent:
        word("WholeEvent");
        break;
      case Op::EventEntry:
        word("EventEntry");
        word(names_[node.c].view());
        break;
      case Op::ContextEntry:
        word("ContextEntry");
        path("context", node.a);
        break;
      case Op::ConfigEntry:
        word("ConfigEntry");
        path("policy", node.a);
        break;
      case Op::WholeContext:
        word("WholeContext");
        break;
      case Op::WholeConfig:
        word("WholeConfig");
        break;
      case Op::Local:
        word("Local");
        word(std::to_string(node.a));
        break;
      case Op::And:
      case Op::Or:
      case Op::Implies:
        word(node.op == Op::And ? "And" : node.op == Op::Or ? "Or" : "Implies");
        id(node.a);
        id(node.b);
        break;
      case Op::Not:
      case Op::Neg:
        word(node.op == Op::Not ? "Not" : "Neg");
        id(node.a);
        break;
      case Op::Test:
      case Op::Arithmetic:
        word(node.op == Op::Test ? "Test" : "Arithmetic");
        binary_op(node.sub);
        id(node.a);
        id(node.b);
        break;
      case Op::TestField:
        word("TestField");
        binary_op(node.sub);
        if (node.c != 0) constant(node.b);
        path("event", node.a);
        if (node.c == 0) constant(node.b);
        break;
      case Op::InConstant:
        word("InConstant");
        id(node.a);
        constant(node.b);
        if (node.c != kNone) word("(keyed)");
        break;
      case Op::JoinField:
        word("JoinField");
        if (node.c != 0) constant(node.a);
        path("event", node.b);
        if (node.c == 0) constant(node.a);
        break;
      case Op::Predicate:
        word("Predicate");
        predicate_kind(node.sub);
        id(node.a);
        id(node.b);
        break;
      case Op::PredicateField:
        word("PredicateField");
        predicate_kind(node.sub);
        path("event", node.a);
        constant(node.b);
        break;
      case Op::Match:
        word("Match");
        id(node.a);
        word(shape_name(patterns_[node.b].shape));
        out += ' ';
        append_quoted(out, patterns_[node.b].text.view());
        break;
      case Op::Quantifier:
        word("Quantifier");
        word(nodes::variant_name(static_cast<nodes::QuantifierKind>(node.sub)));
        id(node.a);
        id(node.b);
        break;
      case Op::Count:
        word("Count");
        id(node.a);
        if (node.b != kNone) id(node.b);
        break;
      case Op::Call:
        word("Call");
        word(function_name(static_cast<Function>(node.sub)));
        list(node.a);
        break;
      case Op::LenField:
        word("LenField");
        path("event", node.a);
        break;
      case Op::Method:
        word("Method");
        word(names_[node.c].view());
        id(node.a);
        list(node.b);
        break;
      case Op::Tree:
        word("Tree");
        word(std::to_string(node.a));
        break;
      case Op::List:
        word("List");
        list(node.a);
        break;
    }
    out += '\n';
  }
  return out;
}

}  // namespace halvo_runtime::eval
