#include "halvo_compiler/policy_writer.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <variant>

#include "halvo_compiler/policy_schema.h"
#include "json_writer.h"

namespace halvo_compiler {
namespace {

namespace nodes = ast::nodes;
using halvo::SmallString;

// Each function writes one value; the field positions in the switches are
// those of the record's shape, as in the reader, named and listed whole
// without default, so that a field added to a shape fails to compile here
// until it is written. A variant's position is its alternative's index in
// the in-memory std::variant; the asserts below keep the two in step.

static_assert(std::variant_size_v<decltype(nodes::Literal::value)> ==
              schema::literal::kSize);
static_assert(std::variant_size_v<decltype(ir::IRExpr::node)> ==
              schema::expr::kSize);
static_assert(std::variant_size_v<decltype(ir::CaseTest::test)> ==
              schema::case_test::kSize);
static_assert(std::variant_size_v<decltype(ir::DecisionNode::node)> ==
              schema::node::kSize);
static_assert(std::variant_size_v<decltype(ir::TransitionGuard::guard)> ==
              schema::guard::kSize);

void write_text(JsonWriter& w, const SmallString& text) {
  w.string(text.view());
}

template <class E>
void write_named(JsonWriter& w, E value) {
  w.string(nodes::variant_name(value));
}

void write_text_list(JsonWriter& w, const std::vector<SmallString>& items) {
  write_list(w, items, [&](const SmallString& s) { write_text(w, s); });
}

void write_u32_list(JsonWriter& w, const std::vector<std::uint32_t>& items) {
  write_list(w, items, [&](std::uint32_t n) { w.unsigned_integer(n); });
}

// --- expressions -------------------------------------------------------------

void write_expr(JsonWriter& w, const ir::IRExpr& e);
void write_decision_node(JsonWriter& w, const ir::DecisionNode& node);
void write_verdict(JsonWriter& w, const ir::IRVerdict& v);

void write_expr_list(JsonWriter& w, const std::vector<ir::IRExpr>& items) {
  write_list(w, items, [&](const ir::IRExpr& e) { write_expr(w, e); });
}

void write_duration(JsonWriter& w, const nodes::DurationLit& d) {
  write_record(w, schema::kDuration, [&](std::size_t field) {
    if (field == schema::duration::kValue) {
      w.unsigned_integer(d.value);
    } else {
      write_named(w, d.unit);
    }
  });
}

void write_literal(JsonWriter& w, const nodes::Literal& literal) {
  const std::size_t index = literal.value.index();
  write_variant(w, schema::kLiteral, index, [&] {
    switch (schema::literal::Position{index}) {
      case schema::literal::kBool:
        return w.boolean(std::get<bool>(literal.value));
      case schema::literal::kInt:
        return w.signed_integer(std::get<std::int64_t>(literal.value));
      case schema::literal::kFloat:
        return w.floating(std::get<double>(literal.value));
      case schema::literal::kString:
        return write_text(w, std::get<SmallString>(literal.value));
      case schema::literal::kDuration:
        return write_duration(w, std::get<nodes::DurationLit>(literal.value));
      case schema::literal::kRegex:
        return write_text(w, std::get<nodes::RegexPattern>(literal.value).text);
    }
  });
}

void write_ref_path(JsonWriter& w, const ir::RefPath& ref) {
  write_record(w, schema::kRefPath, [&](std::size_t field) {
    if (field == schema::ref_path::kFields)
      return write_text_list(w, ref.fields);
    write_variant(w, schema::kRoot, static_cast<std::size_t>(ref.root.kind),
                  [&] { w.unsigned_integer(ref.root.local_index); });
  });
}

void write_binary(JsonWriter& w, const ir::BinaryExpr& e) {
  write_record(w, schema::kBinary, [&](std::size_t field) {
    switch (schema::binary::Position{field}) {
      case schema::binary::kOp:
        return write_named(w, e.op);
      case schema::binary::kLeft:
        return write_expr(w, *e.left);
      case schema::binary::kRight:
        return write_expr(w, *e.right);
    }
  });
}

void write_unary(JsonWriter& w, const ir::UnaryExpr& e) {
  write_record(w, schema::kUnary, [&](std::size_t field) {
    if (field == schema::unary::kOp) return write_named(w, e.op);
    write_expr(w, *e.operand);
  });
}

void write_predicate(JsonWriter& w, const ir::PredicateExpr& e) {
  write_record(w, schema::kPredicate, [&](std::size_t field) {
    switch (schema::predicate::Position{field}) {
      case schema::predicate::kKind:
        return write_named(w, e.kind);
      case schema::predicate::kSubject:
        return write_expr(w, *e.subject);
      case schema::predicate::kArgument:
        return write_expr(w, *e.argument);
    }
  });
}

void write_quantifier(JsonWriter& w, const ir::QuantifierExpr& e) {
  write_record(w, schema::kQuantifier, [&](std::size_t field) {
    switch (schema::quantifier::Position{field}) {
      case schema::quantifier::kKind:
        return write_named(w, e.kind);
      case schema::quantifier::kCollection:
        return write_expr(w, *e.collection);
      case schema::quantifier::kParam:
        return write_text(w, e.param);
      case schema::quantifier::kBody:
        return write_expr(w, *e.body);
    }
  });
}

void write_count(JsonWriter& w, const ir::CountExpr& e) {
  write_record(w, schema::kCount, [&](std::size_t field) {
    switch (schema::count::Position{field}) {
      case schema::count::kCollection:
        return write_expr(w, *e.collection);
      case schema::count::kParam:
        return write_optional(w, e.param,
                              [&](const SmallString& p) { write_text(w, p); });
      case schema::count::kFilter:
        return write_optional(
            w, e.filter,
            [&](const halvo::Box<ir::IRExpr>& f) { write_expr(w, *f); });
    }
  });
}

void write_call(JsonWriter& w, const ir::CallExpr& e) {
  write_record(w, schema::kCall, [&](std::size_t field) {
    if (field == schema::call::kFunction) return write_text(w, e.function);
    write_expr_list(w, e.args);
  });
}

void write_method_call(JsonWriter& w, const ir::MethodCallExpr& e) {
  write_record(w, schema::kMethodCall, [&](std::size_t field) {
    switch (schema::method_call::Position{field}) {
      case schema::method_call::kObject:
        return write_expr(w, *e.object);
      case schema::method_call::kMethod:
        return write_text(w, e.method);
      case schema::method_call::kArgs:
        return write_expr_list(w, e.args);
    }
  });
}

void write_expr(JsonWriter& w, const ir::IRExpr& e) {
  const std::size_t index = e.node.index();
  write_variant(w, schema::kExpr, index, [&] {
    switch (schema::expr::Position{index}) {
      case schema::expr::kLiteral:
        return write_literal(w, std::get<nodes::Literal>(e.node));
      case schema::expr::kRef:
        return write_ref_path(w, std::get<ir::RefPath>(e.node));
      case schema::expr::kBinary:
        return write_binary(w, std::get<ir::BinaryExpr>(e.node));
      case schema::expr::kUnary:
        return write_unary(w, std::get<ir::UnaryExpr>(e.node));
      case schema::expr::kPredicate:
        return write_predicate(w, std::get<ir::PredicateExpr>(e.node));
      case schema::expr::kQuantifier:
        return write_quantifier(w, std::get<ir::QuantifierExpr>(e.node));
      case schema::expr::kCount:
        return write_count(w, std::get<ir::CountExpr>(e.node));
      case schema::expr::kCall:
        return write_call(w, std::get<ir::CallExpr>(e.node));
      case schema::expr::kMethodCall:
        return write_method_call(w, std::get<ir::MethodCallExpr>(e.node));
      case schema::expr::kDecisionTree:
        return write_decision_node(
            w, *std::get<halvo::Box<ir::DecisionNode>>(e.node));
      case schema::expr::kList:
        return write_expr_list(w, std::get<ir::ListExpr>(e.node).items);
    }
  });
}

// --- verdicts and decision trees
// -----------------------------------------------

void write_verdict(JsonWriter& w, const ir::IRVerdict& v) {
  write_record(w, schema::kVerdict, [&](std::size_t field) {
    if (field == schema::verdict::kVerdict) return write_named(w, v.verdict);
    write_optional(w, v.message,
                   [&](const ir::IRExpr& m) { write_expr(w, m); });
  });
}

void write_case_test(JsonWriter& w, const ir::CaseTest& t) {
  const std::size_t index = t.test.index();
  write_variant(w, schema::kCaseTest, index, [&] {
    switch (schema::case_test::Position{index}) {
      case schema::case_test::kLiteral:
        return write_literal(w, std::get<nodes::Literal>(t.test));
      case schema::case_test::kConstructor:
        return write_text(w, std::get<ir::ConstructorName>(t.test).name);
      case schema::case_test::kGuard:
        return write_expr(w, std::get<ir::IRExpr>(t.test));
    }
  });
}

void write_decision_case(JsonWriter& w, const ir::DecisionCase& c) {
  write_record(w, schema::kCase, [&](std::size_t field) {
    if (field == schema::decision_case::kTest)
      return write_case_test(w, c.test);
    write_decision_node(w, *c.body);
  });
}

void write_switch(JsonWriter& w, const ir::SwitchNode& s) {
  write_record(w, schema::kSwitch, [&](std::size_t field) {
    switch (schema::switch_node::Position{field}) {
      case schema::switch_node::kSubject:
        return write_expr(w, s.subject);
      case schema::switch_node::kCases:
        return write_list(w, s.cases, [&](const ir::DecisionCase& c) {
          write_decision_case(w, c);
        });
      case schema::switch_node::kDefault:
        return write_optional(w, s.default_node,
                              [&](const halvo::Box<ir::DecisionNode>& n) {
                                write_decision_node(w, *n);
                              });
    }
  });
}

void write_decision_node(JsonWriter& w, const ir::DecisionNode& node) {
  const std::size_t index = node.node.index();
  write_variant(w, schema::kNode, index, [&] {
    switch (schema::node::Position{index}) {
      case schema::node::kSwitch:
        return write_switch(w, std::get<ir::SwitchNode>(node.node));
      case schema::node::kLeaf:
        return write_expr(w, std::get<ir::LeafNode>(node.node).expr);
      case schema::node::kVerdictLeaf:
        return write_verdict(w,
                             *std::get<ir::VerdictLeafNode>(node.node).verdict);
    }
  });
}

// --- policy records
// ------------------------------------------------------------

void write_action(JsonWriter& w, const ir::IRAction& a) {
  write_record(w, schema::kAction, [&](std::size_t field) {
    if (field == schema::action::kVerb) return write_named(w, a.verb);
    write_list(w, a.args, [&](const std::pair<SmallString, ir::IRExpr>& p) {
      write_pair(
          w, [&] { write_text(w, p.first); }, [&] { write_expr(w, p.second); });
    });
  });
}

void write_rule(JsonWriter& w, const ir::CompiledRule& r) {
  write_record(w, schema::kRule, [&](std::size_t field) {
    switch (schema::rule::Position{field}) {
      case schema::rule::kId:
        return w.unsigned_integer(r.id);
      case schema::rule::kOnEvents:
        return write_text_list(w, r.on_events);
      case schema::rule::kCondition:
        return write_optional(w, r.condition,
                              [&](const ir::IRExpr& e) { write_expr(w, e); });
      case schema::rule::kVerdicts:
        return write_list(w, r.verdicts,
                          [&](const ir::IRVerdict& v) { write_verdict(w, v); });
      case schema::rule::kActions:
        return write_list(w, r.actions,
                          [&](const ir::IRAction& a) { write_action(w, a); });
      case schema::rule::kSeverity:
        return write_optional(
            w, r.severity, [&](nodes::SeverityLevel s) { write_named(w, s); });
    }
  });
}

void write_constraint(JsonWriter& w, const ir::CompiledConstraint& k) {
  write_record(w, schema::kConstraint, [&](std::size_t field) {
    switch (schema::constraint::Position{field}) {
      case schema::constraint::kKind:
        return write_named(w, k.kind);
      case schema::constraint::kTarget:
        return write_text(w, k.target);
      case schema::constraint::kLimit:
        return w.unsigned_integer(k.limit);
      case schema::constraint::kWindowMillis:
        return w.unsigned_integer(k.window_millis);
    }
  });
}

void write_state(JsonWriter& w, const ir::State& s) {
  write_record(w, schema::kState, [&](std::size_t field) {
    switch (schema::state::Position{field}) {
      case schema::state::kId:
        return w.unsigned_integer(s.id);
      case schema::state::kLabel:
        return write_text(w, s.label);
      case schema::state::kKind:
        return write_named(w, s.kind);
    }
  });
}

void write_guard(JsonWriter& w, const ir::TransitionGuard& g) {
  const std::size_t index = g.guard.index();
  write_variant(w, schema::kGuard, index, [&] {
    if (index == schema::guard::kPredicate)
      return write_expr(w, std::get<ir::PredicateGuard>(g.guard).expr);
    write_expr(w, std::get<ir::NegatedPredicateGuard>(g.guard).expr);
  });
}

void write_transition(JsonWriter& w, const ir::Transition& t) {
  write_record(w, schema::kTransition, [&](std::size_t field) {
    switch (schema::transition::Position{field}) {
      case schema::transition::kFrom:
        return w.unsigned_integer(t.from);
      case schema::transition::kTo:
        return w.unsigned_integer(t.to);
      case schema::transition::kGuard:
        return write_guard(w, t.guard);
    }
  });
}

void write_machine(JsonWriter& w, const ir::StateMachine& m) {
  write_record(w, schema::kMachine, [&](std::size_t field) {
    switch (schema::machine::Position{field}) {
      case schema::machine::kId:
        return w.unsigned_integer(m.id);
      case schema::machine::kName:
        return write_text(w, m.name);
      case schema::machine::kInvariantName:
        return write_text(w, m.invariant_name);
      case schema::machine::kKind:
        return write_named(w, m.kind);
      case schema::machine::kStates:
        return write_list(w, m.states,
                          [&](const ir::State& s) { write_state(w, s); });
      case schema::machine::kTransitions:
        return write_list(w, m.transitions, [&](const ir::Transition& t) {
          write_transition(w, t);
        });
      case schema::machine::kInitialState:
        return w.unsigned_integer(m.initial_state);
      case schema::machine::kAcceptingStates:
        return write_u32_list(w, m.accepting_states);
      case schema::machine::kViolatingStates:
        return write_u32_list(w, m.violating_states);
      case schema::machine::kDeadlineMillis:
        return write_optional(w, m.deadline_millis,
                              [&](std::uint64_t n) { w.unsigned_integer(n); });
    }
  });
}

void write_metadata(JsonWriter& w, const ir::PolicyMetadata& m) {
  write_record(w, schema::kMetadata, [&](std::size_t field) {
    switch (schema::metadata::Position{field}) {
      case schema::metadata::kAnnotations:
        return write_list(w, m.annotations,
                          [&](const std::pair<SmallString, SmallString>& p) {
                            write_pair(
                                w, [&] { write_text(w, p.first); },
                                [&] { write_text(w, p.second); });
                          });
      case schema::metadata::kSourceHash:
        return w.unsigned_integer(m.source_hash);
      case schema::metadata::kCompilerVersion:
        return write_text(w, m.compiler_version);
    }
  });
}

void write_compiled_policy(JsonWriter& w, const ir::CompiledPolicy& p) {
  write_record(w, schema::kPolicy, [&](std::size_t field) {
    switch (schema::policy::Position{field}) {
      case schema::policy::kName:
        return write_text(w, p.name);
      case schema::policy::kSeverity:
        return write_named(w, p.severity);
      case schema::policy::kScopes:
        return write_text_list(w, p.scopes);
      case schema::policy::kRules:
        return write_list(w, p.rules,
                          [&](const ir::CompiledRule& r) { write_rule(w, r); });
      case schema::policy::kConstraints:
        return write_list(
            w, p.constraints,
            [&](const ir::CompiledConstraint& k) { write_constraint(w, k); });
      case schema::policy::kStateMachines:
        return write_list(w, p.state_machines, [&](const ir::StateMachine& m) {
          write_machine(w, m);
        });
      case schema::policy::kMetadata:
        return write_metadata(w, p.metadata);
    }
  });
}

}  // namespace

std::string write_policy_json(const ir::CompiledPolicy& policy) {
  JsonWriter w;
  write_compiled_policy(w, policy);
  return std::move(w).text();
}

}  // namespace halvo_compiler
