// Writing a CompiledPolicy back as JSON, in its one canonical form.
//
// The canonical form is compact JSON (no whitespace) with every record in
// object form, its keys in declared order and every optional field written
// (null when it holds nothing); no unknown keys; enumeration values as bare
// names, or an object with one key when they carry a payload; floats in
// their shortest round-trip form. Reading the text back gives an equal
// policy, and writing that policy gives the same text:
//
//   std::string json = write_policy_json(policy);
//   auto again = read_policy(json);
//   assert(write_policy_json(again.value()) == json);
//
// Whatever form the policy was read from (array forms, {"Deny": null},
// extra keys, integers for floats), its canonical text is the same. Never
// fails; only memory exhaustion throws (std::bad_alloc).
#pragma once

#include <string>

#include "halvo_compiler/ir/policy.h"

namespace halvo_compiler {

std::string write_policy_json(const ir::CompiledPolicy& policy);

}  // namespace halvo_compiler
