#include "json_cursor.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <utility>

#include "halvo/utf8.h"
#include "read_messages.h"

namespace halvo_compiler {
namespace {

namespace msg = read_messages;

// 1 for the bytes a string scan must stop at: the quote, the backslash,
// control characters and every non-ASCII byte.
constexpr std::array<std::uint8_t, 256> kStringStop = [] {
  std::array<std::uint8_t, 256> table{};
  for (int b = 0; b < 256; ++b) {
    table[b] = (b < 0x20 || b == '"' || b == '\\' || b >= 0x80) ? 1 : 0;
  }
  return table;
}();

bool is_digit(int b) { return b >= '0' && b <= '9'; }

int hex_value(unsigned char b) {
  if (b >= '0' && b <= '9') return b - '0';
  if (b >= 'a' && b <= 'f') return b - 'a' + 10;
  if (b >= 'A' && b <= 'F') return b - 'A' + 10;
  return -1;
}

// Whether a number that a double cannot hold is too large (rather than too
// small, which reads as zero): the decimal exponent of its first significant
// digit decides.
bool overflows(std::string_view text) {
  std::size_t i = text[0] == '-' ? 1 : 0;
  const std::size_t int_begin = i;
  while (i < text.size() && is_digit(text[i])) ++i;
  const std::size_t int_end = i;
  bool found = false;
  std::int64_t first_power = 0;  // power of ten of the first nonzero digit
  for (std::size_t j = int_begin; j < int_end && !found; ++j) {
    if (text[j] != '0') {
      found = true;
      first_power = static_cast<std::int64_t>(int_end - j - 1);
    }
  }
  if (i < text.size() && text[i] == '.') {
    const std::size_t frac_begin = ++i;
    for (; i < text.size() && is_digit(text[i]); ++i) {
      if (!found && text[i] != '0') {
        found = true;
        first_power = -static_cast<std::int64_t>(i - frac_begin + 1);
      }
    }
  }
  std::int64_t exponent = 0;
  if (i < text.size()) {  // 'e' or 'E', an optional sign, then digits
    ++i;
    const bool negative = text[i] == '-';
    if (text[i] == '-' || text[i] == '+') ++i;
    for (; i < text.size(); ++i) {
      exponent = std::min<std::int64_t>(exponent * 10 + (text[i] - '0'),
                                        std::int64_t{1} << 40);
    }
    if (negative) exponent = -exponent;
  }
  return found && first_power + exponent >= 0;
}

// The nearest double of a complete JSON number text; false when it is beyond
// the range of a double. Numbers below the smallest subnormal read as zero.
bool text_to_double(std::string_view text, double& out) {
  double value = 0;
  const auto result =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    if (overflows(text)) return false;
    value = text[0] == '-' ? -0.0 : 0.0;
  }
  out = value;
  return true;
}

}  // namespace

JsonCursor::JsonCursor(std::string_view input) noexcept
    : data_(input.data()), size_(input.size()) {}

int JsonCursor::peek() noexcept {
  while (pos_ < size_) {
    const char b = data_[pos_];
    if (b != ' ' && b != '\n' && b != '\t' && b != '\r') {
      return static_cast<unsigned char>(b);
    }
    ++pos_;
  }
  return kEnd;
}

bool JsonCursor::enter() {
  if (depth_ >= kMaxNesting)
    return fail_at_next(msg::recursion_limit_exceeded());
  ++depth_;
  ++pos_;
  return true;
}

JsonCursor::Step JsonCursor::next_key(bool first, std::string_view& key) {
  const Step step =
      next_in_container(first, '}', &msg::eof_while_parsing_object,
                        &msg::expected_object_comma_or_end);
  if (step != Step::kItem) return step;
  if (peek() != '"') {
    fail_at_next(msg::key_must_be_a_string());
    return Step::kError;
  }
  return read_string(key) ? Step::kItem : Step::kError;
}

bool JsonCursor::colon() {
  const int b = peek();
  if (b == ':') {
    ++pos_;
    return true;
  }
  if (b == kEnd) return fail(msg::eof_while_parsing_object());
  return fail_at_next(msg::expected_colon());
}

