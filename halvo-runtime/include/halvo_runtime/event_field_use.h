// EventFieldUse: which fields of an event a policy can ever read.
//
// An expression reads an event field through a reference with root Event:
// the first segment of its path names the field. A reference to the whole
// event (an empty path) reads every field, unless all that is done with it
// is reading one entry by name (`.type()`, a method call without arguments
// that names no method), which reads that field alone; and, to keep this
// simple and safe, any decision tree reads every field. Whoever builds events
// may leave out a field that no expression reads, provided that converting it
// has no effect of its own (the binding skips such fields only when their
// values are plain str, int, float, bool or None).
//
//   const EventFieldUse use = EventFieldUse::of(policy);
//   if (use.reads("tool")) { ... }
//
// Each field name that an expression names gets a slot number, 0 to
// slot_count() - 1, in the order the policy first names them, until the
// walk meets a read of every field (whoever fills an event for such a
// policy keeps its fields in the map, event.h). A plan
// compiled with this use reads such a field through the event's slot
// (Event::bind_slots) instead of searching the event's fields by name.
//
//   const std::uint32_t slot = use.slot_of("tool");   // kNoSlot if unnamed
//
// Built once per engine from the policy's rules (conditions, verdict
// messages, action arguments) and its state machines' guards.
#pragma once

#include <cstdint>
#include <string_view>

#include "halvo/hash_map.h"
#include "halvo_compiler/ir/policy.h"

namespace halvo_runtime::event {

class EventFieldUse {
 public:
  static EventFieldUse of(const halvo_compiler::ir::CompiledPolicy& policy);

  // Whether some expression of the policy may read the field `name`.
  bool reads(std::string_view name) const noexcept {
    return all_ || names_.contains(name);
  }
  // Whether some expression may read every field.
  bool reads_all() const noexcept { return all_; }

  static constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;
  // The slot of the field `name`, or kNoSlot when no expression names it
  // (it may still be read through the whole event when reads_all()).
  std::uint32_t slot_of(std::string_view name) const noexcept {
    const std::uint32_t* slot = names_.find(name);
    return slot != nullptr ? *slot : kNoSlot;
  }
  std::uint32_t slot_count() const noexcept {
    return static_cast<std::uint32_t>(names_.size());
  }
  // The field name of `slot`. Precondition: `slot` < slot_count().
  const halvo::SmallString& slot_name(std::uint32_t slot) const noexcept {
    return (names_.begin() + slot)->key;
  }

 private:
  void add(const halvo_compiler::ir::IRExpr& expr);
  void name(const halvo::SmallString& field);

  bool all_ = false;
  halvo::HashMap<std::uint32_t> names_;  // field name -> slot
};

}  // namespace halvo_runtime::event
