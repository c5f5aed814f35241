#include "halvo_runtime/trace_line.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "halvo/utf8.h"
#include "halvo_runtime/value_depth.h"

namespace halvo_runtime::event {
namespace {

using halvo::SmallString;

// The JSON type of a value read, for messages ("got a number").
enum class JsonKind { kNull, kBool, kNumber, kString, kArray, kObject };

const char* kind_text(JsonKind kind) {
  switch (kind) {
    case JsonKind::kNull:
      return "null";
    case JsonKind::kBool:
      return "a boolean";
    case JsonKind::kNumber:
      return "a number";
    case JsonKind::kString:
      return "a string";
    case JsonKind::kArray:
      return "an array";
    case JsonKind::kObject:
      break;
  }
  return "an object";
}

// The first UTF-8 fault of `raw` as Python's decoder names it, with the
// byte it starts at; empty when the bytes are UTF-8.
std::string utf8_fault(std::string_view raw) {
  const auto* s = reinterpret_cast<const unsigned char*>(raw.data());
  const std::size_t n = raw.size();
  for (std::size_t i = 0; i < n;) {
    // Most lines are ASCII throughout: eight bytes at a time.
    if (std::uint64_t word; i + 8 <= n) {
      std::memcpy(&word, s + i, 8);
      if ((word & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned b = s[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    const char* reason = nullptr;
    std::size_t need = 0;
    if (b < 0xC2 || b > 0xF4) {
      reason = "invalid start byte";
    } else {
      need = b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
      unsigned lo = 0x80, hi = 0xBF;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
      for (std::size_t k = 1; k <= need && reason == nullptr; ++k) {
        if (i + k >= n) {
          reason = "unexpected end of data";
          break;
        }
        const unsigned c = s[i + k];
        const bool ok =
            k == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
        if (!ok) reason = "invalid continuation byte";
      }
    }
    if (reason != nullptr) {
      return "not UTF-8 text (" + std::string(reason) + " at byte " +
             std::to_string(i) + ")";
    }
    i += need + 1;
  }
  return {};
}

// The code point at `p` of valid UTF-8, and its length in bytes.
char32_t code_point_at(const unsigned char* p, std::size_t& length) {
  const unsigned b = p[0];
  if (b < 0x80) {
    length = 1;
    return b;
  }
  if (b < 0xE0) {
    length = 2;
    return ((b & 0x1F) << 6) | (p[1] & 0x3F);
  }
  if (b < 0xF0) {
    length = 3;
    return ((b & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
  }
  length = 4;
  return ((b & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) |
         (p[3] & 0x3F);
}

// Whether Python's str.isspace() holds for the code point.
bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 ||
         c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// `raw` without the line ends at its end.
std::string_view trimmed(std::string_view raw) {
  while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r')) {
    raw.remove_suffix(1);
  }
  return raw;
}

bool is_blank(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = 0;
    if (!is_unicode_space(code_point_at(p + i, length))) return false;
    i += length;
  }
  return true;
}

// Code points in the valid UTF-8 `text`.
std::size_t code_points(std::string_view text) {
  std::size_t count = 0;
  for (const char c : text)
    count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

// The UnicodeEncodeError text of a str holding lone surrogates: the first
// run of them, at code point `position`, `run` long, the first being `unit`.
std::string surrogate_error(std::size_t position, std::size_t run,
                            std::uint32_t unit) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text = "'utf-8' codec can't encode ";
  if (run == 1) {
    text += "character '\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
      text += kHex[(unit >> shift) & 0xF];
    text += "' in position " + std::to_string(position);
  } else {
    text += "characters in position " + std::to_string(position) + "-" +
            std::to_string(position + run - 1);
  }
  return text + ": surrogates not allowed";
}

int hex_digit(unsigned char b) {
  if (b >= '0' && b <= '9') return b - '0';
  if (b >= 'a' && b <= 'f') return b - 'a' + 10;
  if (b >= 'A' && b <= 'F') return b - 'A' + 10;
  return -1;
}

bool is_json_space(unsigned char b) {
  return b == ' ' || b == '\t' || b == '\n' || b == '\r';
}

// The bytes that end a run of plain string text: the quote, the
// backslash, and the control characters JSON refuses inside a string.
constexpr std::array<bool, 256> kStringStop = [] {
  std::array<bool, 256> stop{};
  for (int b = 0; b <= 0x1F; ++b) stop[static_cast<std::size_t>(b)] = true;
  stop['"'] = stop['\\'] = true;
  return stop;
}();

// The bytes of `word` (eight bytes of text, the first in the low byte) that
// are in kStringStop, each flagged by its high bit: the lowest flag is
// exact, those above it may not be (a borrow runs upwards only from a byte
// that is flagged rightly).
constexpr std::uint64_t stop_bytes(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  auto zero_bytes = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  const std::uint64_t control = (word - kOnes * 0x20) & ~word & kHighs;
  return control | zero_bytes(word ^ (kOnes * '"')) |
         zero_bytes(word ^ (kOnes * '\\'));
}

// The lone surrogates of a decoded string: the first run of them.
struct Surrogates {
  bool found = false;
  std::size_t position = 0;  // code point of the first
  std::size_t run = 0;
  std::uint32_t unit = 0;
};

Value number_value(std::string_view text, bool is_float);

// A JSON reader over one line with the grammar and the messages of Python's
// json module; builds runtime Values as the binding converts its objects.
class LineJson {
 public:
  // `buffers` are the reader's, kept from line to line so that reading a
  // line allocates no text once the first lines have been read.
  LineJson(std::string_view text, int max_nesting, bool trailing_comma_messages,
           TraceLineReader::Buffers& buffers)
      : s_(reinterpret_cast<const unsigned char*>(text.data())),
        n_(text.size()),
        max_nesting_(max_nesting),
        trailing_comma_messages_(trailing_comma_messages),
        scratch_(buffers.scratch),
        keys_(buffers.keys) {}

  bool failed() const { return failed_; }
  bool too_deep() const { return too_deep_; }
  const std::string& message() const { return message_; }
  std::size_t error_at() const { return error_at_; }

  std::size_t skip_space(std::size_t i) const {
    if (i < n_ && s_[i] > ' ') return i;  // the usual case: no space at all
    while (i < n_ && is_json_space(s_[i])) ++i;
    return i;
  }
  std::size_t size() const { return n_; }
  unsigned char at(std::size_t i) const { return s_[i]; }

  bool fail(std::size_t at, const char* message) {
    failed_ = true;
    error_at_ = at;
    message_ = message;
    return false;
  }

  // Reads the value at `i` into `out` (nullptr: dropped), its JSON type
  // into `kind`, the first key with lone surrogates into `key_error`;
  // advances `i` past it.
  bool value(std::size_t& i, int depth, Value* out, JsonKind& kind,
             std::optional<std::string>* key_error) {
    if (i >= n_) return fail(i, "Expecting value");
    const unsigned char b = s_[i];
    switch (b) {
      case '"': {
        kind = JsonKind::kString;
        Surrogates lone;
        if (!string(i, lone)) return false;
        if (out != nullptr) *out = Value::string(SmallString(text_));
        return true;
      }
      case '{':
        kind = JsonKind::kObject;
        return object_value(i, depth, out, key_error);
      case '[':
        kind = JsonKind::kArray;
        return array_value(i, depth, out, key_error);
      case 'n':
        if (word(i, "null")) {
          kind = JsonKind::kNull;
          if (out != nullptr) *out = Value::null();
          return true;
        }
        break;
      case 't':
      case 'f':
        if (word(i, b == 't' ? "true" : "false")) {
          kind = JsonKind::kBool;
          if (out != nullptr) *out = Value::boolean(b == 't');
          return true;
        }
        break;
      case 'N':
        if (word(i, "NaN")) return special(out, kind, std::nan(""));
        break;
      case 'I':
        if (word(i, "Infinity"))
          return special(out, kind, std::numeric_limits<double>::infinity());
        break;
      case '-':
        if (word(i, "-Infinity"))
          return special(out, kind, -std::numeric_limits<double>::infinity());
        break;
      default:
        break;
    }
    std::string_view text;
    bool is_float = false;
    if (!number(i, text, is_float)) return false;
    kind = JsonKind::kNumber;
    if (out != nullptr) *out = number_value(text, is_float);
    return true;
  }

  // Reads the number at `i` as written; false ("Expecting value") when
  // there is none.
  bool number(std::size_t& i, std::string_view& text, bool& is_float) {
    const std::size_t start = i;
    std::size_t idx = i;
    auto digit = [this](std::size_t k) {
      return k < n_ && s_[k] >= '0' && s_[k] <= '9';
    };
    if (s_[idx] == '-') {
      ++idx;
      if (idx >= n_) return fail(start, "Expecting value");
    }
    if (s_[idx] >= '1' && s_[idx] <= '9') {
      ++idx;
      while (digit(idx)) ++idx;
    } else if (s_[idx] == '0') {
      ++idx;
    } else {
      return fail(start, "Expecting value");
    }
    is_float = false;
    if (idx + 1 < n_ && s_[idx] == '.' && digit(idx + 1)) {
      is_float = true;
      idx += 2;
      while (digit(idx)) ++idx;
    }
    if (idx + 1 < n_ && (s_[idx] == 'e' || s_[idx] == 'E')) {
      const std::size_t e_start = idx;
      ++idx;
      if (idx + 1 < n_ && (s_[idx] == '-' || s_[idx] == '+')) ++idx;
      while (digit(idx)) ++idx;
      if (s_[idx - 1] >= '0' && s_[idx - 1] <= '9') {
        is_float = true;
      } else {
        idx = e_start;
      }
    }
    text = std::string_view(reinterpret_cast<const char*>(s_) + start,
                            idx - start);
    i = idx;
    return true;
  }

  // Reads the string whose quote is at `i` into text(), noting its lone
  // surrogates; advances `i` past the closing quote.
  bool string(std::size_t& i, Surrogates& lone) {
    const std::size_t begin = i;
    std::size_t next = plain_run_end(begin + 1);
    if (next < n_ && s_[next] == '"') {
      // No escape: the text is the line's own bytes, copied nowhere.
      text_ = std::string_view(reinterpret_cast<const char*>(s_) + begin + 1,
                               next - begin - 1);
      text_decoded_ = false;
      i = next + 1;
      return checked_text(begin);
    }
    return decoded_string(i, next, lone);
  }

  // The rest of string() from the first byte at `next` that ends a run of
  // plain text: the text decoded into the scratch buffer. Kept out of line,
  // so that the plain strings pay nothing for it.
  [[gnu::noinline]] bool decoded_string(std::size_t& i, std::size_t next,
                                        Surrogates& lone) {
    const std::size_t begin = i;
    scratch_.assign(reinterpret_cast<const char*>(s_) + begin + 1,
                    next - begin - 1);
    // The decoded code points are counted only when a lone surrogate needs
    // its position: each one before it was written as three U+FFFD.
    std::size_t surrogates = 0;
    auto note_surrogate = [&](std::uint32_t unit) {
      const std::size_t points = code_points(scratch_) - 2 * surrogates;
      if (!lone.found) {
        lone = {true, points, 1, unit};
      } else if (lone.position + lone.run == points) {
        ++lone.run;
      }
      scratch_ += "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";
      ++surrogates;
    };
    for (std::size_t end = next;; next = end) {
      next = plain_run_end(next);
      scratch_.append(reinterpret_cast<const char*>(s_) + end, next - end);
      if (next >= n_) return fail(begin, "Unterminated string starting at");
      if (s_[next] <= 0x1F) return fail(next, "Invalid control character at");
      if (s_[next] == '"') {
        text_ = scratch_;
        text_decoded_ = true;
        i = next + 1;
        return checked_text(begin);
      }
      ++next;  // past the backslash
      if (next >= n_) return fail(begin, "Unterminated string starting at");
      const unsigned char c = s_[next];
      if (c != 'u') {
        end = next + 1;
        char out = 0;
        switch (c) {
          case '"':
          case '\\':
          case '/':
            out = static_cast<char>(c);
            break;
          case 'b':
            out = '\b';
            break;
          case 'f':
            out = '\f';
            break;
          case 'n':
            out = '\n';
            break;
          case 'r':
            out = '\r';
            break;
          case 't':
            out = '\t';
            break;
          default:
            return fail(next - 1, "Invalid \\escape");
        }
        scratch_.push_back(out);
        continue;
      }
      ++next;  // past the 'u'
      if (!chars_after(next, 5))
        return fail(next - 1, "Invalid \\uXXXX escape");
      std::uint32_t unit = 0;
      if (!hex4(next, unit)) return fail(next - 1, "Invalid \\uXXXX escape");
      end = next + 4;
      if (unit >= 0xD800 && unit <= 0xDBFF && chars_after(end, 7) &&
          s_[end] == '\\' && s_[end + 1] == 'u') {
        std::uint32_t trail = 0;
        if (!hex4(end + 2, trail))
          return fail(end + 1, "Invalid \\uXXXX escape");
        if (trail >= 0xDC00 && trail <= 0xDFFF) {
          unit = 0x10000 + ((unit - 0xD800) << 10) + (trail - 0xDC00);
          end += 6;
        }
      }
      if (unit >= 0xD800 && unit <= 0xDFFF) {
        note_surrogate(unit);
      } else {
        halvo::utf8::append_utf8(scratch_, unit);
      }
    }
  }

  // The first byte from `i` on that ends a run of plain string text, or the
  // line's end: eight bytes at a time while eight remain. The bytes it
  // reads are or-ed into high_bytes_, for checked_text().
  std::size_t plain_run_end(std::size_t i) {
    if constexpr (std::endian::native == std::endian::little) {
      for (; i + 8 <= n_; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, s_ + i, 8);
        high_bytes_ |= word;
        if (const std::uint64_t stops = stop_bytes(word); stops != 0)
          return i + static_cast<std::size_t>(std::countr_zero(stops)) / 8;
      }
    }
    for (; i < n_ && !kStringStop[s_[i]]; ++i) high_bytes_ |= s_[i];
    return i;
  }

  // Whether the text of a string may be used: true until a string holds a
  // byte beyond ASCII (or one of the bytes read with it does); then the
  // whole line is checked for UTF-8, once, and a fault fails the read before
  // any text that is not UTF-8 goes further (read() reports the fault).
  bool checked_text(std::size_t at) {
    if (utf8_checked_ || (high_bytes_ & 0x8080808080808080ULL) == 0)
      return true;
    utf8_checked_ = true;
    if (utf8_fault(std::string_view(reinterpret_cast<const char*>(s_), n_))
            .empty())
      return true;
    return fail(at, "not UTF-8 text");
  }

  // The text of the string read last, lone surrogates replaced: a view of
  // the line itself, or of the scratch text when it held an escape. Valid
  // until the next string is read.
  std::string_view text() const { return text_; }

  // Walks the object whose '{' is at `i`, calling entry(key, lone, i) at
  // each value (which reads it and advances i); advances past the '}'.
  template <class Entry>
  bool object(std::size_t& i, int depth, Entry&& entry) {
    if (depth >= max_nesting_) {
      too_deep_ = true;
      return fail(i, "nested too deeply");
    }
    std::size_t idx = skip_space(i + 1);
    if (idx >= n_ || s_[idx] != '}') {
      for (;;) {
        if (idx >= n_ || s_[idx] != '"') {
          return fail(idx, "Expecting property name enclosed in double quotes");
        }
        Surrogates lone;
        if (!string(idx, lone)) return false;
        std::string_view key = text_;
        if (text_decoded_) {
          // A decoded key is kept apart from the scratch text, which the
          // value's strings reuse, in a buffer of its object's depth (a
          // deque's elements stay in place as deeper ones are added).
          while (keys_.size() <= static_cast<std::size_t>(depth)) {
            keys_.emplace_back();
          }
          key = keys_[static_cast<std::size_t>(depth)].assign(scratch_);
        }
        idx = skip_space(idx);
        if (idx >= n_ || s_[idx] != ':')
          return fail(idx, "Expecting ':' delimiter");
        idx = skip_space(idx + 1);
        if (!entry(key, lone, idx)) return false;
        idx = skip_space(idx);
        if (idx < n_ && s_[idx] == '}') break;
        if (idx >= n_ || s_[idx] != ',')
          return fail(idx, "Expecting ',' delimiter");
        const std::size_t comma = idx;
        idx = skip_space(idx + 1);
        if (trailing_comma_messages_ && idx < n_ && s_[idx] == '}') {
          return fail(comma, "Illegal trailing comma before end of object");
        }
      }
    }
    i = idx + 1;
    return true;
  }

  // Reads an object at `i` into the map `out` (nullptr: dropped). With
  // `use`, the entries whose key no expression reads are checked and
  // dropped.
  bool map_into(std::size_t& i, int depth, ValueMap* out,
                std::optional<std::string>* key_error,
                const EventFieldUse* use = nullptr) {
    return object(
        i, depth,
        [&](std::string_view key, const Surrogates& lone, std::size_t& at) {
          note_key(lone, key_error);
          JsonKind kind;
          if (out == nullptr || (use != nullptr && !use->reads(key))) {
            return value(at, depth + 1, nullptr, kind, key_error);
          }
          Value item;
          if (!value(at, depth + 1, &item, kind, key_error)) return false;
          out->insert_or_assign(SmallString(key), std::move(item));
          return true;
        });
  }

  // The key error of a key with lone surrogates, if none is noted yet.
  static void note_key(const Surrogates& lone,
                       std::optional<std::string>* key_error) {
    if (lone.found && key_error != nullptr && !*key_error) {
      *key_error = surrogate_error(lone.position, lone.run, lone.unit);
    }
  }

 private:
  // A value of an event's fields or of a setting nested deeper than the
  // binding converts (its line object and map are levels 0 and 1).
  static void note_depth(int depth, std::optional<std::string>* key_error) {
    if (depth > static_cast<int>(kMaxInputDepth) + 1 && key_error != nullptr &&
        !*key_error) {
      *key_error =
          "maximum recursion depth exceeded while converting a nested value";
    }
  }

  bool object_value(std::size_t& i, int depth, Value* out,
                    std::optional<std::string>* key_error) {
    note_depth(depth, key_error);
    if (out == nullptr) return map_into(i, depth, nullptr, key_error);
    ValueMap entries;
    if (!map_into(i, depth, &entries, key_error)) return false;
    *out = Value::map(std::move(entries));
    return true;
  }

  bool array_value(std::size_t& i, int depth, Value* out,
                   std::optional<std::string>* key_error) {
    note_depth(depth, key_error);
    if (depth >= max_nesting_) {
      too_deep_ = true;
      return fail(i, "nested too deeply");
    }
    ValueList items;
    std::size_t idx = skip_space(i + 1);
    if (idx >= n_ || s_[idx] != ']') {
      for (;;) {
        JsonKind kind;
        if (out == nullptr) {
          if (!value(idx, depth + 1, nullptr, kind, key_error)) return false;
        } else {
          Value item;
          if (!value(idx, depth + 1, &item, kind, key_error)) return false;
          items.push_back(std::move(item));
        }
        idx = skip_space(idx);
        if (idx < n_ && s_[idx] == ']') break;
        if (idx >= n_ || s_[idx] != ',')
          return fail(idx, "Expecting ',' delimiter");
        const std::size_t comma = idx;
        idx = skip_space(idx + 1);
        if (trailing_comma_messages_ && idx < n_ && s_[idx] == ']') {
          return fail(comma, "Illegal trailing comma before end of array");
        }
      }
    }
    i = idx + 1;
    if (out != nullptr) *out = Value::list(std::move(items));
    return true;
  }

  // Whether the whole word is at `i` (then advances past it).
  bool word(std::size_t& i, std::string_view text) {
    if (n_ - i < text.size() ||
        std::memcmp(s_ + i, text.data(), text.size()) != 0) {
      return false;
    }
    i += text.size();
    return true;
  }

  static bool special(Value* out, JsonKind& kind, double value) {
    kind = JsonKind::kNumber;
    if (out != nullptr) *out = Value::floating(value);
    return true;
  }

  // Whether at least `count` code points follow from byte `i`.
  bool chars_after(std::size_t i, std::size_t count) const {
    std::size_t seen = 0;
    for (; i < n_ && seen < count; ++i) seen += (s_[i] & 0xC0) != 0x80;
    return seen >= count;
  }

  bool hex4(std::size_t i, std::uint32_t& unit) const {
    unit = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const int d = i + k < n_ ? hex_digit(s_[i + k]) : -1;
      if (d < 0) return false;
      unit = unit * 16 + static_cast<std::uint32_t>(d);
    }
    return true;
  }

  const unsigned char* s_;
  std::size_t n_;
  int max_nesting_;
  bool trailing_comma_messages_;
  bool failed_ = false;
  bool too_deep_ = false;
  std::size_t error_at_ = 0;
  std::string message_;
  std::string& scratch_;
  std::string_view text_;
  bool text_decoded_ = false;
  std::uint64_t high_bytes_ = 0;
  bool utf8_checked_ = false;
  std::deque<std::string>& keys_;
};

// A JSON number as the binding converts the int or float Python reads: an
// int within 64 bits is an Int, a larger one a Float, or beyond every
// double the String of its digits; a float out of range is infinite.
Value number_value(std::string_view text, bool is_float) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (!is_float) {
    std::int64_t integer = 0;
    const auto read = std::from_chars(first, last, integer);
    if (read.ec == std::errc() && read.ptr == last)
      return Value::integer(integer);
  }
  double value = 0;
  const auto read = std::from_chars(first, last, value);
  if (read.ec == std::errc::result_out_of_range) {
    value = std::strtod(std::string(text).c_str(), nullptr);
    if (!is_float && std::isinf(value)) {
      return Value::string(SmallString(text));
    }
  }
  return Value::floating(value);
}

// Python's repr of a float, as json.dumps writes it.
std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  char buffer[64];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value,
                                     std::chars_format::scientific);
  std::string_view text(buffer, static_cast<std::size_t>(written.ptr - buffer));
  std::string sign;
  if (text[0] == '-') {
    sign = "-";
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  std::string digits;
  for (const char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());
  std::string out;
  if (exponent >= -4 && exponent < 16) {
    if (exponent >= 0) {
      const auto whole = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= whole) digits.append(whole - digits.size(), '0');
      const std::string fraction = digits.substr(whole);
      out = digits.substr(0, whole) + "." + (fraction.empty() ? "0" : fraction);
    } else {
      out = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') +
            digits;
    }
  } else {
    out = digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    const int magnitude = exponent < 0 ? -exponent : exponent;
    out += exponent < 0 ? "e-" : "e+";
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
  }
  return sign + out;
}

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  auto unit = [&](std::uint32_t u) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
      out += kHex[(u >> shift) & 0xF];
  };
  out += '"';
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t length = 0;
    const char32_t c = code_point_at(p + i, length);
    i += length;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20 || (c >= 0x7F && c < 0x10000)) {
          if (c == 0x7F) {
            out += static_cast<char>(c);
          } else {
            unit(c);
          }
        } else if (c >= 0x10000) {
          unit(0xD800 + ((c - 0x10000) >> 10));
          unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void append_dump(std::string& out, const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Null:
      out += "null";
      return;
    case Value::Kind::Bool:
      out += value.bool_value() ? "true" : "false";
      return;
    case Value::Kind::Int:
      out += std::to_string(value.int_value());
      return;
    case Value::Kind::Duration:
      out += std::to_string(value.duration_millis());
      return;
    case Value::Kind::Float:
      out += float_text(value.float_value());
      return;
    case Value::Kind::String:
      append_json_string(out, value.string_value().view());
      return;
    case Value::Kind::List: {
      out += '[';
      bool first = true;
      for (const Value& item : value.list_items()) {
        if (!first) out += ", ";
        first = false;
        append_dump(out, item);
      }
      out += ']';
      return;
    }
    case Value::Kind::Map: {
      out += '{';
      bool first = true;
      for (const auto& entry : value.map_entries()) {
        if (!first) out += ", ";
        first = false;
        append_json_string(out, entry.key.view());
        out += ": ";
        append_dump(out, entry.value);
      }
      out += '}';
      return;
    }
  }
}