JsonCursor::Step JsonCursor::next_element(bool first) {
  return next_in_container(first, ']', &msg::eof_while_parsing_list,
                           &msg::expected_list_comma_or_end);
}

// Objects and arrays separate their items alike; only the closing byte and
// the texts of two errors differ.
JsonCursor::Step JsonCursor::next_in_container(bool first, char close,
                                               std::string (*eof_message)(),
                                               std::string (*comma_message)()) {
  int b = peek();
  if (b == close) {
    ++pos_;
    return Step::kEnd;
  }
  if (b == kEnd) {
    fail(eof_message());
    return Step::kError;
  }
  if (!first) {
    if (b != ',') {
      fail_at_next(comma_message());
      return Step::kError;
    }
    ++pos_;
    b = peek();
    if (b == close) {
      fail_at_next(msg::trailing_comma());
      return Step::kError;
    }
    if (b == kEnd) {
      fail(msg::eof_while_parsing_value());
      return Step::kError;
    }
  }
  return Step::kItem;
}

bool JsonCursor::close_full_array() {
  switch (next_element(false)) {
    case Step::kEnd:
      leave();
      return true;
    case Step::kItem:
      return fail_at_next(msg::trailing_characters());
    case Step::kError:
      break;
  }
  return false;
}

bool JsonCursor::close_variant_object() {
  const int b = peek();
  if (b == '}') {
    ++pos_;
    leave();
    return true;
  }
  if (b == kEnd) return fail(msg::eof_while_parsing_object());
  return fail_at_next(msg::expected_value());
}

bool JsonCursor::read_string(std::string_view& out) {
  const char* const begin = data_ + pos_ + 1;
  const char* const end = data_ + size_;
  const char* p = begin;
  bool non_ascii = false;
  for (;;) {
    while (p < end && kStringStop[static_cast<unsigned char>(*p)] == 0) ++p;
    if (p == end) {
      pos_ = size_;
      return fail(msg::eof_while_parsing_string());
    }
    const auto b = static_cast<unsigned char>(*p);
    if (b >= 0x80) {
      non_ascii = true;
      ++p;
      continue;
    }
    if (b == '"') {
      if (!close_string(begin, p, non_ascii)) return false;
      out = std::string_view(begin, static_cast<std::size_t>(p - begin));
      return true;
    }
    if (b == '\\') return read_escaped_string(begin, p, non_ascii, out);
    pos_ = static_cast<std::size_t>(p + 1 - data_);
    return fail(msg::control_character_in_string());
  }
}

// Consumes the closing quote at `quote` of the string whose raw text starts
// at `begin`, and checks that text's UTF-8 when it has non-ASCII bytes.
// Escapes are ASCII, so the raw text is valid exactly when the decoded text
// is.
bool JsonCursor::close_string(const char* begin, const char* quote,
                              bool non_ascii) {
  pos_ = static_cast<std::size_t>(quote + 1 - data_);
  if (non_ascii && !halvo::utf8::is_valid(std::string_view(
                       begin, static_cast<std::size_t>(quote - begin)))) {
    return fail(msg::invalid_unicode_code_point());
  }
  return true;
}

