// Reading a CompiledPolicy from its JSON form.
//
// One forward pass over the text builds the records directly from the
// tokens; no intermediate document tree is made. Every malformed document
// yields a ReadError whose text() is the message followed by
// " at line {line} column {column}", e.g.
// "missing field `metadata` at line 1 column 120".
//
//   halvo::Result<ir::CompiledPolicy, ReadError> r = read_policy(text);
//   if (!r) return r.error().text();
//
// The input is borrowed for the call; the policy owns all its data. Strings
// must be valid UTF-8 ("invalid unicode code point" otherwise), so the same
// reader serves Python text and container payload bytes. Never throws on bad
// input; only memory exhaustion throws (std::bad_alloc).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "halvo/result.h"
#include "halvo_compiler/ir/policy.h"

namespace halvo_compiler {

// Opening the 128th nested array or object while 127 are open fails.
inline constexpr int kMaxNesting = 127;

struct ReadError {
  std::string message;   // e.g. "trailing comma"
  std::uint64_t line;    // from 1
  std::uint64_t column;  // from 1; 0 before any byte of the line was read

  // Returns "{message} at line {line} column {column}".
  std::string text() const;
};

halvo::Result<ir::CompiledPolicy, ReadError> read_policy(std::string_view json);

}  // namespace halvo_compiler