constexpr std::string_view kMaxTimestampText = "18446744073709551615";

// The keys a line object may hold: a setting's, an event's, and those a
// decision log writes beside an event's.
enum class LineKey {
  kConfig,
  kContext,
  kType,
  kFields,
  kTimestamp,
  kDecisionId,
  kDecision,
  kPolicy,
  kSurface,
  kShadow,
  kOther
};

// Which key `key` is: one comparison of the bytes at most, after its length
// and first letter.
LineKey line_key(std::string_view key) {
  auto is = [&](std::string_view name, LineKey which) {
    return key == name ? which : LineKey::kOther;
  };
  if (key.empty()) return LineKey::kOther;
  switch (key[0]) {
    case 't':
      return key.size() == 4 ? is("type", LineKey::kType)
                             : is("timestamp_ms", LineKey::kTimestamp);
    case 'f':
      return is("fields", LineKey::kFields);
    case 'c':
      return key.size() == 6 ? is("config", LineKey::kConfig)
                             : is("context", LineKey::kContext);
    case 'd':
      return key.size() == 8 ? is("decision", LineKey::kDecision)
                             : is("decision_id", LineKey::kDecisionId);
    case 'p':
      return is("policy", LineKey::kPolicy);
    case 's':
      return key.size() == 7 ? is("surface", LineKey::kSurface)
                             : is("shadow", LineKey::kShadow);
    default:
      return LineKey::kOther;
  }
}

