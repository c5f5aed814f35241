// Arguments: the evaluated arguments of a function or method call.
//
// Every argument expression is evaluated, in order, when the Arguments are
// built. No function or method reads past its second argument, so only the
// first two values are kept (borrowed where possible, see operand.h); the
// later ones are evaluated and dropped.
//
//   const Arguments args(call.args, scope);          // from the tree
//   const Arguments args(count, [&](std::size_t i, Value& storage)
//                                   -> const Value& { ... });  // any source
//   if (args.size() == 2) use(*args[0], *args[1]);
//   const Value* separator = args[0];   // nullptr when there is none
//
// An Arguments object refers into itself and into the scope, so it is
// neither copied nor moved, and must not outlive the scope.
#pragma once

#include <cstddef>
#include <vector>

#include "halvo_compiler/ir/expr.h"
#include "halvo_runtime/eval_scope.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::eval {

class Arguments {
 public:
  static constexpr std::size_t kKept = 2;

  Arguments(const std::vector<halvo_compiler::ir::IRExpr>& exprs,
            const EvalScope& scope);

  // `evaluate(index, storage)` evaluates argument `index` and returns its
  // value, borrowed or held in `storage`; it is called once per argument,
  // in order.
  template <class Evaluate>
  Arguments(std::size_t count, Evaluate&& evaluate) : size_(count) {
    for (std::size_t i = 0; i < count; ++i) {
      if (i < kKept) {
        values_[i] = &evaluate(i, storage_[i]);
      } else {
        // Every argument is evaluated, even one that no function reads; its
        // value is dropped, so a referenced value is not copied.
        Value dropped;
        evaluate(i, dropped);
      }
    }
  }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  // The number of arguments given, kept or not.
  std::size_t size() const noexcept { return size_; }

  // The argument at `index` (below kKept), or nullptr when there are fewer.
  const Value* operator[](std::size_t index) const noexcept {
    return index < kKept ? values_[index] : nullptr;
  }

 private:
  Value storage_[kKept];
  const Value* values_[kKept] = {};
  std::size_t size_;
};

}  // namespace halvo_runtime::eval
