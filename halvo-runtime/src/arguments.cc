#include "arguments.h"

#include "operand.h"

namespace halvo_runtime::eval {

Arguments::Arguments(const std::vector<halvo_compiler::ir::IRExpr>& exprs,
                     const EvalScope& scope)
    : size_(exprs.size()) {
  for (std::size_t i = 0; i < exprs.size(); ++i) {
    if (i < kKept) {
      values_[i] = &eval_operand(exprs[i], scope, storage_[i]);
    } else {
      // Every argument is evaluated, even one that no function reads; its
      // value is dropped, so a referenced value is not copied.
      Value dropped;
      eval_operand(exprs[i], scope, dropped);
    }
  }
}

}  // namespace halvo_runtime::eval