// The slow path of read_string, from the first backslash at `p`: the text is
// decoded into scratch_.
bool JsonCursor::read_escaped_string(const char* begin, const char* p,
                                     bool non_ascii, std::string_view& out) {
  const char* const end = data_ + size_;
  scratch_.assign(begin, p);
  for (;;) {
    const char* run = p;
    while (p < end && kStringStop[static_cast<unsigned char>(*p)] == 0) ++p;
    scratch_.append(run, p);
    if (p == end) {
      pos_ = size_;
      return fail(msg::eof_while_parsing_string());
    }
    const auto b = static_cast<unsigned char>(*p);
    if (b >= 0x80) {
      non_ascii = true;
      scratch_.push_back(*p++);
      continue;
    }
    if (b == '"') {
      if (!close_string(begin, p, non_ascii)) return false;
      out = scratch_;
      return true;
    }
    if (b != '\\') {
      pos_ = static_cast<std::size_t>(p + 1 - data_);
      return fail(msg::control_character_in_string());
    }
    if (end - p < 2) {
      pos_ = size_;
      return fail(msg::eof_while_parsing_string());
    }
    const char escape = p[1];
    p += 2;
    switch (escape) {
      case '"':
        scratch_.push_back('"');
        break;
      case '\\':
        scratch_.push_back('\\');
        break;
      case '/':
        scratch_.push_back('/');
        break;
      case 'b':
        scratch_.push_back('\b');
        break;
      case 'f':
        scratch_.push_back('\f');
        break;
      case 'n':
        scratch_.push_back('\n');
        break;
      case 'r':
        scratch_.push_back('\r');
        break;
      case 't':
        scratch_.push_back('\t');
        break;
      case 'u': {
        std::uint32_t unit = 0;
        if (!read_hex_escape(p, unit)) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
          pos_ = static_cast<std::size_t>(p - data_);
          return fail(msg::lone_leading_surrogate());
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          // A leading surrogate must be followed by "\u" and a trailing one.
          for (const char expected : {'\\', 'u'}) {
            if (p == end) {
              pos_ = size_;
              return fail(msg::eof_while_parsing_string());
            }
            if (*p++ != expected) {
              pos_ = static_cast<std::size_t>(p - data_);
              return fail(msg::unexpected_end_of_hex_escape());
            }
          }
          std::uint32_t trail = 0;
          if (!read_hex_escape(p, trail)) return false;
          if (trail < 0xDC00 || trail > 0xDFFF) {
            pos_ = static_cast<std::size_t>(p - data_);
            return fail(msg::lone_leading_surrogate());
          }
          unit = 0x10000 + ((unit - 0xD800) << 10) + (trail - 0xDC00);
        }
        halvo::utf8::append_utf8(scratch_, unit);
        break;
      }
      default:
        pos_ = static_cast<std::size_t>(p - data_);
        return fail(msg::invalid_escape());
    }
  }
}

// Reads the four hex digits at `p` and advances past them.
bool JsonCursor::read_hex_escape(const char*& p, std::uint32_t& unit) {
  const char* const end = data_ + size_;
  if (end - p < 4) {
    pos_ = size_;
    return fail(msg::eof_while_parsing_string());
  }
  unit = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = hex_value(static_cast<unsigned char>(*p++));
    if (digit < 0) {
      pos_ = static_cast<std::size_t>(p - data_);
      return fail(msg::invalid_escape());
    }
    unit = unit * 16 + static_cast<std::uint32_t>(digit);
  }
  return true;
}

bool JsonCursor::read_number(JsonNumber& out) { return scan_number(out, true); }

bool JsonCursor::scan_number(JsonNumber& out, bool want_value) {
  const std::size_t start = pos_;
  out = JsonNumber{};
  auto at = [this](std::size_t i) -> int {
    return i < size_ ? static_cast<unsigned char>(data_[i]) : kEnd;
  };
  if (data_[pos_] == '-') {
    out.negative = true;
    ++pos_;
  }
  int b = at(pos_);
  if (b == kEnd) return fail(msg::eof_while_parsing_value());
  if (!is_digit(b)) return fail_at_next(msg::invalid_number());
  if (b == '0') {
    ++pos_;
    if (is_digit(at(pos_))) return fail_at_next(msg::invalid_number());
  } else {
    std::uint64_t magnitude = 0;
    for (; is_digit(b = at(pos_)); ++pos_) {
      const auto digit = static_cast<std::uint64_t>(b - '0');
      if (magnitude > (UINT64_MAX - digit) / 10) out.fits_u64 = false;
      magnitude = magnitude * 10 + digit;
    }
    out.magnitude = out.fits_u64 ? magnitude : 0;
  }
  if (at(pos_) == '.') {
    out.integer = false;
    ++pos_;
    b = at(pos_);
    if (b == kEnd) return fail(msg::eof_while_parsing_value());
    if (!is_digit(b)) return fail_at_next(msg::invalid_number());
    while (is_digit(at(pos_))) ++pos_;
  }
  if (at(pos_) == 'e' || at(pos_) == 'E') {
    out.integer = false;
    ++pos_;
    if (at(pos_) == '+' || at(pos_) == '-') ++pos_;
    b = at(pos_);
    if (b == kEnd) return fail(msg::eof_while_parsing_value());
    if (!is_digit(b)) return fail_at_next(msg::invalid_number());
    while (is_digit(at(pos_))) ++pos_;
  }
  out.text = std::string_view(data_ + start, pos_ - start);
  if (!out.integer) out.fits_u64 = false;
  if (want_value && !out.integer && !text_to_double(out.text, out.value)) {
    return fail(msg::number_out_of_range());
  }
  return true;
}

