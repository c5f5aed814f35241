// JsonWriter: the token level of the policy writer, the mirror of
// JsonCursor.
//
// A writer appends compact JSON text (no whitespace) to a string: strings
// with the escapes JSON requires and nothing more, integers in decimal, and
// doubles in their shortest round-trip form, always with a fraction or an
// exponent ("2.0", "0.1", "1e+20", "1.5e-07", the notation Python's repr
// uses). The structure helpers write a record in object form by its shape
// (policy_schema.h), a list, and an enumeration value (a bare name, or an
// object with one key holding the payload), so the record writers
// (policy_writer.cc) only map fields to members.
//
//   JsonWriter w;
//   write_record(w, schema::kDuration, [&](std::size_t field) {
//     if (field == 0) w.unsigned_integer(30);
//     else w.string("Seconds");
//   });
//   std::move(w).text();   // {"value":30,"unit":"Seconds"}
//
// Strings must be valid UTF-8 (every string of a policy that was read is).
// Doubles must be finite (the reader admits no other). Nothing throws except
// std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "halvo_compiler/policy_schema.h"

namespace halvo_compiler {

class JsonWriter {
 public:
  void raw(char ch) { out_.push_back(ch); }
  void null() { out_.append("null"); }
  void boolean(bool value) { out_.append(value ? "true" : "false"); }
  void string(std::string_view text);
  // A string followed by ':'.
  void key(std::string_view name);
  void unsigned_integer(std::uint64_t value);
  void signed_integer(std::int64_t value);
  void floating(double value);

  std::string text() && { return std::move(out_); }

 private:
  std::string out_;
};

// Writes a record in object form: every field of `shape` in declared
// order, each key followed by write_field(i), which writes field i's value
// (null for an absent optional field).
template <class WriteField>
void write_record(JsonWriter& w, const schema::RecordShape& shape,
                  WriteField&& write_field) {
  w.raw('{');
  for (std::size_t i = 0; i < shape.fields.size(); ++i) {
    if (i != 0) w.raw(',');
    w.key(shape.fields[i].name);
    write_field(i);
  }
  w.raw('}');
}

// Writes a JSON array holding write_item(item) for each item.
template <class T, class WriteItem>
void write_list(JsonWriter& w, const std::vector<T>& items,
                WriteItem&& write_item) {
  w.raw('[');
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) w.raw(',');
    write_item(items[i]);
  }
  w.raw(']');
}

// Writes a two-element array.
template <class WriteFirst, class WriteSecond>
void write_pair(JsonWriter& w, WriteFirst&& write_first,
                WriteSecond&& write_second) {
  w.raw('[');
  write_first();
  w.raw(',');
  write_second();
  w.raw(']');
}

// Writes variant `index` of `shape`: its bare name when it carries nothing,
// else {"Name":payload} with write_payload() writing the payload.
template <class WritePayload>
void write_variant(JsonWriter& w, const schema::EnumShape& shape,
                   std::size_t index, WritePayload&& write_payload) {
  if (shape.payload(index) == schema::Payload::kNone) {
    w.string(shape.variants[index]);
    return;
  }
  w.raw('{');
  w.key(shape.variants[index]);
  write_payload();
  w.raw('}');
}

// Writes null for nothing, else write_value(*value).
template <class T, class WriteValue>
void write_optional(JsonWriter& w, const std::optional<T>& value,
                    WriteValue&& write_value) {
  if (value) {
    write_value(*value);
  } else {
    w.null();
  }
}

}  // namespace halvo_compiler
