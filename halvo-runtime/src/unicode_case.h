// Unicode case mapping and white-space trimming of UTF-8 text.
//
// to_upper and to_lower apply the full case mappings of the Unicode
// character database (one code point may become several: "straße" becomes
// "STRASSE"), with no language-specific rule. to_lower also applies the
// Final_Sigma context: a capital sigma that follows a cased letter (case-
// ignorable characters in between are skipped) and is not followed by one
// becomes the final small sigma. trim removes White_Space characters from
// both ends. The tables come from tools/gen_unicode_tables.py.
//
//   std::string upper = unicode::to_upper("straße");    // "STRASSE"
//   std::string lower = unicode::to_lower("ΟΔΟΣ");      // "οδος" with final ς
//   std::string_view t = unicode::trim("\u3000 a \n");  // "a"
//
// Bytes that are not well-formed UTF-8 are copied through unchanged and
// count as neither cased nor case-ignorable nor white space. The returned
// view of trim points into the argument.
#pragma once

#include <string>
#include <string_view>

namespace halvo_runtime::unicode {

std::string to_upper(std::string_view text);
std::string to_lower(std::string_view text);
std::string_view trim(std::string_view text) noexcept;

}  // namespace halvo_runtime::unicode
