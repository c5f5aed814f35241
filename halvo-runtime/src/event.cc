#include "halvo_runtime/event.h"

#include "halvo_runtime/clock.h"

namespace halvo_runtime::event {

Event::Event(halvo::SmallString event_type)
    : event_type_(std::move(event_type)), timestamp_(wall_clock_millis()) {}

const Value& Event::to_value() const {
  if (!whole_) {
    ValueMap entries = fields_;
    entries.insert_or_assign(halvo::SmallString("type"),
                             Value::string(event_type_));
    entries.insert_or_assign(halvo::SmallString("timestamp"),
                             Value::duration(timestamp_));
    whole_ = Value::map(std::move(entries));
  }
  return *whole_;
}

const Value* Event::get_field(Path path) const noexcept {
  if (path.empty()) return nullptr;
  const Value* first = fields_.find(path.front().view());
  if (first == nullptr) return nullptr;
  return first->resolve_path(path.subspan(1));
}

}  // namespace halvo_runtime::event
