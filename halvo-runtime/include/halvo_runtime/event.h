// Event: one action of the agent, as submitted by the host.
//
// An event has a type ("tool_call"), named fields and a wall-clock timestamp
// in milliseconds, taken when the event is created.
//
//   Event event(SmallString("tool_call"));          // stamped now
//   event.set_field(SmallString("tool"), Value::string(SmallString("bash")));
//   const Value* tool = event.get_field(path);       // nullptr when absent
//
// An event may keep the fields that a policy names in slots instead of its
// field map, numbered by that policy's EventFieldUse: a plan compiled with
// the same use then reads them by number, without a search by name, and
// the fields that no expression names stay in the map. Every other reader
// (get_field, whole_entry, to_value) sees both:
//
//   event.bind_slots(&use);                          // no field anywhere
//   event.slot_value(use.slot_of("tool")) = Value::string(SmallString("sh"));
//   event.set_field(SmallString("mode"), Value::integer(1));  // in a slot
//                                                    // if "mode" has one
//
// A slot holding Null reads as an absent field, which an expression can
// tell from a field that is Null only by reading the whole event (its keys
// or its size): whoever fills an event for a policy that reads the whole
// event keeps every field in the map.
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "halvo/small_string.h"
#include "halvo_runtime/event_field_use.h"
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
  // The fields without a slot (all of them when no slots are bound).
  const ValueMap& fields() const noexcept { return fields_; }
  // For filling the fields without a slot in place; the kept whole-event
  // map goes stale.
  ValueMap& fields() noexcept {
    whole_current_ = false;
    return fields_;
  }

  // Stores a field, in its slot when it has one; a name already present is
  // replaced.
  void set_field(halvo::SmallString name, Value value) {
    whole_current_ = false;
    if (slot_use_ != nullptr) {
      const std::uint32_t slot = slot_use_->slot_of(name.view());
      if (slot != EventFieldUse::kNoSlot) {
        slots_[slot] = std::move(value);
        return;
      }
    }
    fields_.insert_or_assign(std::move(name), std::move(value));
  }

  // Drops every field and keeps from now on the fields that `use` numbers
  // in slots (all Null). May throw std::bad_alloc (the event is left
  // without fields or slots then).
  void bind_slots(const EventFieldUse* use) {
    whole_current_ = false;
    fields_.clear();
    slot_use_ = nullptr;
    slots_.resize(use->slot_count());
    for (Value& slot : slots_) {
      if (slot.kind() != Value::Kind::Null) slot = Value();
    }
    slot_use_ = use;
  }
  // The use whose slots hold this event's named fields, or nullptr.
  const EventFieldUse* slot_use() const noexcept { return slot_use_; }
  // The field of `slot` (Null when absent). Precondition: slots are bound
  // and `slot` is below their count.
  const Value& slot_field(std::uint32_t slot) const noexcept {
    return slots_[slot];
  }
  Value& slot_value(std::uint32_t slot) noexcept {
    whole_current_ = false;
    return slots_[slot];
  }

  // Makes this the event of another type and time, without fields, keeping
  // the storage of the fields and of the whole-event map for reuse.
  void reset(halvo::SmallString event_type, std::uint64_t timestamp) noexcept {
    event_type_ = std::move(event_type);
    empty_at(timestamp);
  }
  // The same for a type given as text, which is written in place
  // (SmallString::assign). May throw std::bad_alloc for a long type, before
  // anything changes. `event_type` must not point into this event.
  void reset(std::string_view event_type, std::uint64_t timestamp) {
    event_type_.assign(event_type);
    empty_at(timestamp);
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

  // The top-level field `name`, from its slot or the map; nullptr when
  // absent (a slot holding Null included).
  const Value* named_field(std::string_view name) const noexcept;

 private:
  // Stamps the event `timestamp` and drops its fields, keeping storage.
  void empty_at(std::uint64_t timestamp) noexcept {
    timestamp_ = timestamp;
    slot_use_ = nullptr;
    fields_.clear();
    if (whole_.kind() == Value::Kind::Map) whole_.map_entries().clear();
    whole_current_ = false;
  }

  halvo::SmallString event_type_;
  ValueMap fields_;
  std::uint64_t timestamp_ = 0;
  // The kept to_value(), current while whole_current_; once built it stays a
  // Map whose storage the next build reuses.
  mutable Value whole_;
  mutable bool whole_current_ = false;
  // The fields of the names slot_use_ numbers, while it is set; their
  // storage is kept for reuse when it is not.
  std::vector<Value> slots_;
  const EventFieldUse* slot_use_ = nullptr;
};

}  // namespace halvo_runtime::event