bool is_setting_key(LineKey key) {
  return key == LineKey::kConfig || key == LineKey::kContext;
}

bool is_event_key(LineKey key) {
  return !is_setting_key(key) && key != LineKey::kOther;
}

// What one line object holds, read key by key (a key given twice: the last
// value, at the place of the first).
struct LineObject {
  bool has_setting = false, has_type = false;
  std::optional<std::string> first_not_setting, first_not_event;
  JsonKind type_kind = JsonKind::kNull, fields_kind = JsonKind::kObject;
  JsonKind decision_kind = JsonKind::kNull, policy_kind = JsonKind::kNull;
  JsonKind decision_id_kind = JsonKind::kNull;
  JsonKind config_kind = JsonKind::kObject, context_kind = JsonKind::kObject;
  std::string type;
  std::optional<std::string> type_error, fields_key_error;
  // The timestamp: absent (or null), a valid integer, or the text json.dumps
  // gives for what was written instead.
  std::optional<std::uint64_t> timestamp;
  std::optional<std::string> bad_timestamp;
};

// The entries of a setting object, in the order Python's dict keeps them.
bool read_setting(LineJson& json, std::size_t& i, int depth,
                  std::vector<TraceSettingEntry>& entries) {
  entries.clear();
  return json.object(
      i, depth,
      [&](std::string_view key, const Surrogates& lone, std::size_t& at) {
        TraceSettingEntry entry;
        entry.key = SmallString(key);
        std::optional<std::string> value_error;
        JsonKind kind;
        if (!json.value(at, depth + 1, &entry.value, kind, &value_error))
          return false;
        if (lone.found) {
          entry.error = surrogate_error(lone.position, lone.run, lone.unit);
        } else {
          entry.error = std::move(value_error);
        }
        for (auto& earlier : entries) {
          if (earlier.key.view() == key) {
            earlier.value = std::move(entry.value);
            earlier.error = std::move(entry.error);
            return true;
          }
        }
        entries.push_back(std::move(entry));
        return true;
      });
}

