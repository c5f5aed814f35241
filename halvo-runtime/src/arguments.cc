#include "arguments.h"

#include "operand.h"

namespace halvo_runtime::eval {

Arguments::Arguments(const std::vector<halvo_compiler::ir::IRExpr>& exprs,
                     const EvalScope& scope)
    : Arguments(exprs.size(),
                [&](std::size_t i, Value& storage) -> const Value& {
                  return eval_operand(exprs[i], scope, storage);
                }) {}

}  // namespace halvo_runtime::eval
