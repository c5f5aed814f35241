#include "unicode_case.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "halvo/utf8.h"

namespace halvo_runtime::unicode {
namespace {

using halvo::utf8::append_utf8;
using halvo::utf8::decode_utf8;
using halvo::utf8::decode_utf8_before;
using halvo::utf8::DecodedChar;
using halvo::utf8::kInvalidCodePoint;

// Maps first, first + stride, ... up to last to code point + delta; the code
// points a stride skips have no mapping in the same table.
struct CaseRange {
  char32_t first;
  char32_t last;
  std::uint8_t stride;
  std::int32_t delta;
};

// One code point whose mapping is several code points.
struct CaseExpansion {
  char32_t code_point;
  std::uint8_t length;
  char32_t mapped[3];
};

struct CodeRange {
  char32_t first;
  char32_t last;
};

#include "unicode_tables.inc"

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kFinalSigma = 0x03C2;

// kInvalidCodePoint lies above every table entry, so a malformed byte is
// never cased, case-ignorable or white space.
bool in_ranges(std::span<const CodeRange> ranges, char32_t cp) noexcept {
  const auto it = std::upper_bound(
      ranges.begin(), ranges.end(), cp,
      [](char32_t c, const CodeRange& r) { return c < r.first; });
  return it != ranges.begin() && cp <= std::prev(it)->last;
}

bool is_cased(char32_t cp) noexcept { return in_ranges(kCased, cp); }
bool is_case_ignorable(char32_t cp) noexcept {
  return in_ranges(kCaseIgnorable, cp);
}
bool is_white_space(char32_t cp) noexcept { return in_ranges(kWhiteSpace, cp); }

// Appends the mapping of the character `ch` found at byte `pos` of `text`
// by one direction's tables; a malformed byte is copied as it is.
void append_mapped(std::string& out, std::string_view text, std::size_t pos,
                   DecodedChar ch, std::span<const CaseRange> ranges,
                   std::span<const CaseExpansion> expansions) {
  const char32_t cp = ch.code_point;
  if (cp == kInvalidCodePoint) {
    out.push_back(text[pos]);
    return;
  }
  const auto expansion = std::lower_bound(
      expansions.begin(), expansions.end(), cp,
      [](const CaseExpansion& e, char32_t c) { return e.code_point < c; });
  if (expansion != expansions.end() && expansion->code_point == cp) {
    for (std::uint8_t i = 0; i < expansion->length; ++i) {
      append_utf8(out, expansion->mapped[i]);
    }
    return;
  }
  const auto range = std::upper_bound(
      ranges.begin(), ranges.end(), cp,
      [](char32_t c, const CaseRange& r) { return c < r.first; });
  if (range != ranges.begin()) {
    const CaseRange& r = *std::prev(range);
    if (cp <= r.last && (cp - r.first) % r.stride == 0) {
      append_utf8(
          out, static_cast<char32_t>(static_cast<std::int64_t>(cp) + r.delta));
      return;
    }
  }
  append_utf8(out, cp);
}

// True when the capital sigma that ends right before `pos` is not followed
// by a cased letter, case-ignorable characters skipped.
bool no_cased_letter_follows(std::string_view text, std::size_t pos) noexcept {
  while (pos < text.size()) {
    const DecodedChar ch = decode_utf8(text, pos);
    if (!is_case_ignorable(ch.code_point)) return !is_cased(ch.code_point);
    pos += ch.length;
  }
  return true;
}

// --- ASCII fast paths --------------------------------------------------------
//
// Most texts a policy maps or trims (tool names, hosts, commands) are ASCII.
// For ASCII the full mappings change only the 26 letters, no ASCII letter
// expands, final sigma cannot occur, and the ASCII White_Space characters
// are U+0009 to U+000D and U+0020, so these paths give exactly the results
// of the table-driven ones.

using halvo::utf8::is_ascii;

// Maps the letters first..first+25 by `delta`, leaving every other byte.
std::string map_ascii_letters(std::string_view text, char first, int delta) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c - first) < 26) {
      c = static_cast<char>(c + delta);
    }
  }
  return out;
}

bool is_ascii_white_space(unsigned char byte) noexcept {
  return byte == ' ' || (byte >= '\t' && byte <= '\r');
}

}  // namespace

std::string to_upper(std::string_view text) {
  if (is_ascii(text)) return map_ascii_letters(text, 'a', 'A' - 'a');
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const DecodedChar ch = decode_utf8(text, pos);
    append_mapped(out, text, pos, ch, kUpperRanges, kUpperExpansions);
    pos += ch.length;
  }
  return out;
}

std::string to_lower(std::string_view text) {
  if (is_ascii(text)) return map_ascii_letters(text, 'A', 'a' - 'A');
  std::string out;
  out.reserve(text.size());
  // Whether the last character that is not case-ignorable was cased: the
  // look-behind half of the final-sigma condition, kept while scanning.
  bool after_cased = false;
  for (std::size_t pos = 0; pos < text.size();) {
    const DecodedChar ch = decode_utf8(text, pos);
    if (ch.code_point == kCapitalSigma && after_cased &&
        no_cased_letter_follows(text, pos + ch.length)) {
      append_utf8(out, kFinalSigma);
    } else {
      append_mapped(out, text, pos, ch, kLowerRanges, kLowerExpansions);
    }
    if (!is_case_ignorable(ch.code_point))
      after_cased = is_cased(ch.code_point);
    pos += ch.length;
  }
  return out;
}

std::string_view trim(std::string_view text) noexcept {
  // An ASCII byte is a character of its own at either end, so it is tested
  // without decoding; only the other bytes go through the tables.
  std::size_t begin = 0;
  while (begin < text.size()) {
    const auto byte = static_cast<unsigned char>(text[begin]);
    if (byte < 0x80) {
      if (!is_ascii_white_space(byte)) break;
      ++begin;
      continue;
    }
    const DecodedChar ch = decode_utf8(text, begin);
    if (!is_white_space(ch.code_point)) break;
    begin += ch.length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const auto byte = static_cast<unsigned char>(text[end - 1]);
    if (byte < 0x80) {
      if (!is_ascii_white_space(byte)) break;
      --end;
      continue;
    }
    const DecodedChar ch = decode_utf8_before(text, end);
    if (!is_white_space(ch.code_point)) break;
    end -= ch.length;
  }
  return text.substr(begin, end - begin);
}

}  // namespace halvo_runtime::unicode
