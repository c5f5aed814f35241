// Fuzzes the evaluation plan against the tree evaluator.
//
// Input: a policy in JSON, then a NUL byte, then bytes that describe a few
// events (without the NUL, two fixed events are used). Every event goes to
// two engines built from the same policy: one evaluates through its plan,
// the other through the tree evaluator (evaluate_reference); their results
// and status texts must be identical. Besides, every expression of the
// policy (conditions, verdict messages, action arguments, guards), compiled
// into a plan of its own, must give the tree's value and truthiness for
// each event, including the messages of verdicts the engine drops. Any
// difference aborts.
//
// Event bytes, read until they run out (a missing byte reads as 0):
//   per event: an operation byte (bit 0: set a context entry, bit 1: set a
//   configuration entry, then the entry's key and value), a type byte (a
//   name from the policy text, or "t"), a timestamp step byte (x 997 ms),
//   a field count byte (% 6) and that many key and value encodings.
//   A key byte picks one of the strings of the policy text. A value starts
//   with a tag byte (% 8: Null, Bool, Int, Float, String, Duration, List,
//   Map); lists and maps hold up to 4 items and nest up to 3 levels.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "halvo/small_string.h"
#include "halvo_compiler/policy_reader.h"
#include "halvo_runtime/evaluation_plan.h"
#include "halvo_runtime/evaluator.h"
#include "halvo_runtime/event.h"
#include "halvo_runtime/plan_check.h"
#include "halvo_runtime/policy_engine.h"

namespace {

using halvo::SmallString;
using halvo_compiler::ir::CompiledPolicy;
using halvo_compiler::ir::IRExpr;
using halvo_runtime::engine::PolicyEngine;
using halvo_runtime::engine::PolicyResult;
using halvo_runtime::eval::EvalScope;
using halvo_runtime::eval::EvaluationPlan;
using halvo_runtime::eval::ExprId;
using halvo_runtime::eval::plan_disagreement;
using halvo_runtime::eval::same_value;
using halvo_runtime::event::Event;
using halvo_runtime::event::Value;
using halvo_runtime::event::ValueList;
using halvo_runtime::event::ValueMap;

constexpr std::uint64_t kStart = 1'700'000'000'000;
constexpr std::size_t kMaxEvents = 8;
constexpr std::size_t kMaxNames = 64;
// Two events with a few fields each, for an input without event bytes.
constexpr std::string_view kDefaultEvents =
    "\x00\x01\x01\x03\x01\x04\x02\x02\x05\x03\x06\x02\x04\x03\x02"
    "\x02\x01\x05\x07\x02\x03\x04\x04\x06\x01\x02\x11";

[[noreturn]] void differ(const char* what) {
  std::fprintf(stderr, "plan and tree engines differ: %s\n", what);
  std::abort();
}

class Bytes {
 public:
  explicit Bytes(std::string_view data) : data_(data) {}
  bool done() const { return pos_ >= data_.size(); }
  std::uint8_t byte() {
    return done() ? 0 : static_cast<std::uint8_t>(data_[pos_++]);
  }
  std::uint64_t word() {
    std::uint64_t w = 0;
    for (int i = 0; i < 8; ++i) w = (w << 8) | byte();
    return w;
  }

 private:
  std::string_view data_;
  std::size_t pos_ = 0;
};

// The strings of the policy text (field names, literals, event types), the
// pool that keys, types and string values are drawn from. Texts with
// escapes are skipped, so every name is plain UTF-8 from the text.
std::vector<SmallString> names_in(std::string_view text) {
  std::vector<SmallString> names{SmallString("t")};
  for (std::size_t pos = 0; pos < text.size() && names.size() < kMaxNames;) {
    const std::size_t open = text.find('"', pos);
    if (open == std::string_view::npos) break;
    const std::size_t close = text.find('"', open + 1);
    if (close == std::string_view::npos) break;
    const std::string_view name = text.substr(open + 1, close - open - 1);
    if (name.find('\\') == std::string_view::npos) names.emplace_back(name);
    pos = close + 1;
  }
  return names;
}

class EventReader {
 public:
  EventReader(std::string_view data, std::vector<SmallString> names)
      : bytes_(data), names_(std::move(names)) {}
  bool done() const { return bytes_.done(); }
  std::uint8_t byte() { return bytes_.byte(); }
  const SmallString& name() { return names_[byte() % names_.size()]; }

  Value value(int depth = 0) {
    const std::uint8_t tag = byte();
    switch (tag % 8) {
      case 0:
        return Value::null();
      case 1:
        return Value::boolean((tag & 8) != 0);
      case 2:
        // Small numbers meet the constants of a policy more often.
        return Value::integer((tag & 8)
                                  ? static_cast<std::int64_t>(bytes_.word())
                                  : static_cast<std::int8_t>(byte()));
      case 3: {
        if ((tag & 8) == 0)
          return Value::floating(static_cast<std::int8_t>(byte()) / 4.0);
        const std::uint64_t bits = bytes_.word();
        double x;
        std::memcpy(&x, &bits, sizeof x);
        return Value::floating(x);
      }
      case 4:
        return Value::string(name());
      case 5:
        return Value::duration((tag & 8) ? bytes_.word() : byte() * 1000u);
      case 6: {
        ValueList items;
        const int count = depth < 3 ? byte() % 5 : 0;
        for (int i = 0; i < count; ++i) items.push_back(value(depth + 1));
        return Value::list(std::move(items));
      }
      default: {
        ValueMap entries;
        const int count = depth < 3 ? byte() % 5 : 0;
        for (int i = 0; i < count; ++i) {
          SmallString key = name();
          entries.insert_or_assign(std::move(key), value(depth + 1));
        }
        return Value::map(std::move(entries));
      }
    }
  }

