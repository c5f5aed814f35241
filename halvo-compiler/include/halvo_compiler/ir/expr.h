// The expression tree of the policy language: IRExpr and the records beneath
// it (RefPath, IRVerdict, DecisionNode and its cases).
//
// Trees are plain values. A parent owns its children exclusively (through
// halvo::Box or std::vector); copying a node copies the whole subtree, so a
// copy is independent of its original. Trees are built only by the JSON
// reader (policy_reader.h) and never change afterwards.
//
//   const IRExpr& e = rule.condition.value();
//   if (const auto* bin = std::get_if<BinaryExpr>(&e.node)) {
//     eval(*bin->left, scope);
//   }
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "halvo/box.h"
#include "halvo/small_string.h"
#include "halvo_compiler/ast/nodes.h"

namespace halvo_compiler::ir {

using ast::nodes::BinaryOp;
using ast::nodes::DurationLit;
using ast::nodes::Literal;
using ast::nodes::PredicateKind;
using ast::nodes::QuantifierKind;
using ast::nodes::RegexPattern;
using ast::nodes::UnaryOp;
using ast::nodes::Verdict;

struct IRExpr;
struct DecisionNode;

// The root of a reference. `local_index` is meaningful for Local only.
struct RefRoot {
  enum class Kind : std::uint8_t { Event, Context, Local, Policy };
  Kind kind = Kind::Event;
  std::uint32_t local_index = 0;
};

// A reference to data: a root and a path of keys below it (may be empty).
struct RefPath {
  RefRoot root;
  std::vector<halvo::SmallString> fields;
};

struct BinaryExpr {
  BinaryOp op;
  halvo::Box<IRExpr> left;
  halvo::Box<IRExpr> right;
};

struct UnaryExpr {
  UnaryOp op;
  halvo::Box<IRExpr> operand;
};

struct PredicateExpr {
  PredicateKind kind;
  halvo::Box<IRExpr> subject;
  halvo::Box<IRExpr> argument;
};

struct QuantifierExpr {
  QuantifierKind kind;
  halvo::Box<IRExpr> collection;
  halvo::SmallString param;
  halvo::Box<IRExpr> body;
};

struct CountExpr {
  halvo::Box<IRExpr> collection;
  std::optional<halvo::SmallString> param;
  std::optional<halvo::Box<IRExpr>> filter;
};

struct CallExpr {
  halvo::SmallString function;
  std::vector<IRExpr> args;
};

struct MethodCallExpr {
  halvo::Box<IRExpr> object;
  halvo::SmallString method;
  std::vector<IRExpr> args;
};

struct ListExpr {
  std::vector<IRExpr> items;
};

// An expression node. Alternatives in declared order: Literal, Ref, Binary,
// Unary, Predicate, Quantifier, Count, Call, MethodCall, DecisionTree, List.
struct IRExpr {
  std::variant<Literal, RefPath, BinaryExpr, UnaryExpr, PredicateExpr,
               QuantifierExpr, CountExpr, CallExpr, MethodCallExpr,
               halvo::Box<DecisionNode>, ListExpr>
      node;
};

// A verdict with an optional message expression (evaluated to the reason).
struct IRVerdict {
  Verdict verdict = Verdict::Allow;
  std::optional<IRExpr> message;
};

// The name a Constructor case test compares with.
struct ConstructorName {
  halvo::SmallString name;
};

// The test of one case. Alternatives in declared order: Literal,
// Constructor, Guard.
struct CaseTest {
  std::variant<Literal, ConstructorName, IRExpr> test;
};

struct DecisionCase {
  CaseTest test;
  halvo::Box<DecisionNode> body;
};

struct SwitchNode {
  IRExpr subject;
  std::vector<DecisionCase> cases;
  std::optional<halvo::Box<DecisionNode>> default_node;  // JSON key "default"
};

struct LeafNode {
  IRExpr expr;
};

struct VerdictLeafNode {
  halvo::Box<IRVerdict> verdict;
};

// A node of a decision tree. Alternatives in declared order: Switch, Leaf,
// VerdictLeaf.
struct DecisionNode {
  std::variant<SwitchNode, LeafNode, VerdictLeafNode> node;
};

}  // namespace halvo_compiler::ir
