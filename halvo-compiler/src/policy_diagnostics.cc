#include "halvo_compiler/policy_diagnostics.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>

#include "halvo_compiler/policy_schema.h"
#include "policy_path.h"

namespace halvo_compiler {
namespace {

namespace codes = diagnostic_codes;
namespace nodes = ast::nodes;
using halvo::SmallString;

// --- messages: each text written once ---------------------------------------

template <class... Parts>
std::string concat(const Parts&... parts) {
  std::string out;
  (out.append(parts), ...);
  return out;
}

std::string number(std::uint64_t n) { return std::to_string(n); }

std::string quoted(std::string_view text) { return concat("`", text, "`"); }

std::string misspelt_key_message(std::string_view key, std::string_view record,
                                 std::string_view field,
                                 std::string_view type) {
  return concat("unknown key ", quoted(key), " in ", record,
                " is ignored; did you mean ", quoted(field), " (", type, ")?");
}

std::string unknown_key_message(std::string_view key, std::string_view record) {
  return concat("unknown key ", quoted(key), " in ", record, " is ignored");
}

std::string duplicate_id_message(std::string_view what, std::uint64_t id,
                                 std::string_view first_path) {
  return concat(what, " id ", number(id), " is also used by ", first_path);
}

std::string rule_without_effect_message(std::uint32_t id) {
  return concat("rule ", number(id),
                " has no verdicts and no actions: firing it changes nothing");
}

std::string rule_for_every_event_message(std::uint32_t id) {
  return concat("rule ", number(id),
                " lists no event types, so it applies to every event");
}

std::string pattern_not_regex_message(std::string_view pattern) {
  return concat("pattern ", quoted(pattern),
                " is matched as plain text, not as a regular expression "
                "(only ^text$, text.*, .*text and plain text are understood)");
}

std::string event_type_field_message() {
  return "Event field `type` reads a host field named \"type\", not the "
         "event type (which is never a field); filter event types with "
         "on_events";
}

std::string unbound_local_message(std::uint32_t index, bool in_binding) {
  if (in_binding) {
    return concat("local ", number(index),
                  " is never bound (quantifiers and counts bind only local "
                  "0), so it is always null");
  }
  return concat("local ", number(index),
                " is read outside any quantifier or count, so it is always "
                "null");
}

std::string shadowed_constraint_message(std::string_view target,
                                        std::string_view later_path) {
  return concat("constraint on ", quoted(target), " is replaced by ",
                later_path, " on the same target and never applies");
}

std::string limit_never_exceeded_message(std::uint64_t limit) {
  return concat("limit ", number(limit), " can never be exceeded");
}

std::string zero_limit_message(std::string_view target) {
  return concat("limit 0: every ", quoted(target),
                " event exceeds it and is denied");
}

std::string zero_window_message() {
  return "a window of 0 ms counts only the events of one millisecond";
}

std::string state_out_of_range_message(std::uint32_t state,
                                       std::size_t state_count) {
  return concat("state ", number(state), " is outside the machine's ",
                number(state_count), state_count == 1 ? " state" : " states");
}

std::string timeout_without_deadline_message() {
  return "a Timeout transition in a machine without deadline_millis is "
         "never taken";
}

std::string unreachable_state_message(std::size_t state,
                                      std::string_view label) {
  return concat("state ", number(state), " (", quoted(label),
                ") cannot be reached from the initial state");
}

std::string never_violates_message(std::string_view machine) {
  return concat("machine ", quoted(machine),
                " can never reach a violating state, so its invariant never "
                "fails");
}

// --- helpers ----------------------------------------------------------------

// Levenshtein distance of two short texts.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                         diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Whether `short_text` is `long_text` with letters left out, as in an
// abbreviation ("deadline_ms" of "deadline_millis").
bool abbreviates(std::string_view short_text, std::string_view long_text) {
  std::size_t at = 0;
  for (const char ch : long_text) {
    if (at < short_text.size() && short_text[at] == ch) ++at;
  }
  return at == short_text.size();
}

std::size_t common_prefix(std::string_view a, std::string_view b) {
  std::size_t n = 0;
  while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
  return n;
}

// Whether `key` looks like a slip for `field`: at most 2 edits and fewer
// than half the field's length, or an abbreviation sharing at least half
// its beginning.
bool looks_like(std::string_view key, std::string_view field) {
  const std::size_t d = edit_distance(key, field);
  if (d <= 2 && 2 * d < field.size()) return true;
  return key.size() >= 3 && key.size() < field.size() &&
         abbreviates(key, field) && 2 * common_prefix(key, field) >= key.size();
}

// The first field of `record` that `key` looks like a slip for, the closest
// by edits first.
const schema::Field* closest_field(std::string_view key,
                                   const schema::RecordShape& record) {
  const schema::Field* best = nullptr;
  std::size_t best_distance = std::numeric_limits<std::size_t>::max();
  for (const schema::Field& field : record.fields) {
    if (!looks_like(key, field.name)) continue;
    const std::size_t d = edit_distance(key, field.name);
    if (d < best_distance) {
      best = &field;
      best_distance = d;
    }
  }
  return best;
}

// The regular-expression characters that the pattern shapes do not give a
// meaning to ('.' is left out: it is common in plain text).
bool has_regex_syntax(std::string_view text) {
  return text.find_first_of("[](){}+*?|\\^$") != std::string_view::npos;
}

// What remains of a pattern once its shape (^...$, ...*, .*...) is taken
// off, as the pattern rules read it.
std::string_view pattern_text(std::string_view pattern) {
  if (pattern.size() >= 2 && pattern.front() == '^' && pattern.back() == '$') {
    return pattern.substr(1, pattern.size() - 2);
  }
  if (pattern.size() >= 2 && pattern.ends_with(".*")) {
    return pattern.substr(0, pattern.size() - 2);
  }
  if (pattern.size() >= 2 && pattern.starts_with(".*")) {
    return pattern.substr(2);
  }
  return pattern;
}

// The text of a String or Regex literal expression, or null.
const SmallString* literal_text(const ir::IRExpr& e) {
  const auto* literal = std::get_if<nodes::Literal>(&e.node);
  if (literal == nullptr) return nullptr;
  if (const auto* s = std::get_if<SmallString>(&literal->value)) return s;
  if (const auto* r = std::get_if<nodes::RegexPattern>(&literal->value)) {
    return &r->text;
  }
  return nullptr;
}

// --- the walk ---------------------------------------------------------------

class Diagnoser {
 public:
  explicit Diagnoser(std::vector<Diagnostic>& out) : out_(out) {}

