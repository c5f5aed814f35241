#include "halvo_runtime/value.h"

#include <charconv>
#include <cmath>

#include "halvo_runtime/pattern.h"

namespace halvo_runtime::event {
namespace {

constexpr std::uint64_t kMillisPerSecond = 1000;
constexpr std::uint64_t kMillisPerMinute = 60 * kMillisPerSecond;
constexpr std::uint64_t kMillisPerHour = 60 * kMillisPerMinute;
constexpr std::uint64_t kMillisPerDay = 24 * kMillisPerHour;

std::string float_text(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
  // The shortest digits that read back as the same double come from the
  // scientific form ("-1.25e+02"); they are then written out in positional
  // form, padded with zeros. Fixed notation straight from to_chars would
  // print the exact binary value of large numbers instead (1e23 as
  // 99999999999999991611392). 32 bytes hold any scientific form.
  char buffer[32];
  const char* const end = std::to_chars(buffer, buffer + sizeof buffer, x,
                                        std::chars_format::scientific)
                              .ptr;
  const char* p = buffer;
  std::string text;
  if (*p == '-') {
    text.push_back('-');
    ++p;
  }
  std::string digits;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits.push_back(*p);
  }
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+'), end, exponent);
  // The number is 0.d1d2d3... times ten to the power of `point`.
  const long point = static_cast<long>(exponent) + 1;
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    text += "0.";
    text.append(static_cast<std::size_t>(-point), '0');
    text += digits;
  } else if (point >= count) {
    text += digits;
    text.append(static_cast<std::size_t>(point - count), '0');
  } else {
    text.append(digits, 0, static_cast<std::size_t>(point));
    text.push_back('.');
    text.append(digits, static_cast<std::size_t>(point));
  }
  return text;
}

std::string duration_text(std::uint64_t millis) {
  struct Unit {
    std::uint64_t millis;
    const char* suffix;
  };
  static constexpr Unit kUnits[] = {{kMillisPerDay, "d"},
                                    {kMillisPerHour, "h"},
                                    {kMillisPerMinute, "m"},
                                    {kMillisPerSecond, "s"}};
  for (const Unit& unit : kUnits) {
    if (millis >= unit.millis) {
      return std::to_string(millis / unit.millis) + unit.suffix;
    }
  }
  return std::to_string(millis) + "ms";
}

// "[3 items]", "{2 fields}".
std::string count_text(std::string_view open, std::size_t count,
                       std::string_view close) {
  std::string text(open);
  text += std::to_string(count);
  text += close;
  return text;
}

}  // namespace

Value Value::list(ValueList items) {
  Value v(Kind::List);
  v.payload_.list = new ValueList(std::move(items));
  return v;
}

Value Value::map(ValueMap entries) {
  Value v(Kind::Map);
  v.payload_.map = new ValueMap(std::move(entries));
  return v;
}

namespace {

// A list or map with something in it: destroying it destroys values.
bool is_filled_container(const Value& value) noexcept {
  return (value.kind() == Value::Kind::List && !value.list_items().empty()) ||
         (value.kind() == Value::Kind::Map && !value.map_entries().empty());
}

// Calls `visit` with each element of a list or each value of a map.
template <class Visit>
void for_each_element(Value& container, Visit visit) {
  if (container.kind() == Value::Kind::List) {
    for (Value& item : container.list_items()) visit(item);
  } else {
    for (auto& entry : container.map_entries()) visit(entry.value);
  }
}

// Whether destroying the container would destroy a filled container, and so
// recurse once more.
bool holds_filled_container(Value& container) noexcept {
  bool found = false;
  for_each_element(container, [&](Value& element) {
    found = found || is_filled_container(element);
  });
  return found;
}

// Moves every filled container among the elements of `container` to
// `pending`, so that destroying `container` recurses no further. May throw
// std::bad_alloc with some of them moved.
void detach_filled(Value& container, std::vector<Value>& pending) {
  for_each_element(container, [&](Value& element) {
    if (is_filled_container(element)) pending.push_back(std::move(element));
  });
}

}  // namespace

void Value::release_owned() noexcept {
  if (kind_ == Kind::String) {
    payload_.string.~SmallString();
  } else if (kind_ >= Kind::List) {
    release_container();
  }
  kind_ = Kind::Null;
}