// Reads the timestamp value at `at` into `object`.
bool read_timestamp(LineJson& json, std::size_t& at, LineObject& object) {
  object.timestamp.reset();
  object.bad_timestamp.reset();
  const unsigned char b = at < json.size() ? json.at(at) : 0;
  if (b >= '1' && b <= '9') {
    // The usual case: an integer of at most 18 digits, which no uint64
    // overflows, not followed by a fraction or an exponent.
    std::uint64_t stamp = 0;
    std::size_t end = at;
    for (; end < json.size() && end - at < 18; ++end) {
      const unsigned char digit = json.at(end);
      if (digit < '0' || digit > '9') break;
      stamp = stamp * 10 + (digit - '0');
    }
    const unsigned char after = end < json.size() ? json.at(end) : 0;
    if (after != '.' && after != 'e' && after != 'E' &&
        !(after >= '0' && after <= '9')) {
      object.timestamp = stamp;
      at = end;
      return true;
    }
  }
  const bool numeric = b == '-' || (b >= '0' && b <= '9');
  if (numeric &&
      !(b == '-' && at + 1 < json.size() && json.at(at + 1) == 'I')) {
    std::string_view text;
    bool is_float = false;
    if (!json.number(at, text, is_float)) return false;
    if (is_float) {
      object.bad_timestamp = float_text(number_value(text, true).float_value());
      return true;
    }
    std::string_view digits = text;
    const bool negative = digits[0] == '-';
    if (negative) digits.remove_prefix(1);
    std::uint64_t stamp = 0;
    const auto read =
        std::from_chars(digits.data(), digits.data() + digits.size(), stamp);
    if (read.ec == std::errc() && (!negative || stamp == 0)) {
      object.timestamp = stamp;
    } else {
      object.bad_timestamp = std::string(text);
    }
    return true;
  }
  Value value;
  JsonKind kind;
  if (!json.value(at, 1, &value, kind, nullptr)) return false;
  if (kind != JsonKind::kNull) object.bad_timestamp = json_dumps_text(value);
  return true;
}

}  // namespace

