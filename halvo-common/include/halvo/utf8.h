// UTF-8 decoding, validation and encoding, shared by the policy reader
// (string escapes, validity of payload bytes) and the runtime's text
// operations (case mapping, trimming, splitting into characters).
//
// Decoding is total. A byte that does not start a well-formed sequence (a
// stray continuation byte, a truncated sequence, an overlong form, a
// surrogate or a code point above U+10FFFF) is taken as one character of
// its own with the code point kInvalidCodePoint, so callers can copy it
// through unchanged.
//
//   for (std::size_t pos = 0; pos < text.size();) {
//     const DecodedChar ch = decode_utf8(text, pos);
//     use(ch.code_point);              // kInvalidCodePoint for a bad byte
//     pos += ch.length;                // always at least 1
//   }
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace halvo::utf8 {

inline constexpr char32_t kInvalidCodePoint = 0xFFFFFFFF;

// Whether every byte of `text` is below 0x80, read eight bytes at a time:
// most texts of a policy and its events are ASCII, for which many
// operations take a shorter way.
inline bool is_ascii(std::string_view text) noexcept {
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  std::uint64_t seen = 0;
  std::size_t pos = 0;
  for (; pos + sizeof seen <= text.size(); pos += sizeof seen) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + pos, sizeof word);
    seen |= word;
  }
  for (; pos < text.size(); ++pos) {
    seen |= static_cast<unsigned char>(text[pos]);
  }
  return (seen & kHighBits) == 0;
}

struct DecodedChar {
  char32_t code_point;
  std::size_t length;  // bytes taken, 1 to 4
};

// Decodes the character starting at byte `pos`. Precondition: pos is below
// text.size().
DecodedChar decode_utf8(std::string_view text, std::size_t pos) noexcept;

// Decodes the character that ends right before byte `end`, consistently with
// decoding forward from the start. Precondition: end is 1 to text.size().
DecodedChar decode_utf8_before(std::string_view text, std::size_t end) noexcept;

// True when every character of `text` is well-formed: no stray or missing
// continuation byte, no overlong form, no surrogate, nothing above U+10FFFF.
bool is_valid(std::string_view text) noexcept;

// Appends the UTF-8 form of a valid code point.
void append_utf8(std::string& out, char32_t code_point);

}  // namespace halvo::utf8