  void policy(const ir::CompiledPolicy& p) {
    const auto& f = schema::kPolicy.fields;
    in(f[schema::policy::kRules].name, [&] { rules(p.rules); });
    in(f[schema::policy::kConstraints].name,
       [&] { constraints(p.constraints); });
    in(f[schema::policy::kStateMachines].name,
       [&] { machines(p.state_machines); });
  }

 private:
  void report(const DiagnosticCode& code, std::string message) {
    out_.push_back(Diagnostic{code, std::move(message), path_.text()});
  }

  template <class Walk>
  void in(std::string_view key, Walk&& walk) {
    path_.push_field(key);
    walk();
    path_.pop();
  }

  template <class Walk>
  void at(std::size_t index, Walk&& walk) {
    path_.push_index(index);
    walk();
    path_.pop();
  }

  // Reports every id that an earlier record of `items` already used, at the
  // record's `id_key` field.
  template <class T>
  void duplicate_ids(const std::vector<T>& items, const DiagnosticCode& code,
                     std::string_view what, std::string_view list_key,
                     std::string_view id_key) {
    std::unordered_map<std::uint32_t, std::size_t> first;
    for (std::size_t i = 0; i < items.size(); ++i) {
      const auto [it, fresh] = first.emplace(items[i].id, i);
      if (fresh) continue;
      PolicyPath earlier;
      earlier.push_field(list_key);
      earlier.push_index(it->second);
      at(i, [&] {
        in(id_key, [&] {
          report(code, duplicate_id_message(what, items[i].id, earlier.text()));
        });
      });
    }
  }

  // --- rules ---

  void rules(const std::vector<ir::CompiledRule>& rules) {
    const auto& f = schema::kRule.fields;
    for (std::size_t i = 0; i < rules.size(); ++i) {
      const ir::CompiledRule& r = rules[i];
      at(i, [&] {
        if (r.on_events.empty()) {
          in(f[schema::rule::kOnEvents].name, [&] {
            report(codes::kRuleForEveryEvent,
                   rule_for_every_event_message(r.id));
          });
        }
        if (r.condition)
          in(f[schema::rule::kCondition].name, [&] { expr(*r.condition); });
        in(f[schema::rule::kVerdicts].name, [&] {
          for (std::size_t v = 0; v < r.verdicts.size(); ++v) {
            at(v, [&] { verdict(r.verdicts[v]); });
          }
        });
        in(f[schema::rule::kActions].name, [&] {
          for (std::size_t a = 0; a < r.actions.size(); ++a) {
            at(a, [&] { action(r.actions[a]); });
          }
        });
        if (r.verdicts.empty() && r.actions.empty()) {
          report(codes::kRuleWithoutEffect, rule_without_effect_message(r.id));
        }
      });
    }
    duplicate_ids(rules, codes::kDuplicateRuleId, "rule",
                  schema::kPolicy.fields[schema::policy::kRules].name,
                  schema::kRule.fields[schema::rule::kId].name);
  }