std::string json_dumps_text(const Value& value) {
  std::string out;
  append_dump(out, value);
  return out;
}

TraceLine& TraceLineReader::read(std::string_view raw, bool first) {
  TraceLine& line = line_;
  line.kind = TraceLine::Kind::kBad;
  line.error.clear();
  line.event_error.reset();
  line.timestamp.reset();
  line.config.clear();
  line.context.clear();
  // A line that opens its object at once is checked for UTF-8 only when
  // one of its strings holds a byte beyond ASCII (the reader checks it
  // then), or when its read fails: outside strings the JSON grammar takes
  // ASCII alone, so a line read well whose strings are ASCII is ASCII
  // throughout. Any other line is checked first, as the blank test needs.
  if (!raw.empty() && raw.front() == '{') {
    TraceLine& read = read_json(raw);
    if (read.kind != TraceLine::Kind::kBad) return read;
    if (std::string fault = utf8_fault(raw); !fault.empty()) {
      read.error = std::move(fault);
    }
    return read;
  }
  if (std::string fault = utf8_fault(raw); !fault.empty()) {
    line.error = std::move(fault);
    return line;
  }
  if (first && raw.substr(0, 3) == "\xEF\xBB\xBF") raw.remove_prefix(3);
  if (is_blank(trimmed(raw))) {
    line.kind = TraceLine::Kind::kBlank;
    return line;
  }
  return read_json(raw);
}

