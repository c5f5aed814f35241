// required_event_type: the one event type for which a guard can hold, when
// the guard says so plainly, so that a machine none of whose guards can
// hold for an event's type is passed over without evaluating them.
//
// A guard names the type it needs by comparing `.type()` (the whole
// event's entry "type", which is always the event's type: a field of that
// name never replaces it) with a string literal. An And holds only when
// both operands do, and evaluating an operand has no effect, so an And
// needs what either operand needs:
//
//   event.type() == "web_request"                         -> "web_request"
//   event.type() == "file_access" && any(x in ..., ...)   -> "file_access"
//   "web_request" == event.type()                         -> "web_request"
//   event.type() != "web_request", a || b, x in [...]     -> nullptr
//
//   if (const halvo::SmallString* type = required_event_type(guard.expr)) {
//     if (*type != event.event_type()) { ... }   // the guard is false
//   }
#pragma once

#include "halvo/small_string.h"
#include "halvo_compiler/ir/expr.h"

namespace halvo_runtime::engine {

// The event type without which `expr` is false, borrowed from `expr`; or
// nullptr when `expr` does not plainly need one.
const halvo::SmallString* required_event_type(
    const halvo_compiler::ir::IRExpr& expr) noexcept;

}  // namespace halvo_runtime::engine
