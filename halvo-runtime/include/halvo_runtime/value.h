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
// The representation is a hand-written tagged union: a kind tag beside a
// payload of one word (Bool, Int, Float, Duration, the owning pointer of a
// List or Map) or one SmallString (String). Moving a Value copies the payload
// and leaves the source Null; destroying a Value of a scalar kind is the
// test of its tag, because only String, List and Map own anything.
// Destroying a nested value takes it apart with a work list, so it needs
// the same small stack at any depth; copying and comparing recurse once per
// level (value_depth.h bounds the levels).
//
//   Value v = Value::map(std::move(entries));
//   if (const Value* tool = v.resolve_path(path)) { ... }
//   Value name = Value::string(SmallString("report.pdf"));
//   bool yes = name.matches_pattern(".*.pdf");   // true
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
  Value(const Value& other) { copy_from(other); }
  Value& operator=(const Value& other) {
    if (this != &other) {
      Value copy(other);  // may throw; this value is unchanged then
      *this = std::move(copy);
    }
    return *this;
  }
  // A moved-from Value is Null.
  Value(Value&& other) noexcept { take(other); }
  Value& operator=(Value&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~Value() { release(); }

  static Value null() noexcept { return Value(); }
  static Value boolean(bool b) noexcept {
    Value v(Kind::Bool);
    v.payload_.boolean = b;
    return v;
  }
  static Value integer(std::int64_t i) noexcept {
    Value v(Kind::Int);
    v.payload_.integer = i;
    return v;
  }
  static Value floating(double f) noexcept {
    Value v(Kind::Float);
    v.payload_.floating = f;
    return v;
  }
  static Value string(halvo::SmallString s) noexcept {
    Value v(Kind::String);
    new (&v.payload_.string) halvo::SmallString(std::move(s));
    return v;
  }
  // Makes this value the String `text`, written in place as
  // SmallString::assign writes it. May throw std::bad_alloc for a long text;
  // this value is unchanged then. `text` must not point into this value.
  void assign_string(std::string_view text) {
    if (kind_ != Kind::String) {
      if (text.size() > halvo::SmallString::kInlineCapacity) {
        *this = string(halvo::SmallString(text));
        return;
      }
      release();
      new (&payload_.string) halvo::SmallString();
      kind_ = Kind::String;
    }
    payload_.string.assign(text);
  }
  static Value duration(std::uint64_t millis) noexcept {
    Value v(Kind::Duration);
    v.payload_.millis = millis;
    return v;
  }
  static Value list(ValueList items);
  static Value map(ValueMap entries);

  Kind kind() const noexcept { return kind_; }

  // Payload accessors. Precondition: kind() is the matching kind.
  bool bool_value() const noexcept { return payload_.boolean; }
  std::int64_t int_value() const noexcept { return payload_.integer; }
  double float_value() const noexcept { return payload_.floating; }
  const halvo::SmallString& string_value() const noexcept {
    return payload_.string;
  }
  std::uint64_t duration_millis() const noexcept { return payload_.millis; }
  const ValueList& list_items() const noexcept { return *payload_.list; }
  ValueList& list_items() noexcept { return *payload_.list; }
  const ValueMap& map_entries() const noexcept { return *payload_.map; }
  ValueMap& map_entries() noexcept { return *payload_.map; }

  // The text of a String; nullptr for every other kind.
  const halvo::SmallString* as_str() const noexcept {
    return kind_ == Kind::String ? &payload_.string : nullptr;
  }

  // Moves the text of a String out, leaving this value Null: a text about
  // to be dropped is kept without copying it. Precondition: kind() is
  // String.
  halvo::SmallString take_string() noexcept {
    halvo::SmallString text(std::move(payload_.string));
    payload_.string.~SmallString();
    kind_ = Kind::Null;
    return text;
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
  // The member named by kind_ is the live one; Null has none.
  union Payload {
    Payload() noexcept : integer(0) {}
    ~Payload() {}  // Value destroys the live member
    bool boolean;
    std::int64_t integer;
    double floating;
    std::uint64_t millis;
    halvo::SmallString string;
    ValueList* list;  // owned
    ValueMap* map;    // owned
  };

  explicit Value(Kind kind) noexcept : kind_(kind) {}

  // Whether the payload owns something: a String's text, a List or a Map.
  bool owns_payload() const noexcept {
    return kind_ == Kind::String || kind_ >= Kind::List;
  }
  void release() noexcept {
    if (owns_payload()) release_owned();
  }
  void release_owned() noexcept;  // String, List or Map; leaves Null
  // Deletes a List's or Map's storage without recursing per level.
  void release_container() noexcept;
  // Moves the payload of `other` into this Null value; `other` becomes Null.
  void take(Value& other) noexcept {
    kind_ = other.kind_;
    if (kind_ == Kind::String) {
      new (&payload_.string)
          halvo::SmallString(std::move(other.payload_.string));
      other.payload_.string.~SmallString();
    } else {
      copy_word(other);
    }
    other.kind_ = Kind::Null;
  }
  // Copies `other` into this Null value; lists and maps deeply. May throw
  // std::bad_alloc, leaving this value Null.
  void copy_from(const Value& other) {
    if (other.kind_ == Kind::String) {
      new (&payload_.string) halvo::SmallString(other.payload_.string);
    } else if (other.kind_ >= Kind::List) {
      copy_container(other);
      return;
    } else {
      copy_word(other);
    }
    kind_ = other.kind_;
  }
  void copy_container(const Value& other);  // List or Map
  // Every kind but String lives in the payload's first word (a List's or
  // Map's pointer included), so copying that word copies the payload.
  void copy_word(const Value& other) noexcept {
    std::memcpy(static_cast<void*>(&payload_),
                static_cast<const void*>(&other.payload_),
                sizeof(std::uint64_t));
  }

  Payload payload_;
  Kind kind_ = Kind::Null;
};

}  // namespace halvo_runtime::event