void Value::release_container() noexcept {
  // Values nest up to kMaxValueDepth levels and may be dropped on a thread
  // with a small stack, so a nested value is taken apart with a work list
  // instead of destructors that recurse once per level. Only the rare
  // failure to allocate the list falls back to that recursion.
  if (holds_filled_container(*this)) {
    try {
      std::vector<Value> pending;
      detach_filled(*this, pending);
      while (!pending.empty()) {
        Value current = std::move(pending.back());
        pending.pop_back();
        detach_filled(current, pending);
      }  // each `current` holds no filled container when it is destroyed
    } catch (const std::bad_alloc&) {
      // What was not detached is destroyed below, recursively.
    }
  }
  if (kind_ == Kind::List) {
    delete payload_.list;
  } else {
    delete payload_.map;
  }
}

void Value::copy_container(const Value& other) {
  // The kind is set only once the copy exists, so a failed allocation
  // leaves this value Null.
  if (other.kind_ == Kind::List) {
    payload_.list = new ValueList(*other.payload_.list);
  } else {
    payload_.map = new ValueMap(*other.payload_.map);
  }
  kind_ = other.kind_;
}

bool Value::is_truthy() const noexcept {
  switch (kind()) {
    case Kind::Null:
      return false;
    case Kind::Bool:
      return bool_value();
    case Kind::Int:
      return int_value() != 0;
    case Kind::Float:
      return float_value() != 0.0;
    case Kind::String:
      return !string_value().empty();
    case Kind::Duration:
      return duration_millis() != 0;
    case Kind::List:
      return !list_items().empty();
    case Kind::Map:
      return !map_entries().empty();
  }
  return false;
}

bool operator==(const Value& a, const Value& b) noexcept {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Value::Kind::Null:
      return true;
    case Value::Kind::Bool:
      return a.bool_value() == b.bool_value();
    case Value::Kind::Int:
      return a.int_value() == b.int_value();
    case Value::Kind::Float:
      return a.float_value() == b.float_value();
    case Value::Kind::String:
      return a.string_value() == b.string_value();
    case Value::Kind::Duration:
      return a.duration_millis() == b.duration_millis();
    case Value::Kind::List:
      return a.list_items() == b.list_items();
    case Value::Kind::Map: {
      const ValueMap& left = a.map_entries();
      const ValueMap& right = b.map_entries();
      if (left.size() != right.size()) return false;
      for (const auto& entry : left) {
        const Value* other = right.find(entry.key.view());
        if (other == nullptr || !(entry.value == *other)) return false;
      }
      return true;
    }
  }
  return false;
}

bool Value::contains(const Value& needle) const noexcept {
  if (kind() == Kind::List) {
    for (const Value& item : list_items()) {
      if (item == needle) return true;
    }
    return false;
  }
  if (kind() == Kind::String && needle.kind() == Kind::String) {
    return string_value().view().find(needle.string_value().view()) !=
           std::string_view::npos;
  }
  return false;
}

bool Value::matches_pattern(std::string_view pattern) const noexcept {
  const halvo::SmallString* subject = as_str();
  return subject != nullptr &&
         Pattern::classify(pattern).matches(subject->view());
}

const Value* Value::resolve_path(Path path) const noexcept {
  const Value* current = this;
  for (const halvo::SmallString& segment : path) {
    if (current->kind() != Kind::Map) return nullptr;
    current = current->map_entries().find(segment.view());
    if (current == nullptr) return nullptr;
  }
  return current;
}

std::string Value::text() const {
  switch (kind()) {
    case Kind::Null:
      return "null";
    case Kind::Bool:
      return bool_value() ? "true" : "false";
    case Kind::Int:
      return std::to_string(int_value());
    case Kind::Float:
      return float_text(float_value());
    case Kind::String:
      return string_value().str();
    case Kind::Duration:
      return duration_text(duration_millis());
    case Kind::List:
      return count_text("[", list_items().size(), " items]");
    case Kind::Map:
      return count_text("{", map_entries().size(), " fields}");
  }
  return "null";
}

}  // namespace halvo_runtime::event
