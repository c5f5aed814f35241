#include "halvo_compiler/policy_reader.h"

// The record half of the reader: each record's field positions (from its
// shape in policy_schema.h) mapped to its members. The JSON forms and the
// messages are record_reader.h's.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "halvo_compiler/policy_schema.h"
#include "halvo_compiler/read_messages.h"
#include "halvo_compiler/record_reader.h"

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
    return field == 0 ? read_u64(c, out.value) : read_named(c, out.unit);
  });
}

bool read_literal(RecordCursor& c, nodes::Literal& out) {
  std::size_t index = 0;
  return read_enum(c, schema::kLiteral, index, [&](std::size_t variant) {
    switch (variant) {
      case 0:
        return read_bool(c, out.value.emplace<bool>());
      case 1:
        return read_i64(c, out.value.emplace<std::int64_t>());
      case 2:
        return read_f64(c, out.value.emplace<double>());
      case 3:
        return read_text(c, out.value.emplace<SmallString>());
      case 4:
        return read_duration(c, out.value.emplace<nodes::DurationLit>());
      default:
        return read_text(c, out.value.emplace<nodes::RegexPattern>().text);
    }
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
    return field == 0 ? read_ref_root(c, out.root)
                      : read_text_list(c, out.fields);
  });
}

bool read_binary(RecordCursor& c, ir::IRExpr& out) {
  nodes::BinaryOp op{};
  ir::IRExpr left, right;
  if (!read_record(c, schema::kBinary, [&](std::size_t field) {
        switch (field) {
          case 0:
            return read_named(c, op);
          case 1:
            return read_expr(c, left);
          default:
            return read_expr(c, right);
        }
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
        return field == 0 ? read_named(c, op) : read_expr(c, operand);
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
        switch (field) {
          case 0:
            return read_named(c, kind);
          case 1:
            return read_expr(c, subject);
          default:
            return read_expr(c, argument);
        }
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
        switch (field) {
          case 0:
            return read_named(c, kind);
          case 1:
            return read_expr(c, collection);
          case 2:
            return read_text(c, param);
          default:
            return read_expr(c, body);
        }
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
        switch (field) {
          case 0:
            return read_expr(c, collection);
          case 1:
            return read_optional(
                c, param, [&](auto& p) { return read_text(c, p.emplace()); });
          default:
            return read_optional(c, filter, [&](auto& f) {
              return read_boxed(c, f, read_expr);
            });
        }
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
        return field == 0 ? read_text(c, call.function)
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
        switch (field) {
          case 0:
            return read_expr(c, object);
          case 1:
            return read_text(c, method);
          default:
            return read_expr_list(c, args);
        }
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
    switch (variant) {
      case 0:
        return read_literal(c, out.node.emplace<nodes::Literal>());
      case 1:
        return read_ref_path(c, out.node.emplace<ir::RefPath>());
      case 2:
        return read_binary(c, out);
      case 3:
        return read_unary(c, out);
      case 4:
        return read_predicate(c, out);
      case 5:
        return read_quantifier(c, out);
      case 6:
        return read_count(c, out);
      case 7:
        return read_call(c, out);
      case 8:
        return read_method_call(c, out);
      case 9: {
        ir::DecisionNode tree;
        if (!read_decision_node(c, tree)) return false;
        out.node = Box<ir::DecisionNode>(std::move(tree));
        return true;
      }
      default:
        return read_expr_list(c, out.node.emplace<ir::ListExpr>().items);
    }
  });
}

// ---------------------------------------------------------------------------
// Verdicts and decision trees.

bool read_verdict(RecordCursor& c, ir::IRVerdict& out) {
  return read_record(c, schema::kVerdict, [&](std::size_t field) {
    if (field == 0) return read_named(c, out.verdict);
    return read_optional(c, out.message,
                         [&](auto& m) { return read_expr(c, m.emplace()); });
  });
}

bool read_case_test(RecordCursor& c, ir::CaseTest& out) {
  std::size_t index = 0;
  return read_enum(c, schema::kCaseTest, index, [&](std::size_t variant) {
    switch (variant) {
      case 0:
        return read_literal(c, out.test.emplace<nodes::Literal>());
      case 1:
        return read_text(c, out.test.emplace<ir::ConstructorName>().name);
      default:
        return read_expr(c, out.test.emplace<ir::IRExpr>());
    }
  });
}

// Reads one case and appends it (a DecisionCase has no empty state to read
// into).
bool read_decision_case(RecordCursor& c, std::vector<ir::DecisionCase>& out) {
  ir::CaseTest test;
  ir::DecisionNode body;
  if (!read_record(c, schema::kCase, [&](std::size_t field) {
        return field == 0 ? read_case_test(c, test)
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
    switch (field) {
      case 0:
        return read_expr(c, out.subject);
      case 1:
        return read_elements(c,
                             [&] { return read_decision_case(c, out.cases); });
      default:
        return read_optional(c, out.default_node, [&](auto& node) {
          return read_boxed(c, node, read_decision_node);
        });
    }
  });
}

bool read_decision_node(RecordCursor& c, ir::DecisionNode& out) {
  std::size_t index = 0;
  return read_enum(c, schema::kNode, index, [&](std::size_t variant) {
    switch (variant) {
      case 0:
        return read_switch(c, out.node.emplace<ir::SwitchNode>());
      case 1:
        return read_expr(c, out.node.emplace<ir::LeafNode>().expr);
      default: {
        ir::IRVerdict verdict;
        if (!read_verdict(c, verdict)) return false;
        out.node = ir::VerdictLeafNode{Box<ir::IRVerdict>(std::move(verdict))};
        return true;
      }
    }
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
    if (field == 0) return read_named(c, out.verb);
    return read_list(c, out.args, [&](std::pair<SmallString, ir::IRExpr>& p) {
      return read_named_expr_pair(c, p);
    });
  });
}

bool read_rule(RecordCursor& c, ir::CompiledRule& out) {
  return read_record(c, schema::kRule, [&](std::size_t field) {
    switch (field) {
      case 0:
        return read_u32(c, out.id);
      case 1:
        return read_text_list(c, out.on_events);
      case 2:
        return read_optional(c, out.condition, [&](auto& e) {
          return read_expr(c, e.emplace());
        });
      case 3:
        return read_list(c, out.verdicts,
                         [&](ir::IRVerdict& v) { return read_verdict(c, v); });
      case 4:
        return read_list(c, out.actions,
                         [&](ir::IRAction& a) { return read_action(c, a); });
      default:
        return read_optional(c, out.severity, [&](auto& s) {
          return read_named(c, s.emplace());
        });
    }
  });
}

bool read_constraint(RecordCursor& c, ir::CompiledConstraint& out) {
  return read_record(c, schema::kConstraint, [&](std::size_t field) {
    switch (field) {
      case 0:
        return read_named(c, out.kind);
      case 1:
        return read_text(c, out.target);
      case 2:
        return read_u64(c, out.limit);
      default:
        return read_u64(c, out.window_millis);
    }
  });
}

bool read_state(RecordCursor& c, ir::State& out) {
  return read_record(c, schema::kState, [&](std::size_t field) {
    switch (field) {
      case 0:
        return read_u32(c, out.id);
      case 1:
        return read_text(c, out.label);
      default:
        return read_named(c, out.kind);
    }
  });
}

bool read_guard(RecordCursor& c, ir::TransitionGuard& out) {
  std::size_t index = 0;
  ir::IRExpr expr;
  if (!read_enum(c, schema::kGuard, index,
                 [&](std::size_t) { return read_expr(c, expr); })) {
    return false;
  }
  switch (index) {
    case 0:
      out.guard = ir::PredicateGuard{std::move(expr)};
      break;
    case 1:
      out.guard = ir::NegatedPredicateGuard{std::move(expr)};
      break;
    case 2:
      out.guard = ir::TimeoutGuard{};
      break;
    default:
      out.guard = ir::AlwaysGuard{};
  }
  return true;
}

bool read_transition(RecordCursor& c, ir::Transition& out) {
  return read_record(c, schema::kTransition, [&](std::size_t field) {
    switch (field) {
      case 0:
        return read_u32(c, out.from);
      case 1:
        return read_u32(c, out.to);
      default:
        return read_guard(c, out.guard);
    }
  });
}

bool read_machine(RecordCursor& c, ir::StateMachine& out) {
  return read_record(c, schema::kMachine, [&](std::size_t field) {
    switch (field) {
      case 0:
        return read_u32(c, out.id);
      case 1:
        return read_text(c, out.name);
      case 2:
        return read_text(c, out.invariant_name);
      case 3:
        return read_named(c, out.kind);
      case 4:
        return read_list(c, out.states,
                         [&](ir::State& s) { return read_state(c, s); });
      case 5:
        return read_list(c, out.transitions, [&](ir::Transition& t) {
          return read_transition(c, t);
        });
      case 6:
        return read_u32(c, out.initial_state);
      case 7:
        return read_u32_list(c, out.accepting_states);
      case 8:
        return read_u32_list(c, out.violating_states);
      default:
        return read_optional(c, out.deadline_millis,
                             [&](auto& n) { return read_u64(c, n.emplace()); });
    }
  });
}

bool read_metadata(RecordCursor& c, ir::PolicyMetadata& out) {
  return read_record(c, schema::kMetadata, [&](std::size_t field) {
    switch (field) {
      case 0:
        return read_list(c, out.annotations,
                         [&](std::pair<SmallString, SmallString>& p) {
                           return read_pair(
                               c, [&] { return read_text(c, p.first); },
                               [&] { return read_text(c, p.second); });
                         });
      case 1:
        return read_u64(c, out.source_hash);
      default:
        return read_text(c, out.compiler_version);
    }
  });
}

bool read_compiled_policy(RecordCursor& c, ir::CompiledPolicy& out) {
  return read_record(c, schema::kPolicy, [&](std::size_t field) {
    switch (field) {
      case 0:
        return read_text(c, out.name);
      case 1:
        return read_named(c, out.severity);
      case 2:
        return read_text_list(c, out.scopes);
      case 3:
        return read_list(c, out.rules,
                         [&](ir::CompiledRule& r) { return read_rule(c, r); });
      case 4:
        return read_list(c, out.constraints, [&](ir::CompiledConstraint& k) {
          return read_constraint(c, k);
        });
      case 5:
        return read_list(c, out.state_machines, [&](ir::StateMachine& m) {
          return read_machine(c, m);
        });
      default:
        return read_metadata(c, out.metadata);
    }
  });
}

}  // namespace

std::string ReadError::text() const {
  return msg::positioned(message, line, column);
}

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