  void verdict(const ir::IRVerdict& v) {
    if (v.message)
      in(schema::kVerdict.fields[schema::verdict::kMessage].name,
         [&] { expr(*v.message); });
  }

  void action(const ir::IRAction& a) {
    in(schema::kAction.fields[schema::action::kArgs].name, [&] {
      for (std::size_t i = 0; i < a.args.size(); ++i) {
        at(i, [&] { at(1, [&] { expr(a.args[i].second); }); });
      }
    });
  }

  // --- expressions ---

  // Walks the variant `index` of IRExpr with its payload.
  template <class Walk>
  void variant(std::size_t index, Walk&& walk) {
    in(schema::kExpr.variants[index], walk);
  }

  void expr(const ir::IRExpr& e) {
    const std::size_t index = e.node.index();
    variant(index, [&] { expr_payload(e); });
  }

  void expr_list(const std::vector<ir::IRExpr>& items) {
    for (std::size_t i = 0; i < items.size(); ++i) {
      at(i, [&] { expr(items[i]); });
    }
  }

  // Walks `e` in a scope where local 0 is bound.
  void bound(const ir::IRExpr& e) {
    ++binding_depth_;
    expr(e);
    --binding_depth_;
  }

  void expr_payload(const ir::IRExpr& e) {
    if (const auto* ref = std::get_if<ir::RefPath>(&e.node)) {
      reference(*ref);
    } else if (const auto* b = std::get_if<ir::BinaryExpr>(&e.node)) {
      const auto& f = schema::kBinary.fields;
      in(f[schema::binary::kLeft].name, [&] { expr(*b->left); });
      in(f[schema::binary::kRight].name, [&] { expr(*b->right); });
    } else if (const auto* u = std::get_if<ir::UnaryExpr>(&e.node)) {
      in(schema::kUnary.fields[schema::unary::kOperand].name,
         [&] { expr(*u->operand); });
    } else if (const auto* p = std::get_if<ir::PredicateExpr>(&e.node)) {
      predicate(*p);
    } else if (const auto* q = std::get_if<ir::QuantifierExpr>(&e.node)) {
      const auto& f = schema::kQuantifier.fields;
      in(f[schema::quantifier::kCollection].name,
         [&] { expr(*q->collection); });
      in(f[schema::quantifier::kBody].name, [&] { bound(*q->body); });
    } else if (const auto* c = std::get_if<ir::CountExpr>(&e.node)) {
      const auto& f = schema::kCount.fields;
      in(f[schema::count::kCollection].name, [&] { expr(*c->collection); });
      if (c->filter)
        in(f[schema::count::kFilter].name, [&] { bound(**c->filter); });
    } else if (const auto* call = std::get_if<ir::CallExpr>(&e.node)) {
      in(schema::kCall.fields[schema::call::kArgs].name,
         [&] { expr_list(call->args); });
    } else if (const auto* m = std::get_if<ir::MethodCallExpr>(&e.node)) {
      const auto& f = schema::kMethodCall.fields;
      in(f[schema::method_call::kObject].name, [&] { expr(*m->object); });
      in(f[schema::method_call::kArgs].name, [&] { expr_list(m->args); });
    } else if (const auto* tree =
                   std::get_if<halvo::Box<ir::DecisionNode>>(&e.node)) {
      decision_node(**tree);
    } else if (const auto* list = std::get_if<ir::ListExpr>(&e.node)) {
      expr_list(list->items);
    }
  }

  void reference(const ir::RefPath& ref) {
    if (ref.root.kind == ir::RefRoot::Kind::Event && !ref.fields.empty() &&
        ref.fields.front().view() == "type") {
      in(schema::kRefPath.fields[schema::ref_path::kFields].name, [&] {
        at(0,
           [&] { report(codes::kEventTypeField, event_type_field_message()); });
      });
    }
    if (ref.root.kind == ir::RefRoot::Kind::Local &&
        (ref.root.local_index != 0 || binding_depth_ == 0)) {
      in(schema::kRefPath.fields[schema::ref_path::kRoot].name, [&] {
        report(codes::kUnboundLocal,
               unbound_local_message(ref.root.local_index, binding_depth_ > 0));
      });
    }
  }