bool JsonCursor::integer_to_double(const JsonNumber& number, double& out) {
  if (number.fits_u64) {
    const auto magnitude = static_cast<double>(number.magnitude);
    out = number.negative ? -magnitude : magnitude;
    return true;
  }
  if (!text_to_double(number.text, out)) {
    return fail(msg::number_out_of_range());
  }
  return true;
}

bool JsonCursor::read_word(std::string_view word) {
  for (const char expected : word) {
    if (pos_ == size_) return fail(msg::eof_while_parsing_value());
    if (data_[pos_++] != expected) return fail(msg::expected_ident());
  }
  return true;
}

bool JsonCursor::skip_value() {
  switch (peek()) {
    case '"': {
      std::string_view ignored;
      return read_string(ignored);
    }
    case 't':
      return read_word("true");
    case 'f':
      return read_word("false");
    case 'n':
      return read_word("null");
    case '[':
      return skip_array();
    case '{':
      return skip_object();
    case kEnd:
      return fail(msg::eof_while_parsing_value());
    default: {
      const int b = static_cast<unsigned char>(data_[pos_]);
      if (b != '-' && !is_digit(b)) return fail_at_next(msg::expected_value());
      JsonNumber ignored;
      return scan_number(ignored, false);
    }
  }
}

bool JsonCursor::skip_array() {
  if (!enter()) return false;
  for (bool first = true;; first = false) {
    switch (next_element(first)) {
      case Step::kEnd:
        leave();
        return true;
      case Step::kError:
        return false;
      case Step::kItem:
        if (!skip_value()) return false;
    }
  }
}

bool JsonCursor::skip_object() {
  if (!enter()) return false;
  for (bool first = true;; first = false) {
    std::string_view key;
    switch (next_key(first, key)) {
      case Step::kEnd:
        leave();
        return true;
      case Step::kError:
        return false;
      case Step::kItem:
        if (!colon() || !skip_value()) return false;
    }
  }
}

bool JsonCursor::fail_invalid_type(std::string_view expected) {
  std::string unexpected;
  switch (peek()) {
    case '"': {
      std::string_view text;
      if (!read_string(text)) return false;
      unexpected = msg::unexpected_string(text);
      break;
    }
    case 't':
    case 'f': {
      const bool value = data_[pos_] == 't';
      if (!read_word(value ? "true" : "false")) return false;
      unexpected = msg::unexpected_boolean(value);
      break;
    }
    case 'n':
      if (!read_word("null")) return false;
      unexpected = msg::unexpected_null();
      break;
    case '[':
      ++pos_;
      unexpected = msg::unexpected_sequence();
      break;
    case '{':
      ++pos_;
      unexpected = msg::unexpected_map();
      break;
    case kEnd:
      return fail(msg::eof_while_parsing_value());
    default: {
      const int b = static_cast<unsigned char>(data_[pos_]);
      if (b != '-' && !is_digit(b)) return fail_at_next(msg::expected_value());
      JsonNumber number;
      if (!read_number(number)) return false;
      unexpected = number.integer ? msg::unexpected_integer(number.text)
                                  : msg::unexpected_float(number.value);
    }
  }
  return fail(msg::invalid_type(unexpected, expected));
}

bool JsonCursor::fail(std::string message) {
  return fail_at_offset(pos_, std::move(message));
}

bool JsonCursor::fail_at_next(std::string message) {
  return fail_at_offset(std::min(pos_ + 1, size_), std::move(message));
}

bool JsonCursor::fail_at_offset(std::size_t offset, std::string message) {
  failed_ = true;
  error_offset_ = offset;
  error_message_ = std::move(message);
  return false;
}

ReadError JsonCursor::error() const {
  std::uint64_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < error_offset_; ++i) {
    if (data_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return ReadError{error_message_, line, error_offset_ - line_start, {}};
}

}  // namespace halvo_compiler
