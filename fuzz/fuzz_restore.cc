// Fuzzes read_snapshot, the decoder behind PolicyEngine.restore: a policy
// and a snapshot, both taken from the input.
//
// Input: the policy's JSON text, a NUL byte, a mode byte, then the snapshot
// bytes. With bit 0 of the mode set, the harness first rewrites the
// snapshot's length, fingerprint and checksum to fit, so that mutations
// reach the body instead of stopping at the checksum; otherwise the bytes
// are read as they are.
//
// Whatever the bytes, reading must fail cleanly or give a state that fits
// the policy. An accepted state is installed, written again, and must give
// back exactly the bytes it was read from (the encoding has one form per
// state); then a few events run on it, so that restored positions and
// windows are exercised.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz_input.h"
#include "halvo_compiler/policy_reader.h"
#include "halvo_runtime/event.h"
#include "halvo_runtime/policy_engine.h"
#include "halvo_runtime/snapshot.h"

namespace {

using halvo_runtime::engine::kSnapshotChecksumSize;
using halvo_runtime::engine::kSnapshotHeaderSize;
using halvo_runtime::engine::PolicyEngine;

void put_le64(std::string& bytes, std::size_t offset, std::uint64_t value) {
  for (std::size_t i = 0; i < 8; ++i) {
    bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  }
}

// The same FNV-1a as the snapshot format, kept apart on purpose: the
// harness must not trust the code it checks.
std::uint64_t checksum(std::string_view bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char byte : bytes) {
    hash ^= static_cast<unsigned char>(byte);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

void fix_envelope(std::string& bytes, const PolicyEngine& engine) {
  if (bytes.size() < kSnapshotHeaderSize + kSnapshotChecksumSize) return;
  put_le64(bytes, 16, bytes.size());
  put_le64(bytes, 24,
           halvo_runtime::engine::policy_fingerprint(engine.policy()));
  const std::size_t checked = bytes.size() - kSnapshotChecksumSize;
  put_le64(bytes, checked,
           checksum(std::string_view(bytes).substr(0, checked)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::optional<std::string_view> input = fuzz_input(data, size);
  if (!input) return 0;
  const std::size_t split = input->find('\0');
  if (split == std::string_view::npos || split + 1 >= input->size()) return 0;
  auto policy = halvo_compiler::read_policy(input->substr(0, split));
  if (!policy) return 0;
  PolicyEngine engine(std::move(policy).value());

  const auto mode = static_cast<std::uint8_t>((*input)[split + 1]);
  std::string bytes(input->substr(split + 2));
  if (mode & 1) fix_envelope(bytes, engine);

  auto state = halvo_runtime::engine::read_snapshot(bytes, engine);
  if (!state) {
    if (state.error().text().empty()) __builtin_trap();
    return 0;
  }
  engine.set_state(std::move(state).value());
  if (halvo_runtime::engine::write_snapshot(engine) != bytes) {
    __builtin_trap();
  }
  // Events at a few times around the restored windows and start times.
  for (const std::uint64_t when :
       {std::uint64_t{0}, std::uint64_t{1} << 40, ~std::uint64_t{0}}) {
    for (const auto& limiter : engine.rate_limiters()) {
      (void)engine.evaluate(halvo_runtime::event::Event(limiter.key, when));
    }
    (void)engine.evaluate(
        halvo_runtime::event::Event(halvo::SmallString("fuzz"), when));
  }
  (void)engine.status().text();
  return 0;
}
