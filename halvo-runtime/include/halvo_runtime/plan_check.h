// Checking the evaluation plan against the tree evaluator.
//
// The tree evaluator is the reference: wherever the plan answers, the tree
// must give the identical answer. Built with CORVANTH_PLAN_ORACLE, the
// engine asks both for every expression it evaluates and stops the process
// at the first difference; the plan fuzz harness does the same.
//
//   if (!same_value(plan_value, tree_value)) {
//     plan_disagreement("action argument", plan_value, tree_value);
//   }
#pragma once

#include <string_view>

#include "halvo_runtime/value.h"

namespace halvo_runtime::eval {

// Identical values: the same kind at every level, the same payloads (a
// Float NaN matches a NaN, 0.0 does not match -0.0), list items in order
// and map entries in the same iteration order.
bool same_value(const event::Value& a, const event::Value& b) noexcept;

// Writes what differed and both values' texts to standard error and aborts.
[[noreturn]] void plan_disagreement(std::string_view what,
                                    const event::Value& plan,
                                    const event::Value& tree) noexcept;

}  // namespace halvo_runtime::eval