 private:
  Bytes bytes_;
  std::vector<SmallString> names_;
};

// Every expression of a policy, with its id in a plan of its own.
struct Expressions {
  EvaluationPlan plan;
  std::vector<std::pair<const IRExpr*, ExprId>> all;

  void add(const IRExpr& expr) { all.emplace_back(&expr, plan.compile(expr)); }

  explicit Expressions(const CompiledPolicy& policy) {
    for (const auto& rule : policy.rules) {
      if (rule.condition) add(*rule.condition);
      for (const auto& candidate : rule.verdicts) {
        if (candidate.message) add(*candidate.message);
      }
      for (const auto& action : rule.actions) {
        for (const auto& arg : action.args) add(arg.second);
      }
    }
    for (const auto& machine : policy.state_machines) {
      for (const auto& transition : machine.transitions) {
        std::visit(
            [&](const auto& guard) {
              if constexpr (requires { guard.expr; }) add(guard.expr);
            },
            transition.guard.guard);
      }
    }
  }

  void check(const EvalScope& scope) const {
    for (const auto& [expr, id] : all) {
      const Value tree = halvo_runtime::eval::eval(*expr, scope);
      const Value plan_value = plan.value(id, scope);
      if (!same_value(plan_value, tree)) {
        plan_disagreement("an expression's value", plan_value, tree);
      }
      if (plan.test(id, scope) != tree.is_truthy()) {
        plan_disagreement("an expression's truthiness",
                          Value::boolean(!tree.is_truthy()),
                          Value::boolean(tree.is_truthy()));
      }
      Value storage;
      const Value& borrowed = plan.operand(id, scope, storage);
      if (!same_value(borrowed, tree)) {
        plan_disagreement("an expression's operand", borrowed, tree);
      }
    }
  }
};

void compare(const PolicyResult& a, const PolicyResult& b) {
  if (a.verdict != b.verdict) differ("verdict");
  if (a.reason.has_value() != b.reason.has_value() ||
      (a.reason && !(*a.reason == *b.reason))) {
    differ("reason");
  }
  if (a.triggered_rules != b.triggered_rules) differ("triggered rules");
  if (a.actions.size() != b.actions.size()) differ("action count");
  for (std::size_t i = 0; i < a.actions.size(); ++i) {
    const auto& x = a.actions[i];
    const auto& y = b.actions[i];
    if (!(x.verb == y.verb) || x.rule != y.rule || x.action != y.action) {
      differ("action");
    }
    if (!same_value(Value::map(x.args), Value::map(y.args))) {
      differ("action arguments");
    }
  }
  if (a.violations.size() != b.violations.size()) differ("violation count");
  for (std::size_t i = 0; i < a.violations.size(); ++i) {
    const auto& x = a.violations[i];
    const auto& y = b.violations[i];
    if (!(x.proof == y.proof) || !(x.invariant == y.invariant) ||
        x.kind != y.kind || !(x.message == y.message)) {
      differ("violation");
    }
  }
  if (a.constraint_violations.size() != b.constraint_violations.size()) {
    differ("constraint violation count");
  }
  for (std::size_t i = 0; i < a.constraint_violations.size(); ++i) {
    const auto& x = a.constraint_violations[i];
    const auto& y = b.constraint_violations[i];
    if (x.kind != y.kind || !(x.target == y.target) || x.limit != y.limit ||
        x.current != y.current || x.window_ms != y.window_ms) {
      differ("constraint violation");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::optional<std::string_view> input = fuzz_input(data, size);
  if (!input) return 0;
  const std::size_t split = input->find('\0');
  const std::string_view text = input->substr(0, split);
  const std::string_view event_bytes = split == std::string_view::npos
                                           ? kDefaultEvents
                                           : input->substr(split + 1);
  auto read = halvo_compiler::read_policy(text);
  if (!read) return 0;
  CompiledPolicy policy = std::move(read).value();
  PolicyEngine planned(policy);
  PolicyEngine reference(std::move(policy));
  const Expressions expressions(reference.policy());
  planned.reset_at(kStart);
  reference.reset_at(kStart);
  ValueMap context;
  ValueMap config;

  EventReader reader(event_bytes, names_in(text));
  std::uint64_t now = kStart;
  for (std::size_t n = 0; n < kMaxEvents && !reader.done(); ++n) {
    const std::uint8_t operation = reader.byte();
    if (operation & 1) {
      const SmallString key = reader.name();
      const Value value = reader.value();
      planned.set_context(key, value);
      reference.set_context(key, value);
      context.insert_or_assign(key, value);
    }
    if (operation & 2) {
      const SmallString key = reader.name();
      const Value value = reader.value();
      planned.set_config(key, value);
      reference.set_config(key, value);
      config.insert_or_assign(key, value);
    }
    const SmallString type = reader.name();
    now += reader.byte() * 997u;
    Event event(type, now);
    const int fields = reader.byte() % 6;
    for (int i = 0; i < fields; ++i) {
      SmallString key = reader.name();
      event.set_field(std::move(key), reader.value());
    }
    expressions.check(EvalScope{event, context, config});
    compare(planned.evaluate(event), reference.evaluate_reference(event));
    if (planned.status().text() != reference.status().text()) {
      differ("status");
    }
  }
  return 0;
}
