// Reading records and enumerations by their shape (policy_schema.h): the
// generic half of the policy reader. policy_reader.cc maps each record's
// field positions to its members; everything about the JSON form (object
// and array forms, unknown, duplicate and missing keys, variant objects,
// lists, pairs, optional values) and every schema message is here.
//
//   bool read_duration(RecordCursor& c, DurationLit& out) {
//     return read_record(c, schema::kDuration, [&](std::size_t field) {
//       return field == 0 ? read_u64(c, out.value) : read_named(c, out.unit);
//     });
//   }
//
// A RecordCursor is a JsonCursor that also knows where it is: when a read
// fails, each enclosing field, variant and position adds its step to the
// error's path on the way out ("rules[3].condition"), and every key that a
// record skipped is kept with its own path. Nothing of this costs anything
// on the way in: paths are built only for errors and skipped keys.
//
// Every reader returns false after recording the first error in the cursor.
// Nothing throws except std::bad_alloc.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "halvo/box.h"
#include "halvo/small_string.h"
#include "halvo_compiler/ast/nodes.h"
#include "halvo_compiler/policy_schema.h"
#include "halvo_compiler/read_error.h"
#include "json_cursor.h"
#include "policy_path.h"
#include "read_messages.h"

namespace halvo_compiler {

class RecordCursor : public JsonCursor {
 public:
  using JsonCursor::JsonCursor;

  // Runs read() for the value under `key` (a field or variant key).
  template <class Read>
  bool in_key(std::string_view key, Read&& read) {
    const std::size_t mark = skipped_.size();
    if (!read()) {
      error_trail_.push_back({std::string(key), 0, false});
      return false;
    }
    if (skipped_.size() != mark) add_step(mark, {std::string(key), 0, false});
    return true;
  }

  // Runs read() for the element at `index` of a list or pair.
  template <class Read>
  bool at_index(std::size_t index, Read&& read) {
    const std::size_t mark = skipped_.size();
    if (!read()) {
      error_trail_.push_back({{}, index, true});
      return false;
    }
    if (skipped_.size() != mark) add_step(mark, {{}, index, true});
    return true;
  }

  // Skips the value of `key`, a key that names no field of `record`, with
  // the cursor after the key; keeps the key for diagnostics.
  bool skip_unknown(std::string_view key, const schema::RecordShape& record);

  // Fails with `message` for the value under `key` (a duplicate key).
  bool fail_in_key(std::string_view key, std::string message);

  // The path of the value being read when the error was found. Precondition:
  // failed().
  std::string error_path() const;

  // The keys skipped so far, with their paths, in document order.
  std::vector<SkippedKey> skipped_keys() const;

 private:
  struct Skipped {
    std::vector<PathStep> trail;  // innermost step first: the key itself
    const schema::RecordShape* record;
  };

  // Adds `step` to the paths of the keys skipped since `mark`.
  void add_step(std::size_t mark, const PathStep& step);

