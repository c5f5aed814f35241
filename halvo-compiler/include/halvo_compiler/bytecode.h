// The .halvoc container: a 12-byte little-endian header and a JSON payload.
//
//   offset 0  u32 magic 0x015C91AE (bytes AE 91 5C 01)
//   offset 4  u16 version, only 1 is accepted
//   offset 6  u16 reserved, not interpreted
//   offset 8  u32 payload length N
//   offset 12 N bytes of UTF-8 JSON holding one CompiledPolicy
// Bytes after the payload are ignored.
//
//   std::string bytes = bytecode::write_container(write_policy_json(policy));
//   auto r = bytecode::from_bytecode(bytes);
//   if (!r) return r.error().text();   // e.g. "I/O error: failed to fill
//                                      //       whole buffer"
//
// The header is checked field by field while it is read, so an error names
// the first field that fails. The declared length is never trusted for
// allocation. Neither reader throws on bad input; only memory exhaustion
// throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "halvo/result.h"
#include "halvo_compiler/ir/policy.h"
#include "halvo_compiler/policy_reader.h"

namespace halvo_compiler::bytecode {

inline constexpr std::uint32_t kMagic = 0x015C91AE;
inline constexpr std::uint16_t kVersion = 1;
inline constexpr std::size_t kHeaderSize = 12;

struct BytecodeError {
  enum class Kind : std::uint8_t {
    Io,
    Serialization,
    BadMagic,
    UnsupportedVersion
  };
  Kind kind = Kind::Io;
  // Io: the I/O error's text ("failed to fill whole buffer", or the system's
  // description followed by " (os error {code})"). Serialization: the JSON
  // read error's full text. Empty for the other kinds.
  std::string detail;
  std::uint16_t found_version = 0;  // UnsupportedVersion only
  // Serialization only: the JSON read error, whose line, column and path
  // count within the payload.
  ReadError read_error{};

  // Returns the display text, e.g. "not a valid .halvoc file (bad magic
  // bytes)" or "unsupported format version 2 (expected 1)".
  std::string text() const;
};

// The largest payload a container can declare.
inline constexpr std::size_t kMaxPayload = 0xFFFFFFFF;

// Writes a version-1 container around `json_payload` (reserved field 0).
// Precondition: json_payload.size() <= kMaxPayload. Only memory exhaustion
// throws.
std::string write_container(std::string_view json_payload);

// Reads a container held in memory. The bytes are borrowed for the call.
// `skipped`, when given, receives the keys the JSON reader passed over.
halvo::Result<ir::CompiledPolicy, BytecodeError> from_bytecode(
    std::string_view bytes, std::vector<SkippedKey>* skipped = nullptr);

// Reads a container from the start of the file at `path`; the file is open
// only during the call.
halvo::Result<ir::CompiledPolicy, BytecodeError> read_file(
    const std::string& path, std::vector<SkippedKey>* skipped = nullptr);

}  // namespace halvo_compiler::bytecode
