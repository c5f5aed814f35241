// EvalScope: what one expression evaluation sees.
//
// The event, the engine's context and configuration maps (all read only) and
// the local bindings made by quantifiers and counts. The language binds
// locals only under index 0 (the current element of a quantifier or count),
// so Locals holds at most that one binding; a nested binding replaces it in
// the child scope.
//
//   EvalScope scope{event, context, config};       // no locals
//   EvalScope child = scope.with_local(0, element);
//
// Bindings borrow the element they name: the collection being walked
// outlives the evaluation of the body, so no element is copied.
#pragma once

#include <cstdint>

#include "halvo_runtime/event.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::eval {

using event::Event;
using event::Value;
using event::ValueMap;

class Locals {
 public:
  // Returns the value bound under `index`, or nullptr.
  const Value* find(std::uint32_t index) const noexcept {
    return index == 0 ? element_ : nullptr;
  }
  // Returns bindings with `value` under index 0; the value is borrowed.
  static Locals element(const Value& value) noexcept {
    Locals locals;
    locals.element_ = &value;
    return locals;
  }

 private:
  const Value* element_ = nullptr;
};

struct EvalScope {
  const Event& event;
  const ValueMap& context;
  const ValueMap& config;
  Locals locals{};

  // A child scope with `element` bound under index 0.
  EvalScope with_element(const Value& element) const noexcept {
    return EvalScope{event, context, config, Locals::element(element)};
  }
};

}  // namespace halvo_runtime::eval