TraceLine& TraceLineReader::read_json(std::string_view raw) {
  TraceLine& line = line_;
  raw = trimmed(raw);
  auto json_error = [&](std::size_t at, const std::string& message) {
    line.error = "invalid JSON: " + message + " at column " +
                 std::to_string(code_points(raw.substr(0, at)) + 1);
    return std::ref(line);
  };
  if (raw.substr(0, 3) == "\xEF\xBB\xBF") {
    return json_error(0, "Unexpected UTF-8 BOM (decode using utf-8-sig)");
  }
  LineJson json(raw, max_nesting_, trailing_comma_messages_, buffers_);
  std::size_t i = json.skip_space(0);
  LineObject object;
  bool is_object = i < json.size() && json.at(i) == '{';
  JsonKind top_kind = JsonKind::kObject;
  Event& event = line.event;
  event.reset(SmallString(), 0);
  std::vector<TraceSettingEntry> config, context;
  bool ok;
  if (is_object) {
    ok = json.object(
        i, 0, [&](std::string_view key, const Surrogates&, std::size_t& at) {
          const LineKey which = line_key(key);
          const bool setting_key = is_setting_key(which);
          if (!setting_key && !object.first_not_setting)
            object.first_not_setting = std::string(key);
          if (!is_event_key(which) && !object.first_not_event)
            object.first_not_event = std::string(key);
          object.has_setting |= setting_key;
          if (which == LineKey::kFields) {
            object.fields_key_error.reset();
            event.fields().clear();
            if (at < json.size() && json.at(at) == '{') {
              object.fields_kind = JsonKind::kObject;
              return json.map_into(at, 1, &event.fields(),
                                   &object.fields_key_error, field_use_);
            }
            Value ignored;
            return json.value(at, 1, &ignored, object.fields_kind, nullptr);
          }
          if (setting_key) {
            const bool is_config = which == LineKey::kConfig;
            auto& entries = is_config ? config : context;
            JsonKind& kind =
                is_config ? object.config_kind : object.context_kind;
            if (at < json.size() && json.at(at) == '{') {
              kind = JsonKind::kObject;
              return read_setting(json, at, 1, entries);
            }
            return json.value(at, 1, nullptr, kind, nullptr);
          }
          if (which == LineKey::kTimestamp)
            return read_timestamp(json, at, object);
          if (which == LineKey::kType) {
            object.has_type = true;
            object.type_error.reset();
            if (at < json.size() && json.at(at) == '"') {
              object.type_kind = JsonKind::kString;
              Surrogates lone;
              if (!json.string(at, lone)) return false;
              object.type = json.text();
              if (lone.found) {
                object.type_error =
                    surrogate_error(lone.position, lone.run, lone.unit);
              }
              return true;
            }
            return json.value(at, 1, nullptr, object.type_kind, nullptr);
          }
          JsonKind* kind = which == LineKey::kDecision ? &object.decision_kind
                           : which == LineKey::kPolicy ? &object.policy_kind
                           : which == LineKey::kDecisionId
                               ? &object.decision_id_kind
                               : nullptr;
          JsonKind ignored;
          return json.value(at, 1, nullptr, kind != nullptr ? *kind : ignored,
                            nullptr);
        });
  } else {
    ok = json.value(i, 0, nullptr, top_kind, nullptr);
  }
  if (!ok) {
    if (json.too_deep()) {
      line.error = "invalid JSON: nested too deeply";
      return line;
    }
    return json_error(json.error_at(), json.message());
  }
  i = json.skip_space(i);
  if (i != json.size()) return json_error(i, "Extra data");
  if (!is_object) {
    line.error =
        std::string("expected a JSON object, got ") + kind_text(top_kind);
    return line;
  }
  // The checks of the Python reader, in its order.
  const auto& unknown =
      object.has_setting ? object.first_not_setting : object.first_not_event;
  if (unknown) {
    line.error = "unknown key `" + *unknown + "` (expected " +
                 (object.has_setting ? "`config`, `context`"
                                     : "`type`, `fields`, `timestamp_ms`") +
                 ")";
    return line;
  }
  if (object.has_setting) {
    if (object.config_kind != JsonKind::kObject) {
      line.error = std::string("`config` must be an object, got ") +
                   kind_text(object.config_kind);
      return line;
    }
    if (object.context_kind != JsonKind::kObject) {
      line.error = std::string("`context` must be an object, got ") +
                   kind_text(object.context_kind);
      return line;
    }
    line.config = std::move(config);
    line.context = std::move(context);
    line.kind = TraceLine::Kind::kSetting;
    return line;
  }
  if (!object.has_type) {
    line.error = "missing key `type`";
    return line;
  }
  if (object.type_kind != JsonKind::kString) {
    line.error = std::string("`type` must be a string, got ") +
                 kind_text(object.type_kind);
    return line;
  }
  if (object.fields_kind != JsonKind::kObject) {
    line.error = std::string("`fields` must be an object, got ") +
                 kind_text(object.fields_kind);
    return line;
  }
  if (object.bad_timestamp) {
    line.error = "`timestamp_ms` must be an integer from 0 to " +
                 std::string(kMaxTimestampText) + ", got " +
                 *object.bad_timestamp;
    return line;
  }
  for (const auto& [name, kind] : {std::pair{"decision", object.decision_kind},
                                   std::pair{"policy", object.policy_kind}}) {
    if (kind != JsonKind::kNull && kind != JsonKind::kObject) {
      line.error = std::string("`") + name + "` must be an object, got " +
                   kind_text(kind);
      return line;
    }
  }
  if (object.decision_id_kind != JsonKind::kNull &&
      object.decision_id_kind != JsonKind::kString) {
    line.error = std::string("`decision_id` must be a string, got ") +
                 kind_text(object.decision_id_kind);
    return line;
  }
  // The fields stay in place; only the type and time are set.
  ValueMap fields = std::move(event.fields());
  event.reset(SmallString(object.type), object.timestamp.value_or(0));
  event.fields() = std::move(fields);
  line.timestamp = object.timestamp;
  line.event_error =
      object.type_error ? object.type_error : object.fields_key_error;
  line.kind = TraceLine::Kind::kEvent;
  return line;
}

}  // namespace halvo_runtime::event
