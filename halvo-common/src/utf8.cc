#include "halvo/utf8.h"

namespace halvo::utf8 {
namespace {

bool is_continuation(unsigned char byte) noexcept {
  return (byte & 0xC0) == 0x80;
}

constexpr DecodedChar kInvalidByte{kInvalidCodePoint, 1};

}  // namespace

DecodedChar decode_utf8(std::string_view text, std::size_t pos) noexcept {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) return {lead, 1};
  std::size_t length;
  char32_t code_point;
  char32_t minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1F;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0F;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07;
    minimum = 0x10000;
  } else {
    return kInvalidByte;
  }
  if (text.size() - pos < length) return kInvalidByte;
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[pos + i]);
    if (!is_continuation(byte)) return kInvalidByte;
    code_point = (code_point << 6) | (byte & 0x3F);
  }
  if (code_point < minimum || code_point > 0x10FFFF ||
      (code_point >= 0xD800 && code_point <= 0xDFFF)) {
    return kInvalidByte;
  }
  return {code_point, length};
}

DecodedChar decode_utf8_before(std::string_view text,
                               std::size_t end) noexcept {
  // A well-formed character ending at `end` starts at most three
  // continuation bytes back; anything else is the last byte on its own.
  std::size_t start = end - 1;
  while (start > 0 && end - start < 4 &&
         is_continuation(static_cast<unsigned char>(text[start]))) {
    --start;
  }
  const DecodedChar ch = decode_utf8(text, start);
  if (ch.code_point != kInvalidCodePoint && start + ch.length == end) {
    return ch;
  }
  return kInvalidByte;
}

bool is_valid(std::string_view text) noexcept {
  std::size_t pos = 0;
  while (pos < text.size()) {
    // Policy text is mostly ASCII; skip it a byte at a time without decoding.
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    const DecodedChar ch = decode_utf8(text, pos);
    if (ch.code_point == kInvalidCodePoint) return false;
    pos += ch.length;
  }
  return true;
}

void append_utf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

}  // namespace halvo::utf8
