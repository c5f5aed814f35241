#include "halvo_runtime/evaluation_plan.h"

#include <optional>
#include <utility>
#include <variant>

#include "functions.h"
#include "halvo_runtime/evaluator.h"
#include "methods.h"
#include "operand.h"
#include "operators.h"

namespace halvo_runtime::eval {
namespace {

using event::ValueList;
using halvo_compiler::ir::BinaryExpr;
using halvo_compiler::ir::BinaryOp;
using halvo_compiler::ir::CallExpr;
using halvo_compiler::ir::CountExpr;
using halvo_compiler::ir::DecisionNode;
using halvo_compiler::ir::IRExpr;
using halvo_compiler::ir::ListExpr;
using halvo_compiler::ir::Literal;
using halvo_compiler::ir::MethodCallExpr;
using halvo_compiler::ir::PredicateExpr;
using halvo_compiler::ir::PredicateKind;
using halvo_compiler::ir::QuantifierExpr;
using halvo_compiler::ir::QuantifierKind;
using halvo_compiler::ir::RefPath;
using halvo_compiler::ir::RefRoot;
using halvo_compiler::ir::UnaryExpr;
using halvo_compiler::ir::UnaryOp;
using Kind = Value::Kind;

const Value kNull;

// The set of handlers std::visit picks from, one per alternative.
template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

// A list of this many strings or more is searched through a keyed set.
constexpr std::size_t kStringSetMinimum = 8;

// The value of an expression that reads nothing: a literal, or a list whose
// items are all such expressions.
std::optional<Value> constant_of(const IRExpr& expr) {
  if (const auto* literal = std::get_if<Literal>(&expr.node)) {
    return eval_literal(*literal);
  }
  const auto* list = std::get_if<ListExpr>(&expr.node);
  if (list == nullptr) return std::nullopt;
  ValueList items;
  items.reserve(list->items.size());
  for (const IRExpr& item : list->items) {
    std::optional<Value> value = constant_of(item);
    if (!value) return std::nullopt;
    items.push_back(std::move(*value));
  }
  return Value::list(std::move(items));
}

// The reference of an expression that reads a field of the event (root
// Event, a non-empty path), or nullptr.
const RefPath* event_field(const IRExpr& expr) noexcept {
  const auto* ref = std::get_if<RefPath>(&expr.node);
  if (ref == nullptr || ref->root.kind != RefRoot::Kind::Event ||
      ref->fields.empty()) {
    return nullptr;
  }
  return ref;
}

const Literal* literal_of(const IRExpr& expr) noexcept {
  return std::get_if<Literal>(&expr.node);
}

bool all_strings(const Value& list) noexcept {
  for (const Value& item : list.list_items()) {
    if (item.kind() != Kind::String) return false;
  }
  return true;
}

}  // namespace

// --- building --------------------------------------------------------------

ExprId EvaluationPlan::add(Node node) {
  nodes_.push_back(node);
  return static_cast<ExprId>(nodes_.size() - 1);
}

std::uint32_t EvaluationPlan::add_pool_constant(Value value) {
  constants_.push_back(std::move(value));
  return static_cast<std::uint32_t>(constants_.size() - 1);
}

ExprId EvaluationPlan::add_constant(Value value) {
  return add({Op::Constant, 0, add_pool_constant(std::move(value))});
}

std::uint32_t EvaluationPlan::add_path(
    const std::vector<halvo::SmallString>& fields) {
  static_assert(event::EventFieldUse::kNoSlot == kNone,
                "a field without a slot keeps slot_of's answer");
  paths_.emplace_back(fields);
  path_slots_.push_back(slot_use_ != nullptr && !fields.empty()
                            ? slot_use_->slot_of(fields.front().view())
                            : kNone);
  return static_cast<std::uint32_t>(paths_.size() - 1);
}

std::uint32_t EvaluationPlan::add_list(const std::vector<IRExpr>& items) {
  // Items first: compiling one may append lists of its own.
  std::vector<ExprId> ids;
  ids.reserve(items.size());
  for (const IRExpr& item : items) ids.push_back(compile(item));
  const auto offset = static_cast<std::uint32_t>(lists_.size());
  lists_.push_back(static_cast<std::uint32_t>(ids.size()));
  lists_.insert(lists_.end(), ids.begin(), ids.end());
  return offset;
}

ExprId EvaluationPlan::compile(const IRExpr& expr) {
  // One handler per expression variant and no catch-all: a variant added to
  // IRExpr fails to compile here until the plan handles it.
  return std::visit(
      Overloaded{
          [&](const Literal& literal) {
            return add_constant(eval_literal(literal));
          },
          [&](const RefPath& ref) { return compile_ref(ref); },
          [&](const BinaryExpr& binary) { return compile_binary(binary); },
          [&](const UnaryExpr& unary) {
            const ExprId operand = compile(*unary.operand);
            return add(
                {unary.op == UnaryOp::Not ? Op::Not : Op::Neg, 0, operand});
          },
          [&](const PredicateExpr& predicate) {
            return compile_predicate(predicate);
          },
          [&](const QuantifierExpr& quantifier) {
            const ExprId collection = compile(*quantifier.collection);
            const ExprId body = compile(*quantifier.body);
            return add({Op::Quantifier,
                        static_cast<std::uint8_t>(quantifier.kind), collection,
                        body});
          },
          [&](const CountExpr& count) {
            const ExprId collection = compile(*count.collection);
            const ExprId filter =
                count.filter ? compile(**count.filter) : kNone;
            return add({Op::Count, 0, collection, filter});
          },
          [&](const CallExpr& call) { return compile_call(call); },
          [&](const MethodCallExpr& call) { return compile_method(call); },
          [&](const halvo::Box<DecisionNode>& tree) {
            trees_.push_back(tree.get());
            return add(
                {Op::Tree, 0, static_cast<std::uint32_t>(trees_.size() - 1)});
          },
          [&](const ListExpr& list) {
            if (std::optional<Value> constant = constant_of(expr)) {
              return add_constant(std::move(*constant));
            }
            return add({Op::List, 0, add_list(list.items)});
          },
      },
      expr.node);
}

ExprId EvaluationPlan::compile_ref(const RefPath& ref) {
  const bool whole = ref.fields.empty();
  switch (ref.root.kind) {
    case RefRoot::Kind::Event:
      if (whole) return add({Op::WholeEvent});
      return add({Op::Field, 0, add_path(ref.fields)});
    case RefRoot::Kind::Context:
      if (whole) return add({Op::WholeContext});
      return add({Op::ContextEntry, 0, add_path(ref.fields)});
    case RefRoot::Kind::Policy:
      if (whole) return add({Op::WholeConfig});
      return add({Op::ConfigEntry, 0, add_path(ref.fields)});
    case RefRoot::Kind::Local:
      break;
  }
  return add({Op::Local, 0, ref.root.local_index});
}

ExprId EvaluationPlan::compile_binary(const BinaryExpr& binary) {
  const BinaryOp op = binary.op;
  const IRExpr& left = *binary.left;
  const IRExpr& right = *binary.right;
  const auto sub = static_cast<std::uint8_t>(op);
  if (op == BinaryOp::And || op == BinaryOp::Or || op == BinaryOp::Implies) {
    const ExprId a = compile(left);
    const ExprId b = compile(right);
    const Op logical = op == BinaryOp::And  ? Op::And
                       : op == BinaryOp::Or ? Op::Or
                                            : Op::Implies;
    return add({logical, 0, a, b});
  }
  const RefPath* left_field = event_field(left);
  const RefPath* right_field = event_field(right);
  const Literal* left_literal = literal_of(left);
  const Literal* right_literal = literal_of(right);
  if (is_test_operator(op)) {
    if (left_field != nullptr && right_literal != nullptr) {
      const std::uint32_t path = add_path(left_field->fields);
      const std::uint32_t constant =
          add_pool_constant(eval_literal(*right_literal));
      return add({Op::TestField, sub, path, constant, 0});
    }
    if (left_literal != nullptr && right_field != nullptr) {
      const std::uint32_t constant =
          add_pool_constant(eval_literal(*left_literal));
      const std::uint32_t path = add_path(right_field->fields);
      return add({Op::TestField, sub, path, constant, 1});
    }
    if (op == BinaryOp::In) {
      std::optional<Value> list = constant_of(right);
      if (list && list->kind() == Kind::List) {
        const ExprId needle = compile(left);
        std::uint32_t set = kNone;
        if (list->list_items().size() >= kStringSetMinimum &&
            all_strings(*list)) {
          halvo::HashMap<bool> strings;
          for (const Value& item : list->list_items()) {
            strings.insert_or_assign(item.string_value(), true);
          }
          string_sets_.push_back(std::move(strings));
          set = static_cast<std::uint32_t>(string_sets_.size() - 1);
        }
        return add({Op::InConstant, 0, needle,
                    add_pool_constant(std::move(*list)), set});
      }
    }
    const ExprId a = compile(left);
    const ExprId b = compile(right);
    return add({Op::Test, sub, a, b});
  }
  if (op == BinaryOp::Add) {
    const bool left_text =
        left_literal != nullptr &&
        std::holds_alternative<halvo::SmallString>(left_literal->value);
    const bool right_text =
        right_literal != nullptr &&
        std::holds_alternative<halvo::SmallString>(right_literal->value);
    if (left_text && right_field != nullptr) {
      const std::uint32_t constant =
          add_pool_constant(eval_literal(*left_literal));
      return add(
          {Op::JoinField, 0, constant, add_path(right_field->fields), 1});
    }
    if (right_text && left_field != nullptr) {
      const std::uint32_t constant =
          add_pool_constant(eval_literal(*right_literal));
      return add({Op::JoinField, 0, constant, add_path(left_field->fields), 0});
    }
  }
  const ExprId a = compile(left);
  const ExprId b = compile(right);
  return add({Op::Arithmetic, sub, a, b});
}

ExprId EvaluationPlan::compile_predicate(const PredicateExpr& predicate) {
  const auto sub = static_cast<std::uint8_t>(predicate.kind);
  const Literal* argument = literal_of(*predicate.argument);
  if (predicate.kind == PredicateKind::Matches && argument != nullptr) {
    // A pattern that is not a String is the empty text.
    const Value pattern = eval_literal(*argument);
    const halvo::SmallString* text = pattern.as_str();
    const halvo::SmallString owned = text ? *text : halvo::SmallString();
    const Pattern shape = Pattern::classify(owned.view());
    const ExprId subject = compile(*predicate.subject);
    patterns_.push_back({shape.shape, halvo::SmallString(shape.text)});
    return add({Op::Match, 0, subject,
                static_cast<std::uint32_t>(patterns_.size() - 1)});
  }
  const RefPath* field = event_field(*predicate.subject);
  if (field != nullptr && argument != nullptr) {
    const std::uint32_t path = add_path(field->fields);
    const std::uint32_t constant = add_pool_constant(eval_literal(*argument));
    return add({Op::PredicateField, sub, path, constant});
  }
  const ExprId subject = compile(*predicate.subject);
  const ExprId arg = compile(*predicate.argument);
  return add({Op::Predicate, sub, subject, arg});
}

ExprId EvaluationPlan::compile_call(const CallExpr& call) {
  const Function function = function_code(call.function.view());
  if (function == Function::Len && call.args.size() == 1) {
    if (const RefPath* field = event_field(call.args.front())) {
      return add({Op::LenField, 0, add_path(field->fields)});
    }
  }
  return add(
      {Op::Call, static_cast<std::uint8_t>(function), add_list(call.args)});
}

ExprId EvaluationPlan::compile_method(const MethodCallExpr& call) {
  const Method method = method_code(call.method);
  names_.push_back(call.method);
  const auto name = static_cast<std::uint32_t>(names_.size() - 1);
  // A Map reads the entry of a name that is no method of its own; on the
  // whole event that entry is read without building the Map.
  const auto* ref = std::get_if<RefPath>(&call.object->node);
  if (ref != nullptr && ref->root.kind == RefRoot::Kind::Event &&
      ref->fields.empty() && method == Method::Other && call.args.empty()) {
    return add({Op::EventEntry, 0, 0, 0, name});
  }
  const ExprId object = compile(*call.object);
  const std::uint32_t args = add_list(call.args);
  return add(
      {Op::Method, static_cast<std::uint8_t>(method), object, args, name});
}

// --- evaluating ------------------------------------------------------------

const Value& EvaluationPlan::field(std::uint32_t path,
                                   const EvalScope& scope) const noexcept {
  const std::uint32_t slot = path_slots_[path];
  const event::Event& event = scope.event;
  if (slot == kNone || event.slot_use() != slot_use_) {
    const Value* found = event.get_field(paths_[path]);
    return found != nullptr ? *found : kNull;
  }
  const Value& first = event.slot_field(slot);
  const event::Path rest = paths_[path].subspan(1);
  if (rest.empty()) return first;
  const Value* found = first.resolve_path(rest);
  return found != nullptr ? *found : kNull;
}

bool EvaluationPlan::test(ExprId id, const EvalScope& scope) const {
  const Node& node = nodes_[id];
  switch (node.op) {
    case Op::Constant:
      return constants_[node.a].is_truthy();
    case Op::Field:
      return field(node.a, scope).is_truthy();
    case Op::And:
      return test(node.a, scope) && test(node.b, scope);
    case Op::Or:
      return test(node.a, scope) || test(node.b, scope);
    case Op::Implies:
      return !test(node.a, scope) || test(node.b, scope);
    case Op::Not:
      return !test(node.a, scope);
    case Op::Test: {
      Value left_storage;
      Value right_storage;
      const Value& left = operand(node.a, scope, left_storage);
      const Value& right = operand(node.b, scope, right_storage);
      return binary_test(static_cast<BinaryOp>(node.sub), left, right);
    }
    case Op::TestField: {
      const Value& found = field(node.a, scope);
      const Value& constant = constants_[node.b];
      const auto op = static_cast<BinaryOp>(node.sub);
      // A String field against a String constant, the commonest rule test,
      // is decided by the texts alone, as values_equal would decide it.
      if (op == BinaryOp::Eq || op == BinaryOp::Neq) {
        const halvo::SmallString* text = found.as_str();
        const halvo::SmallString* wanted = constant.as_str();
        if (text != nullptr && wanted != nullptr) {
          return (*text == *wanted) == (op == BinaryOp::Eq);
        }
      }
      return node.c != 0 ? binary_test(op, constant, found)
                         : binary_test(op, found, constant);
    }
    case Op::InConstant:
      return test_in_constant(node, scope);
    case Op::Predicate: {
      Value subject_storage;
      Value argument_storage;
      const Value& subject = operand(node.a, scope, subject_storage);
      const Value& argument = operand(node.b, scope, argument_storage);
      return test_predicate(static_cast<PredicateKind>(node.sub), subject,
                            argument);
    }
    case Op::PredicateField:
      return test_predicate(static_cast<PredicateKind>(node.sub),
                            field(node.a, scope), constants_[node.b]);
    case Op::Match: {
      Value storage;
      const halvo::SmallString* subject =
          operand(node.a, scope, storage).as_str();
      const MatchPattern& pattern = patterns_[node.b];
      return subject != nullptr &&
             Pattern{pattern.shape, pattern.text.view()}.matches(
                 subject->view());
    }
    case Op::Quantifier:
      return test_quantifier(node, scope);
    case Op::LenField:
      return length_of(field(node.a, scope)) != 0;
    default: {
      Value storage;
      return operand(id, scope, storage).is_truthy();
    }
  }
}

const Value& EvaluationPlan::operand(ExprId id, const EvalScope& scope,
                                     Value& storage) const {
  const Node& node = nodes_[id];
  switch (node.op) {
    case Op::Constant:
      return constants_[node.a];
    case Op::Field:
      return field(node.a, scope);
    case Op::WholeEvent:
      return scope.event.to_value();
    case Op::EventEntry:
      return scope.event.whole_entry(names_[node.c].view(), storage);
    case Op::ContextEntry:
    case Op::ConfigEntry: {
      const Value* found = find_in_map(
          node.op == Op::ContextEntry ? scope.context : scope.config,
          paths_[node.a]);
      return found != nullptr ? *found : kNull;
    }
    case Op::WholeContext:
      storage = Value::map(scope.context);
      return storage;
    case Op::WholeConfig:
      storage = Value::map(scope.config);
      return storage;
    case Op::Local: {
      const Value* found = scope.locals.find(node.a);
      return found != nullptr ? *found : kNull;
    }
    case Op::And:
    case Op::Or:
    case Op::Implies:
    case Op::Not:
    case Op::Test:
    case Op::TestField:
    case Op::InConstant:
    case Op::Predicate:
    case Op::PredicateField:
    case Op::Match:
    case Op::Quantifier:
      storage = Value::boolean(test(id, scope));
      return storage;
    case Op::Neg: {
      Value inner;
      storage = negate(operand(node.a, scope, inner));
      return storage;
    }
    case Op::Arithmetic: {
      Value left_storage;
      Value right_storage;
      const Value& left = operand(node.a, scope, left_storage);
      const Value& right = operand(node.b, scope, right_storage);
      storage = combine(static_cast<BinaryOp>(node.sub), left, right);
      return storage;
    }
    case Op::JoinField: {
      const Value& constant = constants_[node.a];
      const Value& found = field(node.b, scope);
      storage = node.c != 0 ? combine(BinaryOp::Add, constant, found)
                            : combine(BinaryOp::Add, found, constant);
      return storage;
    }
    case Op::Count:
      storage = count(node, scope);
      return storage;
    case Op::Call:
      storage = call(node, scope);
      return storage;
    case Op::LenField:
      storage = Value::integer(length_of(field(node.a, scope)));
      return storage;
    case Op::Method:
      storage = method(node, scope);
      return storage;
    case Op::Tree:
      storage = eval_decision_tree(*trees_[node.a], scope);
      return storage;
    case Op::List:
      storage = list(node, scope);
      return storage;
  }
  return kNull;
}

Value EvaluationPlan::value(ExprId id, const EvalScope& scope) const {
  // An event field, the most common action argument, is copied without
  // the frame of the general operand().
  const Node& node = nodes_[id];
  if (node.op == Op::Field) return field(node.a, scope);
  Value storage;
  const Value& result = operand(id, scope, storage);
  if (&result == &storage) return storage;
  return result;
}

bool EvaluationPlan::test_quantifier(const Node& node,
                                     const EvalScope& scope) const {
  const auto kind = static_cast<QuantifierKind>(node.sub);
  // All is decided by the first falsy body, the others by the first truthy.
  const bool deciding = kind != QuantifierKind::All;
  const bool decided =
      kind == QuantifierKind::Any || kind == QuantifierKind::Exists;
  const Node& source = nodes_[node.a];
  if (source.op == Op::Method &&
      static_cast<Method>(source.sub) == Method::Split) {
    // Over a String's split, the pieces are tested as they are cut: no list
    // is built, and the first deciding piece ends the cutting.
    Value object_storage;
    const Value& object = operand(source.a, scope, object_storage);
    if (const halvo::SmallString* text = object.as_str()) {
      Value argument_storage;
      const Value* argument =
          lists_[source.b] == 0
              ? nullptr
              : &operand(lists_[source.b + 1], scope, argument_storage);
      bool found = false;
      for_each_piece(text->view(), split_separator(argument),
                     [&](std::string_view text_piece) {
                       const Value item = split_piece(text_piece);
                       found =
                           test(node.b, scope.with_element(item)) == deciding;
                       return !found;
                     });
      return found == decided;
    }
  }
  Value storage;
  const Value& collection = operand(node.a, scope, storage);
  if (collection.kind() != Kind::List) return kind == QuantifierKind::None;
  for (const Value& item : collection.list_items()) {
    if (test(node.b, scope.with_element(item)) == deciding) return decided;
  }
  return !decided;
}

bool EvaluationPlan::test_in_constant(const Node& node,
                                      const EvalScope& scope) const {
  Value storage;
  const Value& needle = operand(node.a, scope, storage);
  if (node.c == kNone) {
    return binary_test(BinaryOp::In, needle, constants_[node.b]);
  }
  // Only a String equals a String item, and then by its text.
  const halvo::SmallString* text = needle.as_str();
  return text != nullptr && string_sets_[node.c].contains(text->view());
}

Value EvaluationPlan::count(const Node& node, const EvalScope& scope) const {
  Value storage;
  const Value& collection = operand(node.a, scope, storage);
  if (collection.kind() != Kind::List) return Value::integer(0);
  const ValueList& items = collection.list_items();
  if (node.b == kNone) {
    return Value::integer(static_cast<std::int64_t>(items.size()));
  }
  std::int64_t matching = 0;
  for (const Value& item : items) {
    if (test(node.b, scope.with_element(item))) ++matching;
  }
  return Value::integer(matching);
}

Value EvaluationPlan::call(const Node& node, const EvalScope& scope) const {
  const std::uint32_t* ids = &lists_[node.a + 1];
  const Arguments args(lists_[node.a],
                       [&](std::size_t i, Value& storage) -> const Value& {
                         return operand(ids[i], scope, storage);
                       });
  return call_function(static_cast<Function>(node.sub), args);
}

Value EvaluationPlan::method(const Node& node, const EvalScope& scope) const {
  Value storage;
  const Value& object = operand(node.a, scope, storage);
  const std::uint32_t* ids = &lists_[node.b + 1];
  const Arguments args(lists_[node.b],
                       [&](std::size_t i, Value& arg) -> const Value& {
                         return operand(ids[i], scope, arg);
                       });
  return call_method(static_cast<Method>(node.sub), names_[node.c].view(),
                     object, args);
}

Value EvaluationPlan::list(const Node& node, const EvalScope& scope) const {
  const std::uint32_t count = lists_[node.a];
  ValueList items;
  items.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    items.push_back(value(lists_[node.a + 1 + i], scope));
  }
  return Value::list(std::move(items));
}