  void predicate(const ir::PredicateExpr& p) {
    const auto& f = schema::kPredicate.fields;
    in(f[schema::predicate::kSubject].name, [&] { expr(*p.subject); });
    in(f[schema::predicate::kArgument].name, [&] {
      const SmallString* text = literal_text(*p.argument);
      if (p.kind == nodes::PredicateKind::Matches && text != nullptr &&
          has_regex_syntax(pattern_text(text->view()))) {
        report(codes::kPatternNotRegex,
               pattern_not_regex_message(text->view()));
      }
      expr(*p.argument);
    });
  }

  void decision_node(const ir::DecisionNode& node) {
    in(schema::kNode.variants[node.node.index()], [&] {
      if (const auto* s = std::get_if<ir::SwitchNode>(&node.node)) {
        const auto& f = schema::kSwitch.fields;
        in(f[schema::switch_node::kSubject].name, [&] { expr(s->subject); });
        in(f[schema::switch_node::kCases].name, [&] {
          for (std::size_t i = 0; i < s->cases.size(); ++i) {
            at(i, [&] { decision_case(s->cases[i]); });
          }
        });
        if (s->default_node)
          in(f[schema::switch_node::kDefault].name,
             [&] { decision_node(**s->default_node); });
      } else if (const auto* leaf = std::get_if<ir::LeafNode>(&node.node)) {
        expr(leaf->expr);
      } else {
        verdict(*std::get<ir::VerdictLeafNode>(node.node).verdict);
      }
    });
  }

  void decision_case(const ir::DecisionCase& c) {
    const auto& f = schema::kCase.fields;
    if (const auto* guard = std::get_if<ir::IRExpr>(&c.test.test)) {
      in(f[schema::decision_case::kTest].name, [&] {
        in(schema::kCaseTest.variants[schema::case_test::kGuard],
           [&] { expr(*guard); });
      });
    }
    in(f[schema::decision_case::kBody].name, [&] { decision_node(*c.body); });
  }

  // --- constraints ---

  void constraints(const std::vector<ir::CompiledConstraint>& items) {
    const auto& f = schema::kConstraint.fields;
    std::unordered_map<std::string_view, std::size_t> last;
    for (std::size_t i = 0; i < items.size(); ++i) {
      last[items[i].target.view()] = i;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
      const ir::CompiledConstraint& k = items[i];
      at(i, [&] {
        const std::size_t later = last[k.target.view()];
        if (later != i) {
          PolicyPath replaced_by;
          replaced_by.push_field(
              schema::kPolicy.fields[schema::policy::kConstraints].name);
          replaced_by.push_index(later);
          in(f[schema::constraint::kTarget].name, [&] {
            report(codes::kShadowedConstraint,
                   shadowed_constraint_message(k.target.view(),
                                               replaced_by.text()));
          });
        }
        in(f[schema::constraint::kLimit].name, [&] {
          if (k.limit == std::numeric_limits<std::uint64_t>::max()) {
            report(codes::kLimitNeverExceeded,
                   limit_never_exceeded_message(k.limit));
          } else if (k.limit == 0) {
            report(codes::kZeroLimit, zero_limit_message(k.target.view()));
          }
        });
        if (k.window_millis == 0) {
          in(f[schema::constraint::kWindowMillis].name,
             [&] { report(codes::kZeroWindow, zero_window_message()); });
        }
      });
    }
  }

  // --- state machines ---

  void machines(const std::vector<ir::StateMachine>& items) {
    for (std::size_t i = 0; i < items.size(); ++i) {
      at(i, [&] { machine(items[i]); });
    }
    duplicate_ids(items, codes::kDuplicateMachineId, "machine",
                  schema::kPolicy.fields[schema::policy::kStateMachines].name,
                  schema::kMachine.fields[schema::machine::kId].name);
  }

  // Reports `state` when it lies outside the machine; true when inside.
  bool state_number(std::uint32_t state, std::size_t count) {
    if (state < count) return true;
    report(codes::kStateOutOfRange, state_out_of_range_message(state, count));
    return false;
  }

  void state_list(std::string_view key, const std::vector<std::uint32_t>& list,
                  std::size_t count) {
    in(key, [&] {
      for (std::size_t i = 0; i < list.size(); ++i) {
        at(i, [&] { state_number(list[i], count); });
      }
    });
  }

