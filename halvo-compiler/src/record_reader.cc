#include "record_reader.h"

#include <algorithm>
#include <limits>

namespace halvo_compiler {

namespace msg = read_messages;
using halvo::SmallString;

// --- RecordCursor ------------------------------------------------------------

bool RecordCursor::skip_unknown(std::string_view key,
                                const schema::RecordShape& record) {
  // The key is a view that the next string read may overwrite: copy it.
  PathStep step{std::string(key), 0, false};
  skipped_.push_back(Skipped{{step}, &record});
  if (colon() && skip_value()) return true;
  error_trail_.push_back(std::move(step));
  return false;
}

bool RecordCursor::fail_in_key(std::string_view key, std::string message) {
  fail(std::move(message));
  error_trail_.push_back({std::string(key), 0, false});
  return false;
}

void RecordCursor::add_step(std::size_t mark, const PathStep& step) {
  for (std::size_t i = mark; i < skipped_.size(); ++i) {
    skipped_[i].trail.push_back(step);
  }
}

std::string RecordCursor::error_path() const {
  std::vector<PathStep> steps(error_trail_.rbegin(), error_trail_.rend());
  return PolicyPath::path_text(steps);
}

std::vector<SkippedKey> RecordCursor::skipped_keys() const {
  std::vector<SkippedKey> out;
  out.reserve(skipped_.size());
  for (const Skipped& skipped : skipped_) {
    std::vector<PathStep> steps(skipped.trail.rbegin(), skipped.trail.rend());
    out.push_back(SkippedKey{PolicyPath::path_text(steps),
                             skipped.trail.front().key, skipped.record});
  }
  return out;
}

bool find_variant(RecordCursor& c, const schema::EnumShape& shape,
                  std::string_view name, std::size_t& index) {
  for (std::size_t i = 0; i < shape.variants.size(); ++i) {
    if (shape.variants[i] == name) {
      index = i;
      return true;
    }
  }
  return c.fail(msg::unknown_variant(name, shape.variants));
}

// --- scalars -----------------------------------------------------------------

namespace {

bool starts_number(int b) { return b == '-' || (b >= '0' && b <= '9'); }

// Reads a number token for an integer field: only integers are accepted.
bool read_integer(RecordCursor& c, JsonNumber& number,
                  std::string_view expected) {
  if (!starts_number(c.peek())) return c.fail_invalid_type(expected);
  if (!c.read_number(number)) return false;
  if (!number.integer) {
    return c.fail(
        msg::invalid_type(msg::unexpected_float(number.value), expected));
  }
  return true;
}

bool integer_out_of_range(RecordCursor& c, const JsonNumber& number,
                          std::string_view expected) {
  return c.fail(
      msg::invalid_value(msg::unexpected_integer(number.text), expected));
}

template <class T>
bool read_unsigned(RecordCursor& c, T& out, std::string_view expected) {
  JsonNumber number;
  if (!read_integer(c, number, expected)) return false;
  if (!number.fits_u64 || (number.negative && number.magnitude != 0) ||
      number.magnitude > std::numeric_limits<T>::max()) {
    return integer_out_of_range(c, number, expected);
  }
  out = static_cast<T>(number.magnitude);
  return true;
}

}  // namespace

bool read_text(RecordCursor& c, SmallString& out) {
  if (c.peek() != '"') return c.fail_invalid_type(msg::expected_string_text());
  std::string_view text;
  if (!c.read_string(text)) return false;
  out = SmallString(text);
  return true;
}

bool read_bool(RecordCursor& c, bool& out) {
  const int b = c.peek();
  if (b != 't' && b != 'f') {
    return c.fail_invalid_type(msg::expected_boolean_text());
  }
  out = b == 't';
  return c.read_word(out ? "true" : "false");
}

bool read_u32(RecordCursor& c, std::uint32_t& out) {
  return read_unsigned(c, out, msg::expected_u32_text());
}

bool read_u64(RecordCursor& c, std::uint64_t& out) {
  return read_unsigned(c, out, msg::expected_u64_text());
}

bool read_i64(RecordCursor& c, std::int64_t& out) {
  JsonNumber number;
  const std::string_view expected = msg::expected_i64_text();
  if (!read_integer(c, number, expected)) return false;
  constexpr auto kMax =
      static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  const std::uint64_t limit = number.negative ? kMax + 1 : kMax;
  if (!number.fits_u64 || number.magnitude > limit) {
    return integer_out_of_range(c, number, expected);
  }
  // Two's complement conversion is exact for every magnitude up to 2^63.
  out = static_cast<std::int64_t>(number.negative ? 0 - number.magnitude
                                                  : number.magnitude);
  return true;
}

bool read_f64(RecordCursor& c, double& out) {
  if (!starts_number(c.peek())) {
    return c.fail_invalid_type(msg::expected_f64_text());
  }
  JsonNumber number;
  if (!c.read_number(number)) return false;
  if (!number.integer) {
    out = number.value;
    return true;
  }
  return c.integer_to_double(number, out);
}

bool read_text_list(RecordCursor& c, std::vector<SmallString>& out) {
  return read_list(c, out, [&](SmallString& s) { return read_text(c, s); });
}

bool read_u32_list(RecordCursor& c, std::vector<std::uint32_t>& out) {
  return read_list(c, out, [&](std::uint32_t& n) { return read_u32(c, n); });
}

}  // namespace halvo_compiler
