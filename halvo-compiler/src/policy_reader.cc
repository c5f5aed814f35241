#include "halvo_compiler/policy_reader.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "halvo_compiler/json_cursor.h"
#include "halvo_compiler/policy_schema.h"
#include "halvo_compiler/read_messages.h"

namespace halvo_compiler {
namespace {

namespace msg = read_messages;
namespace nodes = ast::nodes;
using halvo::Box;
using halvo::SmallString;
using Step = JsonCursor::Step;

using schema::EnumShape;
using schema::Payload;
using schema::RecordShape;

// ---------------------------------------------------------------------------
// Generic readers. Each reads one value at the cursor and returns false
// after recording the first error in the cursor.

// Reads a JSON array of exactly `count` elements whose '[' is at the cursor.
template <class Expectation, class ReadElement>
bool read_fixed_array(JsonCursor& c, std::size_t count,
                      Expectation&& length_expectation,
                      ReadElement&& read_element) {
  if (!c.enter()) return false;
  for (std::size_t i = 0; i < count; ++i) {
    switch (c.next_element(i == 0)) {
      case Step::kEnd:
        return c.fail(msg::invalid_length(i, length_expectation()));
      case Step::kError:
        return false;
      case Step::kItem:
        if (!read_element(i)) return false;
    }
  }
  return c.close_full_array();
}

// Reads a record in object or array form; read_field(i) reads the value of
// field i with the cursor at it.
template <class ReadField>
bool read_record(JsonCursor& c, const RecordShape& shape,
                 ReadField&& read_field) {
  const int b = c.peek();
  if (b == '[') {
    return read_fixed_array(
        c, shape.fields.size(), [&] { return shape.length_expectation(); },
        read_field);
  }
  if (b != '{') return c.fail_invalid_type(shape.expectation());
  if (!c.enter()) return false;
  std::uint32_t given = 0;
  for (bool first = true;; first = false) {
    std::string_view key;
    switch (c.next_key(first, key)) {
      case Step::kError:
        return false;
      case Step::kEnd: {
        c.leave();
        const std::uint32_t missing = shape.required & ~given;
        if (missing == 0) return true;
        return c.fail(
            msg::missing_field(shape.fields[std::countr_zero(missing)].name));
      }
      case Step::kItem:
        break;
    }
    const std::size_t field = shape.find(key);
    if (field == shape.fields.size()) {
      // Other tools may annotate records; their keys are passed over.
      if (!c.colon() || !c.skip_value()) return false;
      continue;
    }
    const std::uint32_t bit = std::uint32_t{1} << field;
    if ((given & bit) != 0) return c.fail(msg::duplicate_field(key));
    given |= bit;
    if (!c.colon() || !read_field(field)) return false;
  }
}

bool find_variant(JsonCursor& c, const EnumShape& shape, std::string_view name,
                  std::size_t& index) {
  for (std::size_t i = 0; i < shape.variants.size(); ++i) {
    if (shape.variants[i] == name) {
      index = i;
      return true;
    }
  }
  return c.fail(msg::unknown_variant(name, shape.variants));
}

// Reads an enumeration value: a variant name, or an object with one key,
// the variant name, holding the payload. read_payload(i) reads the payload
// of variant i with the cursor at it.
template <class ReadPayload>
bool read_enum(JsonCursor& c, const EnumShape& shape, std::size_t& index,
               ReadPayload&& read_payload) {
  const int b = c.peek();
  std::string_view name;
  if (b == '"') {
    if (!c.read_string(name) || !find_variant(c, shape, name, index)) {
      return false;
    }
    const Payload payload = shape.payload(index);
    if (payload == Payload::kNone) return true;
    return c.fail(msg::invalid_type(msg::unexpected_unit_variant(),
                                    payload == Payload::kValue
                                        ? msg::expected_newtype_variant_text()
                                        : msg::expected_struct_variant_text()));
  }
  if (b != '{') {
    if (b == JsonCursor::kEnd) return c.fail(msg::eof_while_parsing_value());
    return c.fail_at_next(msg::expected_value());
  }
  if (!c.enter()) return false;
  const int key_start = c.peek();
  if (key_start != '"') {
    if (key_start == JsonCursor::kEnd) {
      return c.fail(msg::eof_while_parsing_value());
    }
    return c.fail_at_next(msg::expected_value());
  }
  if (!c.read_string(name) || !find_variant(c, shape, name, index) ||
      !c.colon()) {
    return false;
  }
  if (shape.payload(index) == Payload::kNone) {
    if (c.peek() != 'n') return c.fail_invalid_type(msg::expected_unit_text());
    if (!c.read_word("null")) return false;
  } else if (!read_payload(index)) {
    return false;
  }
  return c.close_variant_object();
}

// Reads a language enumeration (none of which carries a payload).
template <class E>
bool read_named(JsonCursor& c, E& out) {
  std::size_t index = 0;
  if (!read_enum(c, EnumShape{nodes::variant_names<E>(), {}}, index,
                 [](std::size_t) { return true; })) {
    return false;
  }
  out = static_cast<E>(index);
  return true;
}

// Reads a JSON array of any length; read_one() reads one element at the
// cursor.
template <class ReadOne>
bool read_elements(JsonCursor& c, ReadOne&& read_one) {
  if (c.peek() != '[')
    return c.fail_invalid_type(msg::expected_sequence_text());
  if (!c.enter()) return false;
  for (bool first = true;; first = false) {
    switch (c.next_element(first)) {
      case Step::kEnd:
        c.leave();
        return true;
      case Step::kError:
        return false;
      case Step::kItem:
        if (!read_one()) return false;
    }
  }
}

// Reads a list into `out`; read_item(T&) fills a freshly appended element.
template <class T, class ReadItem>
bool read_list(JsonCursor& c, std::vector<T>& out, ReadItem&& read_item) {
  return read_elements(c, [&] { return read_item(out.emplace_back()); });
}

template <class ReadFirst, class ReadSecond>
bool read_pair(JsonCursor& c, ReadFirst&& read_first,
               ReadSecond&& read_second) {
  if (c.peek() != '[') return c.fail_invalid_type(msg::expected_pair_text());
  return read_fixed_array(
      c, 2, [] { return std::string(msg::expected_pair_text()); },
      [&](std::size_t i) { return i == 0 ? read_first() : read_second(); });
}

// Reads an optional value: null holds nothing; anything else is read by
// read_value(out), which fills `out`.
template <class T, class ReadValue>
bool read_optional(JsonCursor& c, std::optional<T>& out,
                   ReadValue&& read_value) {
  if (c.peek() == 'n') {
    out.reset();
    return c.read_word("null");
  }
  return read_value(out);
}

// Reads a T with read(c, T&) and moves it onto the heap.
template <class T, class Read>
bool read_boxed(JsonCursor& c, std::optional<Box<T>>& out, Read&& read) {
  T value;
  if (!read(c, value)) return false;
  out.emplace(std::move(value));
  return true;
}

// ---------------------------------------------------------------------------
// Scalars.

bool read_text(JsonCursor& c, SmallString& out) {
  if (c.peek() != '"') return c.fail_invalid_type(msg::expected_string_text());
  std::string_view text;
  if (!c.read_string(text)) return false;
  out = SmallString(text);
  return true;
}

bool read_bool(JsonCursor& c, bool& out) {
  const int b = c.peek();
  if (b != 't' && b != 'f') {
    return c.fail_invalid_type(msg::expected_boolean_text());
  }
  out = b == 't';
  return c.read_word(out ? "true" : "false");
}

bool starts_number(int b) { return b == '-' || (b >= '0' && b <= '9'); }

// Reads a number token for an integer field: only integers are accepted.
bool read_integer(JsonCursor& c, JsonNumber& number,
                  std::string_view expected) {
  if (!starts_number(c.peek())) return c.fail_invalid_type(expected);
  if (!c.read_number(number)) return false;
  if (!number.integer) {
    return c.fail(
        msg::invalid_type(msg::unexpected_float(number.value), expected));
  }
  return true;
}

bool integer_out_of_range(JsonCursor& c, const JsonNumber& number,
                          std::string_view expected) {
  return c.fail(
      msg::invalid_value(msg::unexpected_integer(number.text), expected));
}

template <class T>
bool read_unsigned(JsonCursor& c, T& out, std::string_view expected) {
  JsonNumber number;
  if (!read_integer(c, number, expected)) return false;
  if (!number.fits_u64 || (number.negative && number.magnitude != 0) ||
      number.magnitude > std::numeric_limits<T>::max()) {
    return integer_out_of_range(c, number, expected);
  }
  out = static_cast<T>(number.magnitude);
  return true;
}

bool read_u32(JsonCursor& c, std::uint32_t& out) {
  return read_unsigned(c, out, msg::expected_u32_text());
}

bool read_u64(JsonCursor& c, std::uint64_t& out) {
  return read_unsigned(c, out, msg::expected_u64_text());
}

bool read_i64(JsonCursor& c, std::int64_t& out) {
  JsonNumber number;
  const std::string_view expected = msg::expected_i64_text();
  if (!read_integer(c, number, expected)) return false;
  constexpr auto kMax =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  const std::uint64_t limit = number.negative ? kMax + 1 : kMax;
  if (!number.fits_u64 || number.magnitude > limit) {
    return integer_out_of_range(c, number, expected);
  }
  // Two's complement conversion is exact for every magnitude up to 2^63.
  out = static_cast<std::int64_t>(number.negative ? 0 - number.magnitude
                                                  : number.magnitude);
  return true;
}

bool read_f64(JsonCursor& c, double& out) {
  if (!starts_number(c.peek())) {
    return c.fail_invalid_type(msg::expected_f64_text());
  }
  JsonNumber number;
  if (!c.read_number(number)) return false;
  if (!number.integer) {
    out = number.value;
    return true;
  }
  return c.integer_to_double(number, out);
}

bool read_text_list(JsonCursor& c, std::vector<SmallString>& out) {
  return read_list(c, out, [&](SmallString& s) { return read_text(c, s); });
}

bool read_u32_list(JsonCursor& c, std::vector<std::uint32_t>& out) {
  return read_list(c, out, [&](std::uint32_t& n) { return read_u32(c, n); });
}

// ---------------------------------------------------------------------------
// Expressions.

bool read_expr(JsonCursor& c, ir::IRExpr& out);
bool read_decision_node(JsonCursor& c, ir::DecisionNode& out);
bool read_verdict(JsonCursor& c, ir::IRVerdict& out);

bool read_expr_list(JsonCursor& c, std::vector<ir::IRExpr>& out) {
  return read_list(c, out, [&](ir::IRExpr& e) { return read_expr(c, e); });
}

bool read_duration(JsonCursor& c, nodes::DurationLit& out) {
  return read_record(c, schema::kDuration, [&](std::size_t field) {
    return field == 0 ? read_u64(c, out.value) : read_named(c, out.unit);
  });
}

bool read_literal(JsonCursor& c, nodes::Literal& out) {
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

bool read_ref_root(JsonCursor& c, ir::RefRoot& out) {
  std::size_t index = 0;
  if (!read_enum(c, schema::kRoot, index,
                 [&](std::size_t) { return read_u32(c, out.local_index); })) {
    return false;
  }
  out.kind = static_cast<ir::RefRoot::Kind>(index);
  return true;
}

bool read_ref_path(JsonCursor& c, ir::RefPath& out) {
  return read_record(c, schema::kRefPath, [&](std::size_t field) {
    return field == 0 ? read_ref_root(c, out.root)
                      : read_text_list(c, out.fields);
  });
}

bool read_binary(JsonCursor& c, ir::IRExpr& out) {
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

bool read_unary(JsonCursor& c, ir::IRExpr& out) {
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

bool read_predicate(JsonCursor& c, ir::IRExpr& out) {
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

bool read_quantifier(JsonCursor& c, ir::IRExpr& out) {
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

bool read_count(JsonCursor& c, ir::IRExpr& out) {
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

bool read_call(JsonCursor& c, ir::IRExpr& out) {
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

bool read_method_call(JsonCursor& c, ir::IRExpr& out) {
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

bool read_expr(JsonCursor& c, ir::IRExpr& out) {
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

bool read_verdict(JsonCursor& c, ir::IRVerdict& out) {
  return read_record(c, schema::kVerdict, [&](std::size_t field) {
    if (field == 0) return read_named(c, out.verdict);
    return read_optional(c, out.message,
                         [&](auto& m) { return read_expr(c, m.emplace()); });
  });
}

bool read_case_test(JsonCursor& c, ir::CaseTest& out) {
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
bool read_decision_case(JsonCursor& c, std::vector<ir::DecisionCase>& out) {
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

bool read_switch(JsonCursor& c, ir::SwitchNode& out) {
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

bool read_decision_node(JsonCursor& c, ir::DecisionNode& out) {
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

bool read_named_expr_pair(JsonCursor& c,
                          std::pair<SmallString, ir::IRExpr>& out) {
  return read_pair(
      c, [&] { return read_text(c, out.first); },
      [&] { return read_expr(c, out.second); });
}

bool read_action(JsonCursor& c, ir::IRAction& out) {
  return read_record(c, schema::kAction, [&](std::size_t field) {
    if (field == 0) return read_named(c, out.verb);
    return read_list(c, out.args, [&](std::pair<SmallString, ir::IRExpr>& p) {
      return read_named_expr_pair(c, p);
    });
  });
}

bool read_rule(JsonCursor& c, ir::CompiledRule& out) {
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

bool read_constraint(JsonCursor& c, ir::CompiledConstraint& out) {
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

bool read_state(JsonCursor& c, ir::State& out) {
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

bool read_guard(JsonCursor& c, ir::TransitionGuard& out) {
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

bool read_transition(JsonCursor& c, ir::Transition& out) {
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

bool read_machine(JsonCursor& c, ir::StateMachine& out) {
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

bool read_metadata(JsonCursor& c, ir::PolicyMetadata& out) {
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

bool read_compiled_policy(JsonCursor& c, ir::CompiledPolicy& out) {
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
    std::string_view json) {
  JsonCursor c(json);
  ir::CompiledPolicy policy;
  if (!read_compiled_policy(c, policy)) return halvo::fail(c.error());
  if (c.peek() != JsonCursor::kEnd) {
    c.fail_at_next(msg::trailing_characters());
    return halvo::fail(c.error());
  }
  return policy;
}

}  // namespace halvo_compiler
