#include "halvo_runtime/event.h"

#include "halvo_runtime/clock.h"

namespace halvo_runtime::event {

Event::Event(halvo::SmallString event_type)
    : event_type_(std::move(event_type)), timestamp_(wall_clock_millis()) {}

namespace {

// The entries of the whole event that do not come from its fields.
constexpr std::string_view kTypeEntry = "type";
constexpr std::string_view kTimestampEntry = "timestamp";

}  // namespace

const Value* Event::named_field(std::string_view name) const noexcept {
  if (slot_use_ != nullptr) {
    const std::uint32_t slot = slot_use_->slot_of(name);
    if (slot != EventFieldUse::kNoSlot) {
      const Value& field = slots_[slot];
      return field.kind() == Value::Kind::Null ? nullptr : &field;
    }
  }
  return fields_.find(name);
}

const Value& Event::to_value() const {
  if (!whole_current_) {
    if (whole_.kind() != Value::Kind::Map) whole_ = Value::map(ValueMap());
    ValueMap& entries = whole_.map_entries();
    entries = fields_;  // reuses the entries' storage
    if (slot_use_ != nullptr) {
      for (std::uint32_t slot = 0; slot < slots_.size(); ++slot) {
        if (slots_[slot].kind() == Value::Kind::Null) continue;
        entries.insert_or_assign(slot_use_->slot_name(slot), slots_[slot]);
      }
    }
    entries.insert_or_assign(halvo::SmallString(kTypeEntry),
                             Value::string(event_type_));
    entries.insert_or_assign(halvo::SmallString(kTimestampEntry),
                             Value::duration(timestamp_));
    whole_current_ = true;
  }
  return whole_;
}

const Value& Event::whole_entry(std::string_view name, Value& storage) const {
  if (name == kTypeEntry) return storage = Value::string(event_type_);
  if (name == kTimestampEntry) return storage = Value::duration(timestamp_);
  const Value* field = named_field(name);
  return field != nullptr ? *field : (storage = Value::null());
}

const Value* Event::get_field(Path path) const noexcept {
  if (path.empty()) return nullptr;
  const Value* first = named_field(path.front().view());
  // Most paths name a top-level field: no nested walk for them.
  if (first == nullptr || path.size() == 1) return first;
  return first->resolve_path(path.subspan(1));
}

}  // namespace halvo_runtime::event
