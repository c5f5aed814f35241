#include "halvo_compiler/policy_reader.h"

// The record half of the reader: each record's field positions (from its
// shape in policy_schema.h) mapped to its members. The JSON forms and the
// messages are record_reader.h's.
//
// Each switch over a position names every position of the shape and has no
// default, so that a field added to a shape fails to compile here until it
// is read; the `return false` after such a switch is never reached, as
// read_record and read_enum pass only positions of the shape.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "halvo_compiler/policy_schema.h"
#include "read_messages.h"
#include "record_reader.h"

namespace halvo_compiler {
namespace {

namespace msg = read_messages;
namespace nodes = ast::nodes;
using halvo::Box;
using halvo::SmallString;

// ---------------------------------------------------------------------------
// Expressions.

bool read_expr(RecordCursor& c, ir::IRExpr& out);
bool read_decision_node(RecordCursor& c, ir::DecisionNode& out);
bool read_verdict(RecordCursor& c, ir::IRVerdict& out);

bool read_expr_list(RecordCursor& c, std::vector<ir::IRExpr>& out) {
  return read_list(c, out, [&](ir::IRExpr& e) { return read_expr(c, e); });
}

bool read_duration(RecordCursor& c, nodes::DurationLit& out) {
  return read_record(c, schema::kDuration, [&](std::size_t field) {
    return field == schema::duration::kValue ? read_u64(c, out.value)
                                             : read_named(c, out.unit);
  });
}

bool read_literal(RecordCursor& c, nodes::Literal& out) {
  std::size_t index = 0;
  return read_enum(c, schema::kLiteral, index, [&](std::size_t variant) {
    switch (schema::literal::Position{variant}) {
      case schema::literal::kBool:
        return read_bool(c, out.value.emplace<bool>());
      case schema::literal::kInt:
        return read_i64(c, out.value.emplace<std::int64_t>());
      case schema::literal::kFloat:
        return read_f64(c, out.value.emplace<double>());
      case schema::literal::kString:
        return read_text(c, out.value.emplace<SmallString>());
      case schema::literal::kDuration:
        return read_duration(c, out.value.emplace<nodes::DurationLit>());
      case schema::literal::kRegex:
        return read_text(c, out.value.emplace<nodes::RegexPattern>().text);
    }
    return false;
  });
}

bool read_ref_root(RecordCursor& c, ir::RefRoot& out) {
  std::size_t index = 0;
  if (!read_enum(c, schema::kRoot, index,
                 [&](std::size_t) { return read_u32(c, out.local_index); })) {
    return false;
  }
  out.kind = static_cast<ir::RefRoot::Kind>(index);
  return true;
}

bool read_ref_path(RecordCursor& c, ir::RefPath& out) {
  return read_record(c, schema::kRefPath, [&](std::size_t field) {
    return field == schema::ref_path::kRoot ? read_ref_root(c, out.root)
                                            : read_text_list(c, out.fields);
  });
}

bool read_binary(RecordCursor& c, ir::IRExpr& out) {
  nodes::BinaryOp op{};
  ir::IRExpr left, right;
  if (!read_record(c, schema::kBinary, [&](std::size_t field) {
        switch (schema::binary::Position{field}) {
          case schema::binary::kOp:
            return read_named(c, op);
          case schema::binary::kLeft:
            return read_expr(c, left);
          case schema::binary::kRight:
            return read_expr(c, right);
        }
        return false;
      })) {
    return false;
  }
  out.node = ir::BinaryExpr{op, Box<ir::IRExpr>(std::move(left)),
                            Box<ir::IRExpr>(std::move(right))};
  return true;
}

bool read_unary(RecordCursor& c, ir::IRExpr& out) {
  nodes::UnaryOp op{};
  ir::IRExpr operand;
  if (!read_record(c, schema::kUnary, [&](std::size_t field) {
        return field == schema::unary::kOp ? read_named(c, op)
                                           : read_expr(c, operand);
      })) {
    return false;
  }
  out.node = ir::UnaryExpr{op, Box<ir::IRExpr>(std::move(operand))};
  return true;
}

bool read_predicate(RecordCursor& c, ir::IRExpr& out) {
  nodes::PredicateKind kind{};
  ir::IRExpr subject, argument;
  if (!read_record(c, schema::kPredicate, [&](std::size_t field) {
        switch (schema::predicate::Position{field}) {
          case schema::predicate::kKind:
            return read_named(c, kind);
          case schema::predicate::kSubject:
            return read_expr(c, subject);
          case schema::predicate::kArgument:
            return read_expr(c, argument);
        }
        return false;
      })) {
    return false;
  }
  out.node = ir::PredicateExpr{kind, Box<ir::IRExpr>(std::move(subject)),
                               Box<ir::IRExpr>(std::move(argument))};
  return true;
}

bool read_quantifier(RecordCursor& c, ir::IRExpr& out) {
  nodes::QuantifierKind kind{};
  ir::IRExpr collection, body;
  SmallString param;
  if (!read_record(c, schema::kQuantifier, [&](std::size_t field) {
        switch (schema::quantifier::Position{field}) {
          case schema::quantifier::kKind:
            return read_named(c, kind);
          case schema::quantifier::kCollection:
            return read_expr(c, collection);
          case schema::quantifier::kParam:
            return read_text(c, param);
          case schema::quantifier::kBody:
            return read_expr(c, body);
        }
        return false;
      })) {
    return false;
  }
  out.node =
      ir::QuantifierExpr{kind, Box<ir::IRExpr>(std::move(collection)),
                         std::move(param), Box<ir::IRExpr>(std::move(body))};
  return true;
}

bool read_count(RecordCursor& c, ir::IRExpr& out) {
  ir::IRExpr collection;
  std::optional<SmallString> param;
  std::optional<Box<ir::IRExpr>> filter;
  if (!read_record(c, schema::kCount, [&](std::size_t field) {
        switch (schema::count::Position{field}) {
          case schema::count::kCollection:
            return read_expr(c, collection);
          case schema::count::kParam:
            return read_optional(
                c, param, [&](auto& p) { return read_text(c, p.emplace()); });
          case schema::count::kFilter:
            return read_optional(c, filter, [&](auto& f) {
              return read_boxed(c, f, read_expr);
            });
        }
        return false;
      })) {
    return false;
  }
  out.node = ir::CountExpr{Box<ir::IRExpr>(std::move(collection)),
                           std::move(param), std::move(filter)};
  return true;
}

bool read_call(RecordCursor& c, ir::IRExpr& out) {
  ir::CallExpr call;
  if (!read_record(c, schema::kCall, [&](std::size_t field) {
        return field == schema::call::kFunction ? read_text(c, call.function)
                                                : read_expr_list(c, call.args);
      })) {
    return false;
  }
  out.node = std::move(call);
  return true;
}

bool read_method_call(RecordCursor& c, ir::IRExpr& out) {
  ir::IRExpr object;
  SmallString method;
  std::vector<ir::IRExpr> args;
  if (!read_record(c, schema::kMethodCall, [&](std::size_t field) {
        switch (schema::method_call::Position{field}) {
          case schema::method_call::kObject:
            return read_expr(c, object);
          case schema::method_call::kMethod:
            return read_text(c, method);
          case schema::method_call::kArgs:
            return read_expr_list(c, args);
        }
        return false;
      })) {
    return false;
  }
  out.node = ir::MethodCallExpr{Box<ir::IRExpr>(std::move(object)),
                                std::move(method), std::move(args)};
  return true;
}

bool read_expr(RecordCursor& c, ir::IRExpr& out) {
  std::size_t index = 0;
  return read_enum(c, schema::kExpr, index, [&](std::size_t variant) {
    switch (schema::expr::Position{variant}) {
      case schema::expr::kLiteral:
        return read_literal(c, out.node.emplace<nodes::Literal>());
      case schema::expr::kRef:
        return read_ref_path(c, out.node.emplace<ir::RefPath>());
      case schema::expr::kBinary:
        return read_binary(c, out);
      case schema::expr::kUnary:
        return read_unary(c, out);
      case schema::expr::kPredicate:
        return read_predicate(c, out);
      case schema::expr::kQuantifier:
        return read_quantifier(c, out);
      case schema::expr::kCount:
        return read_count(c, out);
      case schema::expr::kCall:
        return read_call(c, out);
      case schema::expr::kMethodCall:
        return read_method_call(c, out);
      case schema::expr::kDecisionTree: {
        ir::DecisionNode tree;
        if (!read_decision_node(c, tree)) return false;
        out.node = Box<ir::DecisionNode>(std::move(tree));
        return true;
      }
      case schema::expr::kList:
        return read_expr_list(c, out.node.emplace<ir::ListExpr>().items);
    }
    return false;
  });
}

// ---------------------------------------------------------------------------
// Verdicts and decision trees.

bool read_verdict(RecordCursor& c, ir::IRVerdict& out) {
  return read_record(c, schema::kVerdict, [&](std::size_t field) {
    if (field == schema::verdict::kVerdict) return read_named(c, out.verdict);
    return read_optional(c, out.message,
                         [&](auto& m) { return read_expr(c, m.emplace()); });
  });
}

bool read_case_test(RecordCursor& c, ir::CaseTest& out) {
  std::size_t index = 0;
  return read_enum(c, schema::kCaseTest, index, [&](std::size_t variant) {
    switch (schema::case_test::Position{variant}) {
      case schema::case_test::kLiteral:
        return read_literal(c, out.test.emplace<nodes::Literal>());
      case schema::case_test::kConstructor:
        return read_text(c, out.test.emplace<ir::ConstructorName>().name);
      case schema::case_test::kGuard:
        return read_expr(c, out.test.emplace<ir::IRExpr>());
    }
    return false;
  });
}

// Reads one case and appends it (a DecisionCase has no empty state to read
// into).
bool read_decision_case(RecordCursor& c, std::vector<ir::DecisionCase>& out) {
  ir::CaseTest test;
  ir::DecisionNode body;
  if (!read_record(c, schema::kCase, [&](std::size_t field) {
        return field == schema::decision_case::kTest
                   ? read_case_test(c, test)
                   : read_decision_node(c, body);
      })) {
    return false;
  }
  out.push_back(ir::DecisionCase{std::move(test),
                                 Box<ir::DecisionNode>(std::move(body))});
  return true;
}

bool read_switch(RecordCursor& c, ir::SwitchNode& out) {
  return read_record(c, schema::kSwitch, [&](std::size_t field) {
    switch (schema::switch_node::Position{field}) {
      case schema::switch_node::kSubject:
        return read_expr(c, out.subject);
      case schema::switch_node::kCases:
        return read_elements(c,
                             [&] { return read_decision_case(c, out.cases); });
      case schema::switch_node::kDefault:
        return read_optional(c, out.default_node, [&](auto& node) {
          return read_boxed(c, node, read_decision_node);
        });
    }
    return false;
  });
}

bool read_decision_node(RecordCursor& c, ir::DecisionNode& out) {
  std::size_t index = 0;
  return read_enum(c, schema::kNode, index, [&](std::size_t variant) {
    switch (schema::node::Position{variant}) {
      case schema::node::kSwitch:
        return read_switch(c, out.node.emplace<ir::SwitchNode>());
      case schema::node::kLeaf:
        return read_expr(c, out.node.emplace<ir::LeafNode>().expr);
      case schema::node::kVerdictLeaf: {
        ir::IRVerdict verdict;
        if (!read_verdict(c, verdict)) return false;
        out.node = ir::VerdictLeafNode{Box<ir::IRVerdict>(std::move(verdict))};
        return true;
      }
    }
    return false;
  });
}

// ---------------------------------------------------------------------------
// Policy records.

bool read_named_expr_pair(RecordCursor& c,
                          std::pair<SmallString, ir::IRExpr>& out) {
  return read_pair(
      c, [&] { return read_text(c, out.first); },
      [&] { return read_expr(c, out.second); });
}

bool read_action(RecordCursor& c, ir::IRAction& out) {
  return read_record(c, schema::kAction, [&](std::size_t field) {
    if (field == schema::action::kVerb) return read_named(c, out.verb);
    return read_list(c, out.args, [&](std::pair<SmallString, ir::IRExpr>& p) {
      return read_named_expr_pair(c, p);
    });
  });
}

bool read_rule(RecordCursor& c, ir::CompiledRule& out) {
  return read_record(c, schema::kRule, [&](std::size_t field) {
    switch (schema::rule::Position{field}) {
      case schema::rule::kId:
        return read_u32(c, out.id);
      case schema::rule::kOnEvents:
        return read_text_list(c, out.on_events);
      case schema::rule::kCondition:
        return read_optional(c, out.condition, [&](auto& e) {
          return read_expr(c, e.emplace());
        });
      case schema::rule::kVerdicts:
        return read_list(c, out.verdicts,
                         [&](ir::IRVerdict& v) { return read_verdict(c, v); });
      case schema::rule::kActions:
        return read_list(c, out.actions,
                         [&](ir::IRAction& a) { return read_action(c, a); });
      case schema::rule::kSeverity:
        return read_optional(c, out.severity, [&](auto& s) {
          return read_named(c, s.emplace());
        });
    }
    return false;
  });
}

bool read_constraint(RecordCursor& c, ir::CompiledConstraint& out) {
  return read_record(c, schema::kConstraint, [&](std::size_t field) {
    switch (schema::constraint::Position{field}) {
      case schema::constraint::kKind:
        return read_named(c, out.kind);
      case schema::constraint::kTarget:
        return read_text(c, out.target);
      case schema::constraint::kLimit:
        return read_u64(c, out.limit);
      case schema::constraint::kWindowMillis:
        return read_u64(c, out.window_millis);
    }
    return false;
  });
}

bool read_state(RecordCursor& c, ir::State& out) {
  return read_record(c, schema::kState, [&](std::size_t field) {
    switch (schema::state::Position{field}) {
      case schema::state::kId:
        return read_u32(c, out.id);
      case schema::state::kLabel:
        return read_text(c, out.label);
      case schema::state::kKind:
        return read_named(c, out.kind);
    }
    return false;
  });
}

bool read_guard(RecordCursor& c, ir::TransitionGuard& out) {
  std::size_t index = 0;
  ir::IRExpr expr;
  if (!read_enum(c, schema::kGuard, index,
                 [&](std::size_t) { return read_expr(c, expr); })) {
    return false;
  }
  switch (schema::guard::Position{index}) {
    case schema::guard::kPredicate:
      out.guard = ir::PredicateGuard{std::move(expr)};
      break;
    case schema::guard::kNegatedPredicate:
      out.guard = ir::NegatedPredicateGuard{std::move(expr)};
      break;
    case schema::guard::kTimeout:
      out.guard = ir::TimeoutGuard{};
      break;
    case schema::guard::kAlways:
      out.guard = ir::AlwaysGuard{};
      break;
  }
  return true;
}

bool read_transition(RecordCursor& c, ir::Transition& out) {
  return read_record(c, schema::kTransition, [&](std::size_t field) {
    switch (schema::transition::Position{field}) {
      case schema::transition::kFrom:
        return read_u32(c, out.from);
      case schema::transition::kTo:
        return read_u32(c, out.to);
      case schema::transition::kGuard:
        return read_guard(c, out.guard);
    }
    return false;
  });
}

bool read_machine(RecordCursor& c, ir::StateMachine& out) {
  return read_record(c, schema::kMachine, [&](std::size_t field) {
    switch (schema::machine::Position{field}) {
      case schema::machine::kId:
        return read_u32(c, out.id);
      case schema::machine::kName:
        return read_text(c, out.name);
      case schema::machine::kInvariantName:
        return read_text(c, out.invariant_name);
      case schema::machine::kKind:
        return read_named(c, out.kind);
      case schema::machine::kStates:
        return read_list(c, out.states,
                         [&](ir::State& s) { return read_state(c, s); });
      case schema::machine::kTransitions:
        return read_list(c, out.transitions, [&](ir::Transition& t) {
          return read_transition(c, t);
        });
      case schema::machine::kInitialState:
        return read_u32(c, out.initial_state);
      case schema::machine::kAcceptingStates:
        return read_u32_list(c, out.accepting_states);
      case schema::machine::kViolatingStates:
        return read_u32_list(c, out.violating_states);
      case schema::machine::kDeadlineMillis:
        return read_optional(c, out.deadline_millis,
                             [&](auto& n) { return read_u64(c, n.emplace()); });
    }
    return false;
  });
}

bool read_metadata(RecordCursor& c, ir::PolicyMetadata& out) {
  return read_record(c, schema::kMetadata, [&](std::size_t field) {
    switch (schema::metadata::Position{field}) {
      case schema::metadata::kAnnotations:
        return read_list(c, out.annotations,
                         [&](std::pair<SmallString, SmallString>& p) {
                           return read_pair(
                               c, [&] { return read_text(c, p.first); },
                               [&] { return read_text(c, p.second); });
                         });
      case schema::metadata::kSourceHash:
        return read_u64(c, out.source_hash);
      case schema::metadata::kCompilerVersion:
        return read_text(c, out.compiler_version);
    }
    return false;
  });
}

bool read_compiled_policy(RecordCursor& c, ir::CompiledPolicy& out) {
  return read_record(c, schema::kPolicy, [&](std::size_t field) {
    switch (schema::policy::Position{field}) {
      case schema::policy::kName:
        return read_text(c, out.name);
      case schema::policy::kSeverity:
        return read_named(c, out.severity);
      case schema::policy::kScopes:
        return read_text_list(c, out.scopes);
      case schema::policy::kRules:
        return read_list(c, out.rules,
                         [&](ir::CompiledRule& r) { return read_rule(c, r); });
      case schema::policy::kConstraints:
        return read_list(c, out.constraints, [&](ir::CompiledConstraint& k) {
          return read_constraint(c, k);
        });
      case schema::policy::kStateMachines:
        return read_list(c, out.state_machines, [&](ir::StateMachine& m) {
          return read_machine(c, m);
        });
      case schema::policy::kMetadata:
        return read_metadata(c, out.metadata);
    }
    return false;
  });
}

}  // namespace

halvo::Result<ir::CompiledPolicy, ReadError> read_policy(
    std::string_view json, std::vector<SkippedKey>* skipped) {
  RecordCursor c(json);
  ir::CompiledPolicy policy;
  const auto failure = [&] {
    ReadError error = c.error();
    error.path = c.error_path();
    return halvo::fail(std::move(error));
  };
  if (!read_compiled_policy(c, policy)) return failure();
  if (c.peek() != JsonCursor::kEnd) {
    c.fail_at_next(msg::trailing_characters());
    return failure();
  }
  if (skipped != nullptr) *skipped = c.skipped_keys();
  return policy;
}

}  // namespace halvo_compiler
