// Reading a CompiledPolicy from its JSON form.
//
// One forward pass over the text builds the records directly from the
// tokens; no intermediate document tree is made. Every malformed document
// yields a ReadError whose text() is the message followed by
// " at line {line} column {column}", e.g.
// "missing field `metadata` at line 1 column 120".
//
//   halvo::Result<ir::CompiledPolicy, ReadError> r = read_policy(text);
//   if (!r) return r.error().text();   // r.error().path: "rules[0].id"
//
// The input is borrowed for the call; the policy owns all its data. Strings
// must be valid UTF-8 ("invalid unicode code point" otherwise), so the same
// reader serves Python text and container payload bytes. Never throws on bad
// input; only memory exhaustion throws (std::bad_alloc).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "halvo/result.h"
#include "halvo_compiler/ir/policy.h"
#include "halvo_compiler/policy_schema.h"
#include "halvo_compiler/read_error.h"

namespace halvo_compiler {

// Reads a policy; when `skipped` is given, it receives the keys passed over
// in document order (on success; left as it was on failure).
halvo::Result<ir::CompiledPolicy, ReadError> read_policy(
    std::string_view json, std::vector<SkippedKey>* skipped = nullptr);

}  // namespace halvo_compiler