  void machine(const ir::StateMachine& m) {
    const auto& f = schema::kMachine.fields;
    const std::size_t count = m.states.size();
    in(f[schema::machine::kTransitions].name, [&] {
      for (std::size_t t = 0; t < m.transitions.size(); ++t) {
        const ir::Transition& tr = m.transitions[t];
        at(t, [&] {
          in(schema::kTransition.fields[schema::transition::kFrom].name,
             [&] { state_number(tr.from, count); });
          in(schema::kTransition.fields[schema::transition::kTo].name,
             [&] { state_number(tr.to, count); });
          in(schema::kTransition.fields[schema::transition::kGuard].name,
             [&] { guard(tr.guard, m); });
        });
      }
    });
    const bool initial_inside = [&] {
      bool inside = false;
      in(f[schema::machine::kInitialState].name,
         [&] { inside = state_number(m.initial_state, count); });
      return inside;
    }();
    state_list(f[schema::machine::kAcceptingStates].name, m.accepting_states,
               count);
    state_list(f[schema::machine::kViolatingStates].name, m.violating_states,
               count);
    if (!initial_inside) return;
    const std::vector<bool> reached = reachable(m);
    in(f[schema::machine::kStates].name, [&] {
      for (std::size_t s = 0; s < count; ++s) {
        if (reached[s]) continue;
        at(s, [&] {
          report(codes::kUnreachableState,
                 unreachable_state_message(s, m.states[s].label.view()));
        });
      }
    });
    const bool can_violate =
        std::any_of(m.violating_states.begin(), m.violating_states.end(),
                    [&](std::uint32_t s) { return s < count && reached[s]; });
    if (!can_violate) {
      in(f[schema::machine::kViolatingStates].name, [&] {
        report(codes::kNeverViolates, never_violates_message(m.name.view()));
      });
    }
  }

  void guard(const ir::TransitionGuard& g, const ir::StateMachine& m) {
    const std::size_t index = g.guard.index();
    if (std::holds_alternative<ir::TimeoutGuard>(g.guard)) {
      if (!m.deadline_millis) {
        report(codes::kTimeoutWithoutDeadline,
               timeout_without_deadline_message());
      }
      return;
    }
    const ir::IRExpr* e = nullptr;
    if (const auto* p = std::get_if<ir::PredicateGuard>(&g.guard)) e = &p->expr;
    if (const auto* n = std::get_if<ir::NegatedPredicateGuard>(&g.guard)) {
      e = &n->expr;
    }
    if (e != nullptr) in(schema::kGuard.variants[index], [&] { expr(*e); });
  }

  // The states an instance can reach from its initial state: only Active
  // states step, and a Timeout transition needs a deadline.
  static std::vector<bool> reachable(const ir::StateMachine& m) {
    const std::size_t count = m.states.size();
    std::vector<bool> reached(count, false);
    std::vector<std::uint32_t> pending{m.initial_state};
    reached[m.initial_state] = true;
    while (!pending.empty()) {
      const std::uint32_t state = pending.back();
      pending.pop_back();
      if (m.states[state].kind != nodes::StateKind::Active) continue;
      for (const ir::Transition& t : m.transitions) {
        if (t.from != state || t.to >= count || reached[t.to]) continue;
        if (std::holds_alternative<ir::TimeoutGuard>(t.guard.guard) &&
            !m.deadline_millis) {
          continue;
        }
        reached[t.to] = true;
        pending.push_back(t.to);
      }
    }
    return reached;
  }

  std::vector<Diagnostic>& out_;
  PolicyPath path_;
  int binding_depth_ = 0;
};

}  // namespace

std::string_view severity_name(DiagnosticSeverity severity) noexcept {
  switch (severity) {
    case DiagnosticSeverity::Error:
      return "error";
    case DiagnosticSeverity::Warning:
      return "warning";
    case DiagnosticSeverity::Info:
      break;
  }
  return "info";
}

std::vector<Diagnostic> diagnose_policy(const ir::CompiledPolicy& policy,
                                        std::span<const SkippedKey> skipped) {
  std::vector<Diagnostic> out;
  for (const SkippedKey& key : skipped) {
    const std::string record = key.record->display_name();
    if (const schema::Field* field = closest_field(key.key, *key.record)) {
      out.push_back(Diagnostic{
          codes::kMisspeltKey,
          misspelt_key_message(key.key, record, field->name, field->type),
          key.path});
    } else {
      out.push_back(Diagnostic{codes::kUnknownKey,
                               unknown_key_message(key.key, record), key.path});
    }
  }
  Diagnoser(out).policy(policy);
  return out;
}

}  // namespace halvo_compiler
