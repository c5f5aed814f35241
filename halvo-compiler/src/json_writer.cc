#include "json_writer.h"

#include <charconv>
#include <cstdlib>
#include <system_error>

namespace halvo_compiler {
namespace {

// Whether a byte must be escaped inside a JSON string.
bool needs_escape(unsigned char byte) {
  return byte < 0x20 || byte == '"' || byte == '\\';
}

void append_escape(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789abcdef";
  switch (byte) {
    case '"':
      out.append("\\\"");
      return;
    case '\\':
      out.append("\\\\");
      return;
    case '\b':
      out.append("\\b");
      return;
    case '\f':
      out.append("\\f");
      return;
    case '\n':
      out.append("\\n");
      return;
    case '\r':
      out.append("\\r");
      return;
    case '\t':
      out.append("\\t");
      return;
    default:
      out.append("\\u00");
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
  }
}

}  // namespace

void JsonWriter::string(std::string_view text) {
  out_.push_back('"');
  std::size_t run = 0;  // start of the bytes not yet appended
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (!needs_escape(byte)) continue;
    out_.append(text.substr(run, i - run));
    append_escape(out_, byte);
    run = i + 1;
  }
  out_.append(text.substr(run));
  out_.push_back('"');
}

void JsonWriter::key(std::string_view name) {
  string(name);
  out_.push_back(':');
}

void JsonWriter::unsigned_integer(std::uint64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out_.append(buffer, result.ptr);
}

void JsonWriter::signed_integer(std::int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out_.append(buffer, result.ptr);
}

void JsonWriter::floating(double value) {
  // The shortest digits that read back as the same double, placed the way
  // Python's repr places them: positional for decimal exponents from -4 to
  // 15, scientific otherwise. A fraction or an exponent is always written,
  // so the number reads back as a double, -0.0 included.
  char buffer[40];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                    std::chars_format::scientific);
  const std::string_view text(buffer, result.ptr);
  const std::size_t e_pos = text.find('e');
  const bool negative = text.front() == '-';
  std::string digits;
  for (const char ch : text.substr(0, e_pos)) {
    if (ch >= '0' && ch <= '9') digits.push_back(ch);
  }
  const int exponent = std::atoi(std::string(text.substr(e_pos + 1)).c_str());
  if (negative) out_.push_back('-');
  if (exponent >= -4 && exponent < 16) {
    if (exponent < 0) {
      out_.append("0.");
      out_.append(static_cast<std::size_t>(-exponent - 1), '0');
      out_.append(digits);
      return;
    }
    const auto whole = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= whole) {
      out_.append(digits);
      out_.append(whole - digits.size(), '0');
      out_.append(".0");
      return;
    }
    out_.append(digits, 0, whole);
    out_.push_back('.');
    out_.append(digits, whole);
    return;
  }
  out_.push_back(digits.front());
  if (digits.size() > 1) {
    out_.push_back('.');
    out_.append(digits, 1);
  }
  out_.push_back('e');
  out_.push_back(exponent < 0 ? '-' : '+');
  const int magnitude = exponent < 0 ? -exponent : exponent;
  if (magnitude < 10) out_.push_back('0');
  unsigned_integer(static_cast<std::uint64_t>(magnitude));
}

}  // namespace halvo_compiler
