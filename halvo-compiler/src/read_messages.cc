#include "read_messages.h"

#include <charconv>
#include <system_error>

namespace halvo_compiler::read_messages {
namespace {

void append(std::string& out, std::string_view text) { out.append(text); }
void append(std::string& out, std::uint64_t number) {
  out.append(std::to_string(number));
}

template <class... Parts>
std::string concat(const Parts&... parts) {
  std::string out;
  (append(out, parts), ...);
  return out;
}

}  // namespace

std::string eof_while_parsing_value() { return "EOF while parsing a value"; }
std::string eof_while_parsing_list() { return "EOF while parsing a list"; }
std::string eof_while_parsing_object() { return "EOF while parsing an object"; }
std::string eof_while_parsing_string() { return "EOF while parsing a string"; }
std::string expected_colon() { return "expected `:`"; }
std::string expected_list_comma_or_end() { return "expected `,` or `]`"; }
std::string expected_object_comma_or_end() { return "expected `,` or `}`"; }
std::string expected_value() { return "expected value"; }
std::string expected_ident() { return "expected ident"; }
std::string invalid_escape() { return "invalid escape"; }
std::string invalid_number() { return "invalid number"; }
std::string number_out_of_range() { return "number out of range"; }
std::string control_character_in_string() {
  return "control character (\\u0000-\\u001F) found while parsing a string";
}
std::string key_must_be_a_string() { return "key must be a string"; }
std::string lone_leading_surrogate() {
  return "lone leading surrogate in hex escape";
}
std::string unexpected_end_of_hex_escape() {
  return "unexpected end of hex escape";
}
std::string invalid_unicode_code_point() {
  return "invalid unicode code point";
}
std::string trailing_comma() { return "trailing comma"; }
std::string trailing_characters() { return "trailing characters"; }
std::string recursion_limit_exceeded() { return "recursion limit exceeded"; }

std::string missing_field(std::string_view name) {
  return concat("missing field `", name, "`");
}

std::string duplicate_field(std::string_view name) {
  return concat("duplicate field `", name, "`");
}

std::string invalid_length(std::uint64_t length, std::string_view expected) {
  return concat("invalid length ", length, ", expected ", expected);
}

std::string unknown_variant(std::string_view name,
                            std::span<const std::string_view> alternatives) {
  std::string out = concat("unknown variant `", name, "`, expected ");
  if (alternatives.size() == 2) {
    return concat(out, "`", alternatives[0], "` or `", alternatives[1], "`");
  }
  out.append("one of ");
  for (std::size_t i = 0; i < alternatives.size(); ++i) {
    if (i > 0) out.append(", ");
    out.append(concat("`", alternatives[i], "`"));
  }
  return out;
}

std::string invalid_type(std::string_view unexpected,
                         std::string_view expected) {
  return concat("invalid type: ", unexpected, ", expected ", expected);
}

std::string invalid_value(std::string_view unexpected,
                          std::string_view expected) {
  return concat("invalid value: ", unexpected, ", expected ", expected);
}

std::string unexpected_boolean(bool value) {
  return concat("boolean `", value ? "true" : "false", "`");
}

std::string unexpected_integer(std::string_view text) {
  return concat("integer `", text, "`");
}

std::string unexpected_float(double value) {
  // Fixed notation keeps the text free of exponents, as the number would be
  // written out in full; the buffer holds the longest such text (about 330
  // characters for the smallest subnormal).
  char buffer[400];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                    std::chars_format::fixed);
  std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const bool has_fraction = text.find('.') != std::string_view::npos;
  return concat("floating point `", text, has_fraction ? "" : ".0", "`");
}

std::string unexpected_string(std::string_view value) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "string \"";
  for (const char ch : value) {
    const auto byte = static_cast<unsigned char>(ch);
    switch (byte) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\0':
        out.append("\\0");
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          out.append("\\u{");
          if (byte >= 0x10) out.push_back(kHex[byte >> 4]);
          out.push_back(kHex[byte & 0xF]);
          out.push_back('}');
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string unexpected_null() { return "null"; }
std::string unexpected_sequence() { return "sequence"; }
std::string unexpected_map() { return "map"; }
std::string unexpected_unit_variant() { return "unit variant"; }

std::string expected_struct(std::string_view record) {
  return concat("struct ", record);
}

std::string expected_struct_with(std::string_view record, std::size_t fields) {
  return concat("struct ", record, " with ", std::uint64_t{fields},
                " elements");
}

std::string expected_struct_variant(std::string_view enumeration,
                                    std::string_view variant) {
  return concat("struct variant ", enumeration, "::", variant);
}

std::string expected_struct_variant_with(std::string_view enumeration,
                                         std::string_view variant,
                                         std::size_t fields) {
  return concat("struct variant ", enumeration, "::", variant, " with ",
                std::uint64_t{fields}, " elements");
}

std::string_view expected_string_text() { return "a string"; }
std::string_view expected_sequence_text() { return "a sequence"; }
std::string_view expected_pair_text() { return "a tuple of size 2"; }
std::string_view expected_boolean_text() { return "a boolean"; }
std::string_view expected_unit_text() { return "unit"; }
std::string_view expected_newtype_variant_text() { return "newtype variant"; }
std::string_view expected_struct_variant_text() { return "struct variant"; }
std::string_view expected_u32_text() { return "u32"; }
std::string_view expected_u64_text() { return "u64"; }
std::string_view expected_i64_text() { return "i64"; }
std::string_view expected_f64_text() { return "f64"; }

std::string positioned(std::string_view message, std::uint64_t line,
                       std::uint64_t column) {
  return concat(message, " at line ", line, " column ", column);
}

std::string input_too_short() { return "failed to fill whole buffer"; }

std::string os_error(int code) {
  return concat(std::generic_category().message(code), " (os error ",
                static_cast<std::uint64_t>(code), ")");
}

std::string io_error(std::string_view detail) {
  return concat("I/O error: ", detail);
}

std::string serialization_error(std::string_view detail) {
  return concat("serialization error: ", detail);
}

std::string bad_magic() { return "not a valid .halvoc file (bad magic bytes)"; }

std::string unsupported_version(std::uint16_t found, std::uint16_t expected) {
  return concat("unsupported format version ", std::uint64_t{found},
                " (expected ", std::uint64_t{expected}, ")");
}

}  // namespace halvo_compiler::read_messages
