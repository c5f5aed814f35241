// Event: one action of the agent, as submitted by the host.
//
// An event has a type ("tool_call"), named fields and a wall-clock timestamp
// in milliseconds, taken when the event is created.
//
//   Event event(SmallString("tool_call"));          // stamped now
//   event.set_field(SmallString("tool"), Value::string(SmallString("bash")));
//   const Value* tool = event.get_field(path);       // nullptr when absent
//
// Whoever fills the fields may also say where the fields that a policy
// names stand in the field map, by the slot numbers of that policy's
// EventFieldUse; a plan compiled with the same use then reads those fields
// by slot, without a search by name:
//
//   ValueMap& fields = event.fields();               // drops any slots
//   event.bind_slots(&use, use.slot_count());        // every slot absent
//   fields.insert_new(SmallString("tool"), std::move(tool));
//   event.set_slot(use.slot_of("tool"), fields.size() - 1);
//
// Any later change through fields() or set_field drops the slots again.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "halvo/small_string.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::event {

class Event {
 public:
  // Stamps the event with wall_clock_millis().
  explicit Event(halvo::SmallString event_type);
  Event(halvo::SmallString event_type, std::uint64_t timestamp) noexcept
      : event_type_(std::move(event_type)), timestamp_(timestamp) {}

  const halvo::SmallString& event_type() const noexcept { return event_type_; }
  std::uint64_t timestamp() const noexcept { return timestamp_; }
  const ValueMap& fields() const noexcept { return fields_; }
  // For filling the fields in place; the kept whole-event map goes stale
  // and the slots are dropped.
  ValueMap& fields() noexcept {
    whole_current_ = false;
    slot_owner_ = nullptr;
    return fields_;
  }

  // Stores a field; a name already present is replaced.
  void set_field(halvo::SmallString name, Value value) {
    whole_current_ = false;
    slot_owner_ = nullptr;
    fields_.insert_or_assign(std::move(name), std::move(value));
  }

  // Starts slots numbered by `owner` (an EventFieldUse), `count` of them,
  // every one absent. Call it after fields(), then set_slot for each field
  // of a slot as it is stored. May throw std::bad_alloc (no slots then).
  void bind_slots(const void* owner, std::uint32_t count) {
    slot_owner_ = nullptr;
    slots_.assign(count, 0);
    slot_owner_ = owner;
  }
  // Notes that the field of `slot` is the field map's entry `entry` (its
  // position in iteration order). Precondition: slots are bound and `slot`
  // is below their count.
  void set_slot(std::uint32_t slot, std::size_t entry) noexcept {
    slots_[slot] = static_cast<std::uint32_t>(entry + 1);
  }
  // Whether the slots are bound and numbered by `owner`.
  bool slots_bound(const void* owner) const noexcept {
    return owner != nullptr && slot_owner_ == owner;
  }
  // The field of `slot`, or nullptr when the event has none. Precondition:
  // slots_bound() by the owner whose numbering `slot` comes from.
  const Value* slot_field(std::uint32_t slot) const noexcept {
    const std::uint32_t entry = slots_[slot];
    return entry == 0 ? nullptr : &(fields_.begin() + (entry - 1))->value;
  }

  // Makes this the event of another type and time, without fields, keeping
  // the storage of the fields and of the whole-event map for reuse.
  void reset(halvo::SmallString event_type, std::uint64_t timestamp) noexcept {
    event_type_ = std::move(event_type);
    timestamp_ = timestamp;
    slot_owner_ = nullptr;
    fields_.clear();
    if (whole_.kind() == Value::Kind::Map) whole_.map_entries().clear();
    whole_current_ = false;
  }

  // The whole event as a Map: copies of the fields, then "type" (String)
  // and "timestamp" (Duration), which replace fields of those names. Built
  // on first use and kept until the event changes, so that every expression
  // of one evaluation that reads the whole event shares one copy; the
  // reference is valid until then.
  const Value& to_value() const;

  // The entry `name` of to_value(), without building it: the type, the
  // timestamp, else the field of that name or Null. Borrowed from the event
  // or held in `storage`.
  const Value& whole_entry(std::string_view name, Value& storage) const;

  // Looks `path` up in the fields: the first segment in `fields`, the rest
  // through nested maps. nullptr for an empty path or a missing step. The
  // type and timestamp are not reachable here.
  const Value* get_field(Path path) const noexcept;

 private:
  halvo::SmallString event_type_;
  ValueMap fields_;
  std::uint64_t timestamp_ = 0;
  // The kept to_value(), current while whole_current_; once built it stays a
  // Map whose storage the next build reuses.
  mutable Value whole_;
  mutable bool whole_current_ = false;
  // Per slot, the field's entry in fields_ plus one, or 0 when absent;
  // meaningful while slot_owner_ is set.
  std::vector<std::uint32_t> slots_;
  const void* slot_owner_ = nullptr;
};

}  // namespace halvo_runtime::event
