#include "snapshot_messages.h"

#include "halvo_runtime/snapshot.h"

namespace halvo_runtime::engine {
namespace {

std::string number(std::uint64_t value) { return std::to_string(value); }

std::string malformed(std::string_view detail) {
  std::string text = "malformed: ";
  text.append(detail);
  return text;
}

}  // namespace

std::string bad_magic_reason() { return "not a snapshot (bad magic bytes)"; }

std::string truncated_reason(std::size_t size, std::uint64_t expected,
                             bool from_header) {
  return "truncated: " + number(size) +
         (from_header ? " bytes, the header says "
                      : " bytes, a snapshot has at least ") +
         number(expected);
}

std::string unsupported_version_reason(std::uint32_t version) {
  return "unsupported format version " + number(version) +
         " (this engine reads version " + number(kSnapshotVersion) + ")";
}

std::string trailing_bytes_reason(std::size_t size, std::uint64_t length) {
  return "trailing bytes: " + number(size) + " bytes, the header says " +
         number(length);
}

std::string checksum_mismatch_reason() {
  return "checksum mismatch (the data is corrupted)";
}

std::string unknown_flags_reason(std::uint32_t flags) {
  return "unknown flags " + number(flags);
}

std::string other_policy_reason() {
  return "made for another policy (policy fingerprint differs)";
}

std::string snapshot_ends_early_reason() {
  return malformed("the data ends early");
}

std::string count_too_large_reason(std::string_view what, std::uint64_t count,
                                   std::size_t remaining) {
  return malformed(std::string("a ").append(what)) + " of " + number(count) +
         " elements in " + number(remaining) + " bytes";
}

std::string text_not_utf8_reason(std::string_view what) {
  return malformed(std::string("a ").append(what)) + " that is not valid UTF-8";
}

std::string bad_bool_reason(std::uint8_t byte) {
  return malformed("bool byte " + number(byte));
}

std::string nested_too_deeply_reason() {
  return malformed("values nested more than " + number(kMaxSnapshotDepth) +
                   " deep");
}

std::string bad_value_tag_reason(std::uint8_t tag) {
  return malformed("unknown value tag " + number(tag));
}

std::string duplicate_key_reason(std::string_view where, std::string_view key) {
  return malformed(std::string("duplicate key '")
                       .append(key)
                       .append("' in the ")
                       .append(where));
}

std::string machine_count_reason(std::uint64_t found, std::uint64_t expected) {
  return malformed(number(found) + " machines, the policy has " +
                   number(expected));
}

std::string unknown_state_reason(std::size_t machine, std::uint32_t state) {
  return malformed("state " + number(state) + " is not a state of machine " +
                   number(machine));
}

std::string limiter_count_reason(std::uint64_t found, std::uint64_t expected) {
  return malformed(number(found) + " rate limiters, the policy has " +
                   number(expected));
}

std::string limiter_target_reason(std::size_t index, std::string_view found,
                                  std::string_view expected) {
  return malformed("rate limiter " + number(index) + " is for '" +
                   std::string(found) + "', the policy's for '" +
                   std::string(expected) + "'");
}

std::string window_unordered_reason(std::string_view target) {
  return malformed("the window of '" + std::string(target) +
                   "' is not in ascending order");
}

std::string trailing_body_reason(std::size_t count) {
  return malformed(number(count) + " bytes after the state");
}

std::string signed_without_key_reason() {
  return "the snapshot is signed; restore it with the key it was signed with";
}

std::string unsigned_with_key_reason() {
  return "the snapshot is not signed, and a key was given (only snapshots "
         "signed with that key are accepted)";
}

std::string signature_mismatch_reason() {
  return "signature mismatch (the data was changed, or signed with another "
         "key)";
}

std::string too_large_in_memory_reason(std::size_t bytes, std::size_t limit) {
  return "the state would take " + number(bytes) +
         " bytes of memory, more than the limit of " + number(limit) +
         " (max_bytes)";
}

std::string too_deep_for_stack_reason(std::size_t depth) {
  return "values nested " + number(depth) +
         " levels deep, more than this thread's stack has room for";
}

}  // namespace halvo_runtime::engine
