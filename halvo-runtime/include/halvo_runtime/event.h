// Event: one action of the agent, as submitted by the host.
//
// An event has a type ("tool_call"), named fields and a wall-clock timestamp
// in milliseconds, taken when the event is created.
//
//   Event event(SmallString("tool_call"));          // stamped now
//   event.set_field(SmallString("tool"), Value::string(SmallString("bash")));
//   const Value* tool = event.get_field(path);       // nullptr when absent
#pragma once

#include <cstdint>
#include <string_view>
#include <utility>

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
  // For filling the fields in place; the kept whole-event map goes stale.
  ValueMap& fields() noexcept {
    whole_current_ = false;
    return fields_;
  }

  // Stores a field; a name already present is replaced.
  void set_field(halvo::SmallString name, Value value) {
    whole_current_ = false;
    fields_.insert_or_assign(std::move(name), std::move(value));
  }

  // Makes this the event of another type and time, without fields, keeping
  // the storage of the fields and of the whole-event map for reuse.
  void reset(halvo::SmallString event_type, std::uint64_t timestamp) noexcept {
    event_type_ = std::move(event_type);
    timestamp_ = timestamp;
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
};

}  // namespace halvo_runtime::event