  std::vector<PathStep> error_trail_;  // innermost step first
  std::vector<Skipped> skipped_;
};

namespace record_reading {

using Step = JsonCursor::Step;

// Reads a JSON array of exactly `count` elements whose '[' is at the cursor.
template <class Expectation, class ReadElement>
bool read_fixed_array(RecordCursor& c, std::size_t count,
                      Expectation&& length_expectation,
                      ReadElement&& read_element) {
  if (!c.enter()) return false;
  for (std::size_t i = 0; i < count; ++i) {
    switch (c.next_element(i == 0)) {
      case Step::kEnd:
        return c.fail(read_messages::invalid_length(i, length_expectation()));
      case Step::kError:
        return false;
      case Step::kItem:
        if (!read_element(i)) return false;
    }
  }
  return c.close_full_array();
}

}  // namespace record_reading

// Reads a record in object or array form; read_field(i) reads the value of
// field i with the cursor at it.
template <class ReadField>
bool read_record(RecordCursor& c, const schema::RecordShape& shape,
                 ReadField&& read_field) {
  using Step = JsonCursor::Step;
  const auto read_named_field = [&](std::size_t field) {
    return c.in_key(shape.fields[field].name,
                    [&] { return read_field(field); });
  };
  const int b = c.peek();
  if (b == '[') {
    return record_reading::read_fixed_array(
        c, shape.fields.size(), [&] { return shape.length_expectation(); },
        read_named_field);
  }
  if (b != '{') return c.fail_invalid_type(shape.expectation());
  if (!c.enter()) return false;
  std::uint32_t given = 0;
  for (bool first = true;; first = false) {
    std::string_view key;
    switch (c.next_key(first, key)) {
      case Step::kError:
        return false;
      case Step::kEnd: {
        c.leave();
        const std::uint32_t missing = shape.required & ~given;
        if (missing == 0) return true;
        return c.fail(read_messages::missing_field(
            shape.fields[std::countr_zero(missing)].name));
      }
      case Step::kItem:
        break;
    }
    const std::size_t field = shape.find(key);
    if (field == shape.fields.size()) {
      // Other tools may annotate records; their keys are passed over.
      if (!c.skip_unknown(key, shape)) return false;
      continue;
    }
    const std::uint32_t bit = std::uint32_t{1} << field;
    if ((given & bit) != 0) {
      return c.fail_in_key(shape.fields[field].name,
                           read_messages::duplicate_field(key));
    }
    given |= bit;
    if (!c.colon() || !read_named_field(field)) return false;
  }
}

// Finds the variant `name` of `shape` or fails with "unknown variant".
bool find_variant(RecordCursor& c, const schema::EnumShape& shape,
                  std::string_view name, std::size_t& index);

// Reads an enumeration value: a variant name, or an object with one key,
// the variant name, holding the payload. read_payload(i) reads the payload
// of variant i with the cursor at it.
template <class ReadPayload>
bool read_enum(RecordCursor& c, const schema::EnumShape& shape,
               std::size_t& index, ReadPayload&& read_payload) {
  namespace msg = read_messages;
  using schema::Payload;
  const int b = c.peek();
  std::string_view name;
  if (b == '"') {
    if (!c.read_string(name) || !find_variant(c, shape, name, index)) {
      return false;
    }
    const Payload payload = shape.payload(index);
    if (payload == Payload::kNone) return true;
    return c.fail(msg::invalid_type(msg::unexpected_unit_variant(),
                                    payload == Payload::kValue
                                        ? msg::expected_newtype_variant_text()
                                        : msg::expected_struct_variant_text()));
  }
  if (b != '{') {
    if (b == JsonCursor::kEnd) return c.fail(msg::eof_while_parsing_value());
    return c.fail_at_next(msg::expected_value());
  }
  if (!c.enter()) return false;
  const int key_start = c.peek();
  if (key_start != '"') {
    if (key_start == JsonCursor::kEnd) {
      return c.fail(msg::eof_while_parsing_value());
    }
    return c.fail_at_next(msg::expected_value());
  }
  if (!c.read_string(name) || !find_variant(c, shape, name, index) ||
      !c.colon()) {
    return false;
  }
  const bool read = c.in_key(shape.variants[index], [&] {
    if (shape.payload(index) != Payload::kNone) return read_payload(index);
    if (c.peek() != 'n') return c.fail_invalid_type(msg::expected_unit_text());
    return c.read_word("null");
  });
  return read && c.close_variant_object();
}

// Reads a language enumeration (none of which carries a payload).
template <class E>
bool read_named(RecordCursor& c, E& out) {
  std::size_t index = 0;
  if (!read_enum(c, schema::EnumShape{ast::nodes::variant_names<E>(), {}},
                 index, [](std::size_t) { return true; })) {
    return false;
  }
  out = static_cast<E>(index);
  return true;
}

// Reads a JSON array of any length; read_one() reads one element at the
// cursor.
template <class ReadOne>
bool read_elements(RecordCursor& c, ReadOne&& read_one) {
  using Step = JsonCursor::Step;
  if (c.peek() != '[') {
    return c.fail_invalid_type(read_messages::expected_sequence_text());
  }
  if (!c.enter()) return false;
  for (std::size_t i = 0;; ++i) {
    switch (c.next_element(i == 0)) {
      case Step::kEnd:
        c.leave();
        return true;
      case Step::kError:
        return false;
      case Step::kItem:
        if (!c.at_index(i, read_one)) return false;
    }
  }
}

// Reads a list into `out`; read_item(T&) fills a freshly appended element.
template <class T, class ReadItem>
bool read_list(RecordCursor& c, std::vector<T>& out, ReadItem&& read_item) {
  return read_elements(c, [&] { return read_item(out.emplace_back()); });
}

template <class ReadFirst, class ReadSecond>
bool read_pair(RecordCursor& c, ReadFirst&& read_first,
               ReadSecond&& read_second) {
  const auto expectation = read_messages::expected_pair_text();
  if (c.peek() != '[') return c.fail_invalid_type(expectation);
  return record_reading::read_fixed_array(
      c, 2, [&] { return std::string(expectation); },
      [&](std::size_t i) {
        return c.at_index(
            i, [&] { return i == 0 ? read_first() : read_second(); });
      });
}

// Reads an optional value: null holds nothing; anything else is read by
// read_value(out), which fills `out`.
template <class T, class ReadValue>
bool read_optional(RecordCursor& c, std::optional<T>& out,
                   ReadValue&& read_value) {
  if (c.peek() == 'n') {
    out.reset();
    return c.read_word("null");
  }
  return read_value(out);
}

// Reads a T with read(c, T&) and moves it onto the heap.
template <class T, class Read>
bool read_boxed(RecordCursor& c, std::optional<halvo::Box<T>>& out,
                Read&& read) {
  T value;
  if (!read(c, value)) return false;
  out.emplace(std::move(value));
  return true;
}

// --- scalars -----------------------------------------------------------------

bool read_text(RecordCursor& c, halvo::SmallString& out);
bool read_bool(RecordCursor& c, bool& out);
bool read_u32(RecordCursor& c, std::uint32_t& out);
bool read_u64(RecordCursor& c, std::uint64_t& out);
bool read_i64(RecordCursor& c, std::int64_t& out);
bool read_f64(RecordCursor& c, double& out);
bool read_text_list(RecordCursor& c, std::vector<halvo::SmallString>& out);
bool read_u32_list(RecordCursor& c, std::vector<std::uint32_t>& out);

}  // namespace halvo_compiler
