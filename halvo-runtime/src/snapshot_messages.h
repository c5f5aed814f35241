// The reasons for which read_snapshot refuses a snapshot, each written by
// one function here. The binding shows them after "Invalid snapshot: ".
//
//   fail(checksum_mismatch_reason());
//   // "checksum mismatch (the data is corrupted)"
//
// The first group concerns the envelope (magic, version, length, checksum,
// flags, policy), the last the signature and the limits of the reader; the
// "malformed: ..." reasons concern a body whose checksum was right, which only
// a crafted snapshot has. Only memory exhaustion throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace halvo_runtime::engine {

// "not a snapshot (bad magic bytes)"
std::string bad_magic_reason();
// "truncated: 20 bytes, a snapshot has at least 40" (from_header false) or
// "truncated: 100 bytes, the header says 120".
std::string truncated_reason(std::size_t size, std::uint64_t expected,
                             bool from_header);
// "unsupported format version 2 (this engine reads version 1)"
std::string unsupported_version_reason(std::uint32_t version);
// "trailing bytes: 130 bytes, the header says 120"
std::string trailing_bytes_reason(std::size_t size, std::uint64_t length);
// "checksum mismatch (the data is corrupted)"
std::string checksum_mismatch_reason();
// "unknown flags 4"
std::string unknown_flags_reason(std::uint32_t flags);
// "made for another policy (policy fingerprint differs)"
std::string other_policy_reason();

// "malformed: the data ends early"
std::string snapshot_ends_early_reason();
// "malformed: a list of 9999 elements in 12 bytes"
std::string count_too_large_reason(std::string_view what, std::uint64_t count,
                                   std::size_t remaining);
// "malformed: a key that is not valid UTF-8"
std::string text_not_utf8_reason(std::string_view what);
// "malformed: bool byte 2"
std::string bad_bool_reason(std::uint8_t byte);
// "malformed: values nested more than 1000 deep"
std::string nested_too_deeply_reason();
// "malformed: unknown value tag 9"
std::string bad_value_tag_reason(std::uint8_t tag);
// "malformed: duplicate key 'k' in the context"
std::string duplicate_key_reason(std::string_view where, std::string_view key);
// "malformed: 3 machines, the policy has 2"
std::string machine_count_reason(std::uint64_t found, std::uint64_t expected);
// "malformed: state 7 is not a state of machine 0"
std::string unknown_state_reason(std::size_t machine, std::uint32_t state);
// "malformed: 2 rate limiters, the policy has 1"
std::string limiter_count_reason(std::uint64_t found, std::uint64_t expected);
// "malformed: rate limiter 0 is for 'x', the policy's for 'y'"
std::string limiter_target_reason(std::size_t index, std::string_view found,
                                  std::string_view expected);
// "malformed: the window of 'x' is not in ascending order"
std::string window_unordered_reason(std::string_view target);
// "malformed: 5 bytes after the state"
std::string trailing_body_reason(std::size_t count);

// "the snapshot is signed; restore it with the key it was signed with"
std::string signed_without_key_reason();
// "the snapshot is not signed, and a key was given (...)"
std::string unsigned_with_key_reason();
// "signature mismatch (the data was changed, or signed with another key)"
std::string signature_mismatch_reason();
// "the state would take 9000 bytes of memory, more than the limit of 4000
// (max_bytes)"
std::string too_large_in_memory_reason(std::size_t bytes, std::size_t limit);
// "values nested 500 levels deep, more than this thread's stack has room
// for" (the binding says what to do about it)
std::string too_deep_for_stack_reason(std::size_t depth);

}  // namespace halvo_runtime::engine
