// The texts of every error that the policy readers report.
//
// The JSON reader (policy_reader.h) and the container reader (bytecode.h)
// build their messages only through these functions, so each text is written
// exactly once. Messages are plain strings; the JSON reader adds the position
// (" at line {line} column {column}") through positioned().
//
//   std::string m = read_messages::invalid_type(
//       read_messages::unexpected_integer("5"),
//       read_messages::expected_struct("RefPath"));
//   // "invalid type: integer `5`, expected struct RefPath"
//
// Every function returns a fresh string and may throw std::bad_alloc only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace halvo_compiler::read_messages {

// --- JSON syntax ----------------------------------------------------------

std::string eof_while_parsing_value();
std::string eof_while_parsing_list();
std::string eof_while_parsing_object();
std::string eof_while_parsing_string();
std::string expected_colon();
std::string expected_list_comma_or_end();
std::string expected_object_comma_or_end();
std::string expected_value();
std::string expected_ident();
std::string invalid_escape();
std::string invalid_number();
std::string number_out_of_range();
std::string control_character_in_string();
std::string key_must_be_a_string();
std::string lone_leading_surrogate();
std::string unexpected_end_of_hex_escape();
std::string invalid_unicode_code_point();
std::string trailing_comma();
std::string trailing_characters();
std::string recursion_limit_exceeded();

// --- schema ---------------------------------------------------------------

// "missing field `{name}`"
std::string missing_field(std::string_view name);
// "duplicate field `{name}`"
std::string duplicate_field(std::string_view name);
// "invalid length {n}, expected {expected}"
std::string invalid_length(std::uint64_t length, std::string_view expected);
// "unknown variant `{name}`, expected `A` or `B`" for two alternatives,
// "... expected one of `A`, `B`, `C`" for more.
std::string unknown_variant(std::string_view name,
                            std::span<const std::string_view> alternatives);
// "invalid type: {unexpected}, expected {expected}"
std::string invalid_type(std::string_view unexpected,
                         std::string_view expected);
// "invalid value: {unexpected}, expected {expected}"
std::string invalid_value(std::string_view unexpected,
                          std::string_view expected);

// What was found, for invalid_type() and invalid_value().
std::string unexpected_boolean(bool value);
// `text` is the integer exactly as written in the document.
std::string unexpected_integer(std::string_view text);
// Shortest round-trip decimal text, always with a fraction ("100000.0").
std::string unexpected_float(double value);
// The string double-quoted, with its quote, backslash and control
// characters escaped.
std::string unexpected_string(std::string_view value);
std::string unexpected_null();
std::string unexpected_sequence();
std::string unexpected_map();
std::string unexpected_unit_variant();

// What was expected, for the schema messages.
// "struct {record}" and "struct {record} with {fields} elements".
std::string expected_struct(std::string_view record);
std::string expected_struct_with(std::string_view record, std::size_t fields);
// "struct variant {enumeration}::{variant}" and its "with {fields}
// elements" form.
std::string expected_struct_variant(std::string_view enumeration,
                                    std::string_view variant);
std::string expected_struct_variant_with(std::string_view enumeration,
                                         std::string_view variant,
                                         std::size_t fields);
std::string_view expected_string_text();           // "a string"
std::string_view expected_sequence_text();         // "a sequence"
std::string_view expected_pair_text();             // "a tuple of size 2"
std::string_view expected_boolean_text();          // "a boolean"
std::string_view expected_unit_text();             // "unit"
std::string_view expected_newtype_variant_text();  // "newtype variant"
std::string_view expected_struct_variant_text();   // "struct variant"
std::string_view expected_u32_text();
std::string_view expected_u64_text();
std::string_view expected_i64_text();
std::string_view expected_f64_text();

// "{message} at line {line} column {column}"
std::string positioned(std::string_view message, std::uint64_t line,
                       std::uint64_t column);

// --- container ------------------------------------------------------------

// The I/O error of an input that ends before a field or the payload is
// complete: "failed to fill whole buffer".
std::string input_too_short();
// An operating-system error: "{description} (os error {code})".
std::string os_error(int code);
// "I/O error: {detail}"
std::string io_error(std::string_view detail);
// "serialization error: {detail}"
std::string serialization_error(std::string_view detail);
// "not a valid .halvoc file (bad magic bytes)"
std::string bad_magic();
// "unsupported format version {found} (expected {expected})"
std::string unsupported_version(std::uint16_t found, std::uint16_t expected);

}  // namespace halvo_compiler::read_messages
