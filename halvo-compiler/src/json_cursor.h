// JsonCursor: the token level of the policy reader.
//
// A cursor walks one JSON document forward, byte by byte, and hands out its
// tokens (strings, numbers, the words true/false/null, and the structure of
// arrays and objects) without building any document tree. It counts the
// nesting of arrays and objects and refuses to open more than kMaxNesting.
// The record readers (policy_reader.cc) drive it and build the policy model
// directly from the tokens.
//
//   JsonCursor c(text);
//   if (c.peek() == '[' && c.enter()) {
//     for (bool first = true;; first = false) {
//       JsonCursor::Step step = c.next_element(first);
//       if (step == JsonCursor::Step::kEnd) break;
//       if (step == JsonCursor::Step::kError || !c.skip_value()) break;
//     }
//   }
//   if (c.failed()) return c.error();   // e.g. "trailing comma" at 1:5
//
// Every reading method returns false (or Step::kError) on the first fault
// and records the message and position; the cursor must not be used for
// reading afterwards. Positions: an error found on a byte counts that byte
// as read; an error found after a token counts the whole token; an error at
// the end of input counts every byte. Strings handed out are views into the
// input or into the cursor's scratch buffer, valid until the next string is
// read. The input is borrowed and must outlive the cursor. Nothing throws
// except std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "halvo_compiler/read_error.h"

namespace halvo_compiler {

// A number token as written in the document.
struct JsonNumber {
  std::string_view text;        // exactly as written
  bool integer = true;          // written without fraction or exponent
  bool negative = false;        // written with a leading '-'
  bool fits_u64 = true;         // integer whose magnitude fits 64 bits
  std::uint64_t magnitude = 0;  // integer magnitude, when fits_u64
  double value = 0;             // nearest double, for non-integers only
};

class JsonCursor {
 public:
  static constexpr int kEnd = -1;

  // Outcome of stepping through an array or object.
  enum class Step { kItem, kEnd, kError };

  explicit JsonCursor(std::string_view input) noexcept;

  // Skips whitespace and returns the next byte without consuming it, or kEnd
  // at the end of input.
  int peek() noexcept;

  // Consumes the '[' or '{' at the cursor and counts one nesting level.
  // Fails with "recursion limit exceeded" when kMaxNesting are open.
  bool enter();
  // Closes a level opened by enter(); call after the closing bracket.
  void leave() noexcept { --depth_; }

  // Advances to the next key of an object opened by enter(), or past its
  // closing '}' (kEnd). `first` is true for the first call on the object.
  // On kItem `key` holds the decoded key and the ':' is not yet consumed.
  Step next_key(bool first, std::string_view& key);
  // Consumes the ':' after a key.
  bool colon();
  // Advances to the next element of an array opened by enter() (kItem,
  // the cursor is then at the element), or past its closing ']' (kEnd).
  Step next_element(bool first);
  // Ends an array that must hold no more elements: consumes its ']' or
  // fails with "trailing characters" (or a syntax error).
  bool close_full_array();
  // Ends an object that must hold no more keys (a variant object): consumes
  // its '}' or fails with "expected value".
  bool close_variant_object();

  // Reads the string at the cursor (which must be at its '"').
  bool read_string(std::string_view& out);
  // Reads the number at the cursor (at '-' or a digit). Non-integers get
  // their value; one beyond the range of a double fails with "number out of
  // range".
  bool read_number(JsonNumber& out);
  // Reads the word true, false or null whose first letter is at the cursor.
  // `word` is the whole expected word.
  bool read_word(std::string_view word);
  // Reads any value at the cursor and drops it (still checking it fully).
  bool skip_value();

  // Reads the value at the cursor and fails with "invalid type: {what it
  // is}, expected {expected}" (or with the syntax error found on the way).
  // Always returns false.
  bool fail_invalid_type(std::string_view expected);

  // Fails at the current position (every byte so far counted as read).
  bool fail(std::string message);
  // Fails counting the byte at the cursor as read.
  bool fail_at_next(std::string message);

  // The nearest double of an integer token (exact text); fails with "number
  // out of range" when the integer is beyond every double.
  bool integer_to_double(const JsonNumber& number, double& out);

  bool failed() const noexcept { return failed_; }
  // The recorded error with its line and column. Precondition: failed().
  ReadError error() const;

 private:
  bool read_escaped_string(const char* begin, const char* p, bool non_ascii,
                           std::string_view& out);
  bool read_hex_escape(const char*& p, std::uint32_t& unit);
  bool fail_at_offset(std::size_t offset, std::string message);
  bool close_string(const char* begin, const char* quote, bool non_ascii);
  Step next_in_container(bool first, char close, std::string (*eof_message)(),
                         std::string (*comma_message)());
  bool scan_number(JsonNumber& out, bool want_value);
  bool skip_array();
  bool skip_object();

  const char* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  int depth_ = 0;
  bool failed_ = false;
  std::size_t error_offset_ = 0;
  std::string error_message_;
  std::string scratch_;  // decoded text of strings with escapes
};

}  // namespace halvo_compiler
