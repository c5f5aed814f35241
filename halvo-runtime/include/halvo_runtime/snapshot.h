// Snapshots: the runtime state of an engine as bytes, and back.
//
// A snapshot holds an EngineState (engine_state.h) and the fingerprint of
// the policy it belongs to, so that a host process can restart without
// losing its rate windows and machine positions. Format version 1, all
// integers little-endian:
//
//   offset 0   8 bytes  magic "CVSNAP\r\n"
//   offset 8   u32      format version (1)
//   offset 12  u32      flags: 0, or 1 (kSnapshotSigned) for a signed
//                       snapshot
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
//   signed snapshots only: 32 bytes, the HMAC-SHA256 under the host's key
//                       of every byte before it
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
// so a reader can always say which version it was given. The checksum only
// catches accidents (anyone can compute it); a host that keeps snapshots
// where others can write signs them with a key of its own, and a reader
// given a key accepts only snapshots signed with it (and a reader given
// none refuses signed ones, which it cannot check).
//
// Reading never trusts a count: each is checked against the bytes that
// remain before anything is allocated, and it never reads out of bounds.
// Before it builds anything the reader walks the body once without
// recursing and without allocating, to learn how deep its values nest and
// how much memory they would take; a body deeper than the limits'
// max_depth (the caller's stack budget) or larger than their max_bytes is
// refused then. A snapshot is checked in this order: magic, version,
// length, checksum, flags, key and signature, fingerprint, then the body:
// its depth and size, then its contents against the policy.
//
//   std::string bytes = write_snapshot(engine, key);
//   auto state = read_snapshot(bytes, engine, key, limits);
//   if (!state) return state.error().text();   // "checksum mismatch ..."
//   engine.set_state(std::move(state).value());
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
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
inline constexpr std::uint32_t kSnapshotSigned = 1;  // the flag
inline constexpr std::size_t kSnapshotSignatureSize = 32;
// The memory a restored state may take by default, as a multiple of the
// snapshot's size: no snapshot the writer makes needs more (a list of
// nulls, one byte each in the snapshot and a 32-byte value in memory, is
// the densest), and no crafted one may take more.
inline constexpr std::size_t kSnapshotExpansionFactor = 32;

// What the reader of a snapshot allows, beyond its format's own bounds.
struct SnapshotLimits {
  // The levels of nested lists and maps the caller's stack has room for.
  std::size_t max_depth = kMaxSnapshotDepth;
  // The bytes of memory the state may take, as the reader counts them (the
  // values' storage and the allocator's overhead per block).
  std::size_t max_bytes = std::numeric_limits<std::size_t>::max();
};

// kSnapshotExpansionFactor times `size`, saturated.
std::size_t default_snapshot_max_bytes(std::size_t size) noexcept;

// Why a snapshot was refused; text() is the reason shown to the user.
struct SnapshotError {
  enum class Kind {
    Invalid,  // the data, its signature or its size
    TooDeep,  // well formed so far, but nested deeper than max_depth
  };
  std::string reason;  // e.g. "checksum mismatch (the data is corrupted)"
  Kind kind = Kind::Invalid;
  std::size_t depth = 0;  // TooDeep: the levels the values nest
  const std::string& text() const noexcept { return reason; }
};

// The 64-bit FNV-1a hash of the policy's canonical JSON text: equal for
// every way of writing the same policy.
std::uint64_t policy_fingerprint(const halvo_compiler::ir::CompiledPolicy&);

// The snapshot of the engine's current state, signed with `key` when one is
// given (any length, empty included; the binding refuses empty keys). Only
// memory exhaustion throws.
std::string write_snapshot(const PolicyEngine& engine,
                           std::optional<std::string_view> key = {});

// Reads a snapshot and checks it against the engine's policy, its
// signature against `key`, and its size and depth against `limits`; the
// engine is not changed. Never throws on bad input; only memory exhaustion
// throws.
halvo::Result<EngineState, SnapshotError> read_snapshot(
    std::string_view bytes, const PolicyEngine& engine,
    std::optional<std::string_view> key = {},
    const SnapshotLimits& limits = {});

}  // namespace halvo_runtime::engine