std::size_t EvaluationPlan::memory_bytes() const noexcept {
  std::size_t bytes = nodes_.capacity() * sizeof(Node) +
                      constants_.capacity() * sizeof(Value) +
                      paths_.capacity() * sizeof(event::Path) +
                      path_slots_.capacity() * sizeof(std::uint32_t) +
                      lists_.capacity() * sizeof(std::uint32_t) +
                      patterns_.capacity() * sizeof(MatchPattern) +
                      string_sets_.capacity() * sizeof(halvo::HashMap<bool>) +
                      names_.capacity() * sizeof(halvo::SmallString) +
                      trees_.capacity() * sizeof(const DecisionNode*);
  // Texts longer than a SmallString holds inline, and list items.
  for (const Value& constant : constants_) {
    if (const halvo::SmallString* text = constant.as_str()) {
      if (text->size() > halvo::SmallString::kInlineCapacity) {
        bytes += text->size();
      }
    } else if (constant.kind() == Kind::List) {
      bytes += constant.list_items().capacity() * sizeof(Value);
    }
  }
  for (const auto& set : string_sets_) {
    bytes +=
        set.size() * (sizeof(halvo::SmallString) + 2 * sizeof(std::uint64_t));
  }
  return bytes;
}

}  // namespace halvo_runtime::eval
