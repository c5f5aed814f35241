// Fuzzes read_snapshot, the decoder behind PolicyEngine.restore: a policy
// and a snapshot, both taken from the input.
//
// Input: the policy's JSON text, a NUL byte, a mode byte, then the snapshot
// bytes. With bit 0 of the mode set, the harness first rewrites the
// snapshot's length, fingerprint and checksum to fit, so that mutations
// reach the body instead of stopping at the checksum; otherwise the bytes
// are read as they are. With bit 1 set as well, it signs the snapshot with
// a fixed key (flag and signature rewritten) and reads it with that key.
//
// Whatever the bytes, reading must fail cleanly or give a state that fits
// the policy. An accepted state is installed, written again, and must give
// back exactly the bytes it was read from (the encoding has one form per
// state); then a few events run on it, so that restored positions and
// windows are exercised.
//
// Each input is also read on a thread with a small stack (64 KiB, scaled
// up under sanitizers as the guard scales its frames), with the depth
// budget the binding's stack guard gives there (stack_guard.h), as
// restore() on a small Python thread does: the reader must refuse what does
// not fit before it builds it, and everything it builds (writing it back
// and destroying it included) must run within that stack. Its answer must
// agree with the main thread's: the same state, the same refusal, or a
// refusal for depth of a state deeper than the budget.
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "fuzz_input.h"
#include "halvo/hmac_sha256.h"
#include "halvo_compiler/policy_reader.h"
#include "halvo_runtime/event.h"
#include "halvo_runtime/policy_engine.h"
#include "halvo_runtime/snapshot.h"
#include "stack_guard.h"

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

constexpr std::string_view kKey = "fuzz key";

// Rewrites the envelope to fit; with `sign`, sets the signed flag and
// writes the signature too (when there is room for one).
void fix_envelope(std::string& bytes, const PolicyEngine& engine, bool sign) {
  using halvo_runtime::engine::kSnapshotSignatureSize;
  if (bytes.size() < kSnapshotHeaderSize + kSnapshotChecksumSize) return;
  put_le64(bytes, 16, bytes.size());
  put_le64(bytes, 24,
           halvo_runtime::engine::policy_fingerprint(engine.policy()));
  const std::size_t checked = bytes.size() - kSnapshotChecksumSize;
  if (sign && checked >= kSnapshotHeaderSize + kSnapshotSignatureSize) {
    bytes[12] = static_cast<char>(bytes[12] | 1);
    const std::size_t signed_part = checked - kSnapshotSignatureSize;
    const halvo::Digest tag = halvo::hmac_sha256(
        kKey, std::string_view(bytes).substr(0, signed_part));
    std::memcpy(bytes.data() + signed_part, tag.data(), tag.size());
  }
  put_le64(bytes, checked,
           checksum(std::string_view(bytes).substr(0, checked)));
}

// What a read gave: the state written back, or the refusal.
struct Outcome {
  bool accepted = false;
  std::string written;  // accepted: the state written again
  halvo_runtime::engine::SnapshotError error;
};

Outcome read_into(PolicyEngine& engine, std::string_view bytes,
                  std::optional<std::string_view> key,
                  const halvo_runtime::engine::SnapshotLimits& limits) {
  Outcome outcome;
  auto state = halvo_runtime::engine::read_snapshot(bytes, engine, key, limits);
  if (!state) {
    outcome.error = std::move(state).error();
    if (outcome.error.text().empty()) __builtin_trap();
    return outcome;
  }
  engine.set_state(std::move(state).value());
  outcome.accepted = true;
  outcome.written = halvo_runtime::engine::write_snapshot(engine, key);
  return outcome;
}

// One read on a thread of its own with a small stack; the engine is the
// caller's, used by this thread alone until it is joined.
struct SmallStackRead {
  PolicyEngine* engine;
  std::string_view bytes;
  std::optional<std::string_view> key;
  std::size_t max_bytes;
  halvo_runtime::engine::EngineState blank;  // the engine's state before
  std::size_t budget = 0;
  Outcome outcome;
};

void* read_on_small_stack(void* argument) {
  auto* job = static_cast<SmallStackRead*>(argument);
  job->budget = corvanth_core::stack_depth_budget();
  halvo_runtime::engine::SnapshotLimits limits;
  limits.max_depth = job->budget;
  limits.max_bytes = job->max_bytes;
  job->outcome = read_into(*job->engine, job->bytes, job->key, limits);
  // The restored state is replaced, and so destroyed, on this thread too.
  job->engine->set_state(std::move(job->blank));
  return nullptr;
}

// 64 KiB of a normal build's frames: more under sanitizers, whose frames
// the stack guard counts larger, so that the budget is some tens of levels
// in either build.
constexpr std::size_t kSmallStack = 64 * 1024 * corvanth_core::kFrameGrowth;

void run_on_small_stack(SmallStackRead& job) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kSmallStack);
  pthread_t thread;
  if (pthread_create(&thread, &attributes, &read_on_small_stack, &job) != 0) {
    __builtin_trap();
  }
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

// The small stack's answer against the main thread's.
void check_agreement(const Outcome& main, const SmallStackRead& small) {
  using Kind = halvo_runtime::engine::SnapshotError::Kind;
  const Outcome& other = small.outcome;
  if (!other.accepted && other.error.kind == Kind::TooDeep) {
    if (other.error.depth <= small.budget) __builtin_trap();
    return;
  }
  if (main.accepted != other.accepted) __builtin_trap();
  if (main.accepted ? main.written != other.written
                    : main.error.text() != other.error.text()) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::optional<std::string_view> input = fuzz_input(data, size);
  if (!input) return 0;
  const FuzzParts parts = split_at_nul(*input);
  if (!parts.rest || parts.rest->empty()) return 0;
  auto policy = halvo_compiler::read_policy(parts.policy);
  if (!policy) return 0;
  PolicyEngine engine(std::move(policy).value());

  const auto mode = static_cast<std::uint8_t>(parts.rest->front());
  std::string bytes(parts.rest->substr(1));
  const bool sign = (mode & 3) == 3;
  if (mode & 1) fix_envelope(bytes, engine, sign);
  const std::optional<std::string_view> key =
      sign ? std::optional<std::string_view>(kKey) : std::nullopt;
  halvo_runtime::engine::SnapshotLimits limits;
  limits.max_bytes =
      halvo_runtime::engine::default_snapshot_max_bytes(bytes.size());

  auto blank = halvo_runtime::engine::read_snapshot(
      halvo_runtime::engine::write_snapshot(engine), engine);
  if (!blank) __builtin_trap();
  SmallStackRead small{
      &engine, bytes, key, limits.max_bytes, std::move(blank).value(), 0, {}};
  run_on_small_stack(small);
  const Outcome outcome = read_into(engine, bytes, key, limits);
  check_agreement(outcome, small);
  if (!outcome.accepted) return 0;
  if (outcome.written != bytes) __builtin_trap();
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
