// Value: the runtime's dynamic value, one of eight kinds.
//
//   Null, Bool, Int (signed 64-bit), Float (double), String (SmallString),
//   Duration (unsigned 64-bit milliseconds), List, Map (SmallString keys).
//
// A Value owns its payload; copying is a deep copy of lists and maps, while
// string texts are shared (SmallString). Every operation here is total: a
// question that does not apply to the kind at hand answers false, nullptr or
// a fixed text.
//
//   Value v = Value::map(std::move(entries));
//   if (const Value* tool = v.resolve_path(path)) { ... }
//   Value name = Value::string(SmallString("report.pdf"));
//   bool yes = name.matches_pattern(".*.pdf");   // true
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "halvo/box.h"
#include "halvo/hash_map.h"
#include "halvo/small_string.h"

namespace halvo_runtime::event {

class Value;
using ValueList = std::vector<Value>;
using ValueMap = halvo::HashMap<Value>;
using Path = std::span<const halvo::SmallString>;

class Value {
 public:
  enum class Kind : std::uint8_t {
    Null,
    Bool,
    Int,
    Float,
    String,
    Duration,
    List,
    Map
  };

  Value() noexcept = default;  // Null
  Value(const Value&) = default;
  Value& operator=(const Value&) = default;
  // A moved-from Value is Null.
  Value(Value&& other) noexcept : data_(std::move(other.data_)) {
    other.data_.emplace<0>();
  }
  Value& operator=(Value&& other) noexcept {
    if (this != &other) {
      data_ = std::move(other.data_);
      other.data_.emplace<0>();
    }
    return *this;
  }
  ~Value() = default;

  static Value null() noexcept { return Value(); }
  static Value boolean(bool b) noexcept {
    return Value(Data(std::in_place_index<1>, b));
  }
  static Value integer(std::int64_t i) noexcept {
    return Value(Data(std::in_place_index<2>, i));
  }
  static Value floating(double f) noexcept {
    return Value(Data(std::in_place_index<3>, f));
  }
  static Value string(halvo::SmallString s) noexcept {
    return Value(Data(std::in_place_index<4>, std::move(s)));
  }
  static Value duration(std::uint64_t millis) noexcept {
    return Value(Data(std::in_place_index<5>, DurationMs{millis}));
  }
  static Value list(ValueList items);
  static Value map(ValueMap entries);

  Kind kind() const noexcept { return static_cast<Kind>(data_.index()); }

  // Payload accessors. Precondition: kind() is the matching kind.
  bool bool_value() const noexcept { return *std::get_if<1>(&data_); }
  std::int64_t int_value() const noexcept { return *std::get_if<2>(&data_); }
  double float_value() const noexcept { return *std::get_if<3>(&data_); }
  const halvo::SmallString& string_value() const noexcept {
    return *std::get_if<4>(&data_);
  }
  std::uint64_t duration_millis() const noexcept {
    return std::get_if<5>(&data_)->millis;
  }
  const ValueList& list_items() const noexcept {
    return **std::get_if<6>(&data_);
  }
  ValueList& list_items() noexcept { return **std::get_if<6>(&data_); }
  const ValueMap& map_entries() const noexcept {
    return **std::get_if<7>(&data_);
  }
  ValueMap& map_entries() noexcept { return **std::get_if<7>(&data_); }

  // The text of a String; nullptr for every other kind.
  const halvo::SmallString* as_str() const noexcept {
    return std::get_if<4>(&data_);
  }

  // Null, false, 0, 0.0 (either sign), "", Duration 0, empty list and empty
  // map are falsy; everything else (NaN included) is truthy.
  bool is_truthy() const noexcept;

  // Structural equality: same kind and equal payloads; no conversion between
  // kinds; Float by IEEE equality; maps by key set and values.
  friend bool operator==(const Value& a, const Value& b) noexcept;

  // List: some element is structurally equal to `needle`. String: `needle`
  // is a String occurring as a byte substring. False otherwise.
  bool contains(const Value& needle) const noexcept;

  // The pattern rules: "^text$" exact, "prefix.*", ".*suffix", else
  // substring. False for every kind but String.
  bool matches_pattern(std::string_view pattern) const noexcept;

  // Walks `path` through nested maps. An empty path returns this value.
  // Returns nullptr when a step meets a non-map or a missing key.
  const Value* resolve_path(Path path) const noexcept;

  // The text form used by "str"/"to_string": "null", "true", "42", "2.5",
  // "1m", "[3 items]", "{2 fields}", a String's own text.
  std::string text() const;

 private:
  struct DurationMs {
    std::uint64_t millis;
  };
  using Data = std::variant<std::monostate, bool, std::int64_t, double,
                            halvo::SmallString, DurationMs,
                            halvo::Box<ValueList>, halvo::Box<ValueMap>>;
  explicit Value(Data data) noexcept : data_(std::move(data)) {}

  Data data_;
};

}  // namespace halvo_runtime::event
