// Snapshots: the runtime state of an engine as bytes, and back.
//
// A snapshot holds an EngineState (engine_state.h) and the fingerprint of
// the policy it belongs to, so that a host process can restart without
// losing its rate windows and machine positions. Format version 1, all
// integers little-endian:
//
//   offset 0   8 bytes  magic "CVSNAP\r\n"
//   offset 8   u32      format version (1)
//   offset 12  u32      flags, 0
//   offset 16  u64      total length of the snapshot in bytes, checksum
//                       included
//   offset 24  u64      policy fingerprint (policy_fingerprint below)
//   offset 32  body:
//     u64 event count
//     u64 machine count, then per machine in policy order:
//         u32 current state number, u64 start time (ms since the epoch)
//     u64 limiter count, then per limiter in the engine's order:
//         text target, u64 entry count, the entries as u64 in ascending order
//     map context, map configuration
//   the last 8 bytes: u64 checksum, FNV-1a (64-bit) of every byte before it
//
//   text   u64 byte length, then the UTF-8 bytes
//   map    u64 entry count, then per entry in iteration order: text key,
//          value (keys unique)
//   value  u8 kind tag, then by kind: 0 Null (nothing), 1 Bool (u8 0 or 1),
//          2 Int (i64), 3 Float (the u64 bits of the double), 4 String
//          (text), 5 Duration (u64 ms), 6 List (u64 count, the values),
//          7 Map (map); lists and maps nested at most kMaxSnapshotDepth deep
//
// The magic and the version stay at their offsets in every later version,
// so a reader can always say which version it was given. Reading never
// trusts a count: each is checked against the bytes that remain before
// anything is allocated, so no input makes the reader allocate more than a
// small multiple of its own size, read out of bounds or recurse without
// bound. A snapshot is checked in this order: magic, version, length,
// checksum, flags, fingerprint, then the body against the policy.
//
//   std::string bytes = write_snapshot(engine);
//   auto state = read_snapshot(bytes, engine);
//   if (!state) return state.error().text();   // "checksum mismatch ..."
//   engine.set_state(std::move(state).value());
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "halvo/result.h"
#include "halvo_compiler/ir/policy.h"
#include "halvo_runtime/engine_state.h"
#include "halvo_runtime/policy_engine.h"
#include "halvo_runtime/value_depth.h"

namespace halvo_runtime::engine {

inline constexpr std::string_view kSnapshotMagic{"CVSNAP\r\n", 8};
inline constexpr std::uint32_t kSnapshotVersion = 1;
inline constexpr std::size_t kSnapshotHeaderSize = 32;
inline constexpr std::size_t kSnapshotChecksumSize = 8;
// Context and configuration values come from outside, so they are at most
// as deep as the binding accepts (one level per list or map).
inline constexpr std::size_t kMaxSnapshotDepth = event::kMaxInputDepth;

// Why a snapshot was refused; text() is the reason shown to the user.
struct SnapshotError {
  std::string reason;  // e.g. "checksum mismatch (the data is corrupted)"
  const std::string& text() const noexcept { return reason; }
};

// The 64-bit FNV-1a hash of the policy's canonical JSON text: equal for
// every way of writing the same policy.
std::uint64_t policy_fingerprint(const halvo_compiler::ir::CompiledPolicy&);

// The snapshot of the engine's current state. Only memory exhaustion
// throws.
std::string write_snapshot(const PolicyEngine& engine);

// Reads a snapshot and checks it against the engine's policy; the engine is
// not changed. Never throws on bad input; only memory exhaustion throws.
halvo::Result<EngineState, SnapshotError> read_snapshot(
    std::string_view bytes, const PolicyEngine& engine);

}  // namespace halvo_runtime::engine
