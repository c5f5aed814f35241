#include "halvo_runtime/snapshot.h"

#include <algorithm>
#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "halvo/hmac_sha256.h"
#include "halvo/little_endian.h"
#include "halvo/utf8.h"
#include "halvo_compiler/policy_writer.h"
#include "snapshot_messages.h"

namespace halvo_runtime::engine {
namespace {

using event::Value;
using event::ValueList;
using event::ValueMap;
using halvo::SmallString;

constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

// Any change of a single byte changes the hash: each step is a bijection
// of the running value for a fixed byte.
std::uint64_t fnv1a(std::string_view bytes) noexcept {
  std::uint64_t hash = kFnvOffset;
  for (const char byte : bytes) {
    hash ^= static_cast<unsigned char>(byte);
    hash *= kFnvPrime;
  }
  return hash;
}

// The smallest encoding of one element, by what a count counts: a count
// larger than the remaining bytes divided by it cannot be genuine.
constexpr std::size_t kMinValueSize = 1;                  // a Null tag
constexpr std::size_t kMinEntrySize = 8 + kMinValueSize;  // empty key, Null
constexpr std::size_t kMachineSize = 4 + 8;
constexpr std::size_t kMinLimiterSize = 8 + 8;  // empty target, no entries

// --- writing -----------------------------------------------------------------

class ByteWriter {
 public:
  template <std::unsigned_integral T>
  void put(T value) {
    halvo::append_le(out_, value);
  }
  void put(std::int64_t value) { put(static_cast<std::uint64_t>(value)); }
  void put_count(std::size_t count) { put<std::uint64_t>(count); }
  void put_text(std::string_view text) {
    put_count(text.size());
    out_.append(text);
  }
  void put_value(const Value& value);
  void put_map(const ValueMap& map) {
    put_count(map.size());
    for (const auto& entry : map) {
      put_text(entry.key.view());
      put_value(entry.value);
    }
  }
  std::string& bytes() noexcept { return out_; }

 private:
  std::string out_;
};

void ByteWriter::put_value(const Value& value) {
  put(static_cast<std::uint8_t>(value.kind()));
  switch (value.kind()) {
    case Value::Kind::Null:
      return;
    case Value::Kind::Bool:
      put<std::uint8_t>(value.bool_value() ? 1 : 0);
      return;
    case Value::Kind::Int:
      put(value.int_value());
      return;
    case Value::Kind::Float:
      put(std::bit_cast<std::uint64_t>(value.float_value()));
      return;
    case Value::Kind::String:
      put_text(value.string_value().view());
      return;
    case Value::Kind::Duration:
      put(value.duration_millis());
      return;
    case Value::Kind::List:
      put_count(value.list_items().size());
      for (const Value& item : value.list_items()) put_value(item);
      return;
    case Value::Kind::Map:
      put_map(value.map_entries());
      return;
  }
}

// --- reading -----------------------------------------------------------------

// A cursor over the body that fails, rather than reads, past its end. The
// first failure is kept; later reads return zeros and change nothing.
class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) noexcept : bytes_(bytes) {}

  bool failed() const noexcept { return error_.has_value(); }
  std::size_t remaining() const noexcept { return bytes_.size() - pos_; }
  SnapshotError take_error() && { return std::move(*error_); }

  void fail(std::string reason) {
    if (!error_) error_ = SnapshotError{std::move(reason)};
  }

  template <std::unsigned_integral T>
  T get() {
    if (failed()) return 0;
    if (remaining() < sizeof(T)) {
      fail(snapshot_ends_early_reason());
      return 0;
    }
    const T value = halvo::load_le<T>(bytes_.data() + pos_);
    pos_ += sizeof(T);
    return value;
  }

  // Passes over `count` bytes, which a count read before vouched for.
  void skip(std::size_t count) noexcept {
    if (!failed()) pos_ += std::min(count, remaining());
  }

  // Passes over a text without reading it; returns its length.
  std::size_t skip_text(std::string_view what) {
    const std::size_t length = get_count(1, what);
    skip(length);
    return length;
  }

  // A count of elements of at least `min_size` bytes each; one that the
  // remaining bytes cannot hold fails, so nothing is reserved for it.
  std::size_t get_count(std::size_t min_size, std::string_view what) {
    const std::uint64_t count = get<std::uint64_t>();
    if (failed()) return 0;
    if (count > remaining() / min_size) {
      fail(count_too_large_reason(what, count, remaining()));
      return 0;
    }
    return static_cast<std::size_t>(count);
  }

  SmallString get_text(std::string_view what) {
    const std::size_t length = get_count(1, what);
    if (failed()) return SmallString();
    const std::string_view text = bytes_.substr(pos_, length);
    pos_ += length;
    if (!halvo::utf8::is_valid(text)) {
      fail(text_not_utf8_reason(what));
      return SmallString();
    }
    return SmallString(text);
  }

  Value get_value(std::size_t depth);
  ValueMap get_map(std::size_t depth, std::string_view what);

  // Set once the body was measured whole: every count is then genuine, so
  // lists and maps take exactly the storage they need.
  void trust_counts() noexcept { counts_measured_ = true; }

 private:
  bool counts_measured_ = false;
  std::string_view bytes_;
  std::size_t pos_ = 0;
  std::optional<SnapshotError> error_;
};

Value ByteReader::get_value(std::size_t depth) {
  const auto tag = get<std::uint8_t>();
  if (failed()) return Value();
  switch (tag) {
    case static_cast<std::uint8_t>(Value::Kind::Null):
      return Value();
    case static_cast<std::uint8_t>(Value::Kind::Bool): {
      const auto byte = get<std::uint8_t>();
      if (byte > 1) fail(bad_bool_reason(byte));
      return Value::boolean(byte == 1);
    }
    case static_cast<std::uint8_t>(Value::Kind::Int):
      return Value::integer(static_cast<std::int64_t>(get<std::uint64_t>()));
    case static_cast<std::uint8_t>(Value::Kind::Float):
      return Value::floating(std::bit_cast<double>(get<std::uint64_t>()));
    case static_cast<std::uint8_t>(Value::Kind::String):
      return Value::string(get_text("string"));
    case static_cast<std::uint8_t>(Value::Kind::Duration):
      return Value::duration(get<std::uint64_t>());
    case static_cast<std::uint8_t>(Value::Kind::List): {
      if (depth >= kMaxSnapshotDepth) {
        fail(nested_too_deeply_reason());
        return Value();
      }
      // Unless the body was measured whole, nothing is reserved: nested
      // lists could each claim most of the remaining bytes, so storage
      // grows only with what is really read.
      const std::size_t count = get_count(kMinValueSize, "list");
      ValueList items;
      if (counts_measured_) items.reserve(count);
      for (std::size_t i = 0; i < count && !failed(); ++i) {
        items.push_back(get_value(depth + 1));
      }
      return Value::list(std::move(items));
    }
    case static_cast<std::uint8_t>(Value::Kind::Map):
      if (depth >= kMaxSnapshotDepth) {
        fail(nested_too_deeply_reason());
        return Value();
      }
      return Value::map(get_map(depth + 1, "map"));
    default:
      fail(bad_value_tag_reason(tag));
      return Value();
  }
}

ValueMap ByteReader::get_map(std::size_t depth, std::string_view what) {
  const std::size_t count = get_count(kMinEntrySize, what);
  ValueMap map;  // grows with what is read, like a list
  if (counts_measured_) map.reserve(count);
  for (std::size_t i = 0; i < count && !failed(); ++i) {
    SmallString key = get_text("key");
    Value value = get_value(depth);
    if (failed()) break;
    if (map.contains(key.view())) {
      fail(duplicate_key_reason(what, key.view()));
      break;
    }
    map.insert_or_assign(std::move(key), std::move(value));
  }
  return map;
}

// A state number the instance can hold: inside the machine's states, or one
// the policy itself names (an initial state or a transition target outside
// the list, which the runtime skips).
bool reachable_state(const halvo_compiler::ir::StateMachine& machine,
                     std::uint32_t state) noexcept {
  if (state < machine.states.size() || state == machine.initial_state) {
    return true;
  }
  return std::any_of(machine.transitions.begin(), machine.transitions.end(),
                     [&](const auto& t) { return t.to == state; });
}

// --- measuring ---------------------------------------------------------------

// The memory the allocator takes per block beyond what was asked for, as
// the reader counts it (glibc's header and rounding on 64-bit hosts).
constexpr std::size_t kBlockOverhead = 16;

constexpr std::size_t block(std::size_t bytes) noexcept {
  return bytes + kBlockOverhead;
}

// What a body would take once built: how deep its values nest (as
// nesting_depth counts) and the bytes of memory its parts take.
struct BodyShape {
  std::size_t depth = 0;
  std::size_t bytes = 0;
  // The first malformed part met, if any; the counts are then of what came
  // before it.
  std::optional<SnapshotError> fault;
  void add(std::size_t more) noexcept {
    bytes = more > SIZE_MAX - bytes ? SIZE_MAX : bytes + more;
  }
};

std::size_t text_bytes(std::size_t length) noexcept {
  // Short texts live inside their SmallString; longer ones in a shared
  // block with a small header.
  return length <= SmallString::kInlineCapacity ? 0 : block(length + 16);
}

std::size_t map_storage_bytes(std::size_t count) noexcept {
  if (count == 0) return 0;
  std::size_t bytes = block(count * sizeof(ValueMap::Entry));
  if (count > ValueMap::kLinearLimit) {
    std::size_t slots = 16;  // as HashMap sizes its index
    while (slots < count * 2) slots *= 2;
    bytes += block(slots * sizeof(std::uint64_t));
  }
  return bytes;
}

std::size_t list_bytes(std::size_t count) noexcept {
  return block(sizeof(ValueList)) +
         (count == 0 ? 0 : block(count * sizeof(Value)));
}

// Walks one map of the body (context or configuration) and every value in
// it, without recursing and without building anything: the open lists and
// maps are a stack of counts of the elements left. Stops at the first
// malformed part it meets, `shape` counting what came before.
void measure_map(ByteReader& reader, std::string_view what, BodyShape& shape) {
  struct Open {
    std::size_t left;  // elements still to read
    bool map;          // whose elements have keys
  };
  const std::size_t count = reader.get_count(kMinEntrySize, what);
  if (reader.failed()) return;
  shape.add(map_storage_bytes(count));
  std::vector<Open> open{{count, true}};
  while (!open.empty() && !reader.failed()) {
    Open& top = open.back();
    if (top.left == 0) {
      open.pop_back();
      continue;
    }
    --top.left;
    if (top.map) shape.add(text_bytes(reader.skip_text("key")));
    const auto tag = reader.get<std::uint8_t>();
    if (reader.failed()) return;
    switch (tag) {
      case static_cast<std::uint8_t>(Value::Kind::Null):
        break;
      case static_cast<std::uint8_t>(Value::Kind::Bool):
        reader.get<std::uint8_t>();
        break;
      case static_cast<std::uint8_t>(Value::Kind::Int):
      case static_cast<std::uint8_t>(Value::Kind::Float):
      case static_cast<std::uint8_t>(Value::Kind::Duration):
        reader.get<std::uint64_t>();
        break;
      case static_cast<std::uint8_t>(Value::Kind::String):
        shape.add(text_bytes(reader.skip_text("string")));
        break;
      case static_cast<std::uint8_t>(Value::Kind::List):
      case static_cast<std::uint8_t>(Value::Kind::Map): {
        // The value opens level open.size(); the format allows
        // kMaxSnapshotDepth.
        if (open.size() > kMaxSnapshotDepth) {
          reader.fail(nested_too_deeply_reason());
          return;
        }
        const bool map = tag == static_cast<std::uint8_t>(Value::Kind::Map);
        const std::size_t elements = reader.get_count(
            map ? kMinEntrySize : kMinValueSize, map ? "map" : "list");
        if (reader.failed()) return;
        shape.add(map ? block(sizeof(ValueMap)) + map_storage_bytes(elements)
                      : list_bytes(elements));
        open.push_back({elements, map});
        shape.depth = std::max(shape.depth, open.size() - 1);
        break;
      }
      default:
        reader.fail(bad_value_tag_reason(tag));
        return;
    }
  }
}

// Measures a whole body. Its machines and windows are flat; only their
// storage is counted.
BodyShape measure_body(std::string_view body) {
  ByteReader reader(body);
  BodyShape shape;
  reader.get<std::uint64_t>();  // the event count
  const std::size_t machines = reader.get_count(kMachineSize, "machine list");
  shape.add(machines == 0 ? 0 : block(machines * sizeof(MachinePosition)));
  reader.skip(machines * kMachineSize);
  const std::size_t limiters =
      reader.get_count(kMinLimiterSize, "limiter list");
  shape.add(limiters == 0 ? 0 : block(limiters * sizeof(LimiterWindow)));
  for (std::size_t i = 0; i < limiters && !reader.failed(); ++i) {
    shape.add(text_bytes(reader.skip_text("target")));
    const std::size_t entries = reader.get_count(8, "window");
    shape.add(entries == 0 ? 0 : block(entries * sizeof(std::uint64_t)));
    reader.skip(entries * 8);
  }
  measure_map(reader, "context", shape);
  measure_map(reader, "configuration", shape);
  if (reader.failed()) shape.fault = std::move(reader).take_error();
  return shape;
}

// The body: machines, windows and maps, checked against the engine's
// policy. `reader` has failed when the body is refused.
EngineState read_body(ByteReader& reader, const PolicyEngine& engine) {
  EngineState state;
  state.event_count = reader.get<std::uint64_t>();

  const auto& instances = engine.instances();
  const std::size_t machines = reader.get_count(kMachineSize, "machine list");
  if (!reader.failed() && machines != instances.size()) {
    reader.fail(machine_count_reason(machines, instances.size()));
  }
  for (std::size_t i = 0; i < machines && !reader.failed(); ++i) {
    MachinePosition position;
    position.current_state = reader.get<std::uint32_t>();
    position.started_at = reader.get<std::uint64_t>();
    if (!reader.failed() &&
        !reachable_state(instances[i].machine(), position.current_state)) {
      reader.fail(unknown_state_reason(i, position.current_state));
    }
    state.machines.push_back(position);
  }

  const auto& policy_limiters = engine.rate_limiters();
  const std::size_t limiters =
      reader.get_count(kMinLimiterSize, "limiter list");
  if (!reader.failed() && limiters != policy_limiters.size()) {
    reader.fail(limiter_count_reason(limiters, policy_limiters.size()));
  }
  auto expected = policy_limiters.begin();
  for (std::size_t i = 0; i < limiters && !reader.failed(); ++i, ++expected) {
    LimiterWindow window;
    window.target = reader.get_text("target");
    if (!reader.failed() && window.target != expected->key) {
      reader.fail(
          limiter_target_reason(i, window.target.view(), expected->key.view()));
    }
    const std::size_t entries = reader.get_count(8, "window");
    window.timestamps.reserve(entries);
    for (std::size_t k = 0; k < entries && !reader.failed(); ++k) {
      const auto stamp = reader.get<std::uint64_t>();
      if (k > 0 && stamp < window.timestamps.back()) {
        reader.fail(window_unordered_reason(window.target.view()));
      }
      window.timestamps.push_back(stamp);
    }
    state.limiters.push_back(std::move(window));
  }

  state.context = reader.get_map(0, "context");
  state.config = reader.get_map(0, "configuration");
  if (!reader.failed() && reader.remaining() != 0) {
    reader.fail(trailing_body_reason(reader.remaining()));
  }
  return state;
}

std::uint32_t load32(std::string_view bytes, std::size_t offset) noexcept {
  return halvo::load_le<std::uint32_t>(bytes.data() + offset);
}

std::uint64_t load64(std::string_view bytes, std::size_t offset) noexcept {
  return halvo::load_le<std::uint64_t>(bytes.data() + offset);
}

std::string_view digest_view(const halvo::Digest& digest) noexcept {
  return {reinterpret_cast<const char*>(digest.data()), digest.size()};
}

// The envelope's checks after the checksum: flags, then the key against
// the signature. Returns the size of the signature the body is followed by.
halvo::Result<std::size_t, SnapshotError> check_signature(
    std::string_view bytes, std::optional<std::string_view> key) {
  const std::uint32_t flags = load32(bytes, 12);
  if ((flags & ~kSnapshotSigned) != 0) {
    return halvo::fail(SnapshotError{unknown_flags_reason(flags)});
  }
  const bool is_signed = (flags & kSnapshotSigned) != 0;
  if (!is_signed) {
    if (key) return halvo::fail(SnapshotError{unsigned_with_key_reason()});
    return std::size_t{0};
  }
  if (!key) return halvo::fail(SnapshotError{signed_without_key_reason()});
  constexpr std::size_t kSmallest =
      kSnapshotHeaderSize + kSnapshotSignatureSize + kSnapshotChecksumSize;
  if (bytes.size() < kSmallest) {
    return halvo::fail(
        SnapshotError{truncated_reason(bytes.size(), kSmallest, false)});
  }
  const std::size_t signed_part =
      bytes.size() - kSnapshotChecksumSize - kSnapshotSignatureSize;
  const halvo::Digest expected =
      halvo::hmac_sha256(*key, bytes.substr(0, signed_part));
  const auto* found =
      reinterpret_cast<const unsigned char*>(bytes.data() + signed_part);
  if (!halvo::digests_equal(expected, found)) {
    return halvo::fail(SnapshotError{signature_mismatch_reason()});
  }
  return kSnapshotSignatureSize;
}

// The body's depth and size against the limits, before it is built. A body
// that is malformed is measured up to its first fault, which the build
// then reports in the order of its own checks.
std::optional<SnapshotError> check_shape(const BodyShape& shape,
                                         const SnapshotLimits& limits) {
  if (shape.depth > limits.max_depth) {
    return SnapshotError{too_deep_for_stack_reason(shape.depth),
                         SnapshotError::Kind::TooDeep, shape.depth};
  }
  if (shape.bytes > limits.max_bytes) {
    return SnapshotError{
        too_large_in_memory_reason(shape.bytes, limits.max_bytes)};
  }
  return std::nullopt;
}

}  // namespace

std::size_t default_snapshot_max_bytes(std::size_t size) noexcept {
  return size > SIZE_MAX / kSnapshotExpansionFactor
             ? SIZE_MAX
             : size * kSnapshotExpansionFactor;
}

std::uint64_t policy_fingerprint(
    const halvo_compiler::ir::CompiledPolicy& policy) {
  return fnv1a(halvo_compiler::write_policy_json(policy));
}

std::string write_snapshot(const PolicyEngine& engine,
                           std::optional<std::string_view> key) {
  ByteWriter writer;
  writer.bytes().append(kSnapshotMagic);
  writer.put(kSnapshotVersion);
  writer.put<std::uint32_t>(key ? kSnapshotSigned : 0);  // flags
  writer.put<std::uint64_t>(0);  // the length, filled in below
  writer.put(engine.policy_fingerprint());
  writer.put(engine.event_count());
  writer.put_count(engine.instances().size());
  for (const StateMachineInstance& instance : engine.instances()) {
    writer.put(instance.current_state());
    writer.put(instance.started_at());
  }
  writer.put_count(engine.rate_limiters().size());
  for (const auto& entry : engine.rate_limiters()) {
    writer.put_text(entry.key.view());
    const auto window = entry.value.window();
    writer.put_count(window.size());
    for (const std::uint64_t stamp : window) writer.put(stamp);
  }
  writer.put_map(engine.context());
  writer.put_map(engine.config());

  std::string& bytes = writer.bytes();
  const std::uint64_t length =
      bytes.size() + kSnapshotChecksumSize + (key ? kSnapshotSignatureSize : 0);
  halvo::store_le(bytes.data() + 16, length);
  if (key) bytes.append(digest_view(halvo::hmac_sha256(*key, bytes)));
  writer.put(fnv1a(bytes));
  return std::move(bytes);
}

halvo::Result<EngineState, SnapshotError> read_snapshot(
    std::string_view bytes, const PolicyEngine& engine,
    std::optional<std::string_view> key, const SnapshotLimits& limits) {
  const std::size_t magic_seen = std::min(bytes.size(), kSnapshotMagic.size());
  if (bytes.substr(0, magic_seen) != kSnapshotMagic.substr(0, magic_seen) ||
      bytes.empty()) {
    return halvo::fail(SnapshotError{bad_magic_reason()});
  }
  if (bytes.size() < kSnapshotHeaderSize + kSnapshotChecksumSize) {
    return halvo::fail(SnapshotError{truncated_reason(
        bytes.size(), kSnapshotHeaderSize + kSnapshotChecksumSize, false)});
  }
  const std::uint32_t version = load32(bytes, 8);
  if (version != kSnapshotVersion) {
    return halvo::fail(SnapshotError{unsupported_version_reason(version)});
  }
  const std::uint64_t length = load64(bytes, 16);
  if (length != bytes.size()) {
    return halvo::fail(SnapshotError{
        length < bytes.size() ? trailing_bytes_reason(bytes.size(), length)
                              : truncated_reason(bytes.size(), length, true)});
  }
  const std::size_t checked = bytes.size() - kSnapshotChecksumSize;
  if (fnv1a(bytes.substr(0, checked)) != load64(bytes, checked)) {
    return halvo::fail(SnapshotError{checksum_mismatch_reason()});
  }
  auto signature = check_signature(bytes, key);
  if (!signature) return halvo::fail(std::move(signature).error());
  const std::uint64_t fingerprint = load64(bytes, 24);
  if (fingerprint != engine.policy_fingerprint()) {
    return halvo::fail(SnapshotError{other_policy_reason()});
  }

  const std::string_view body = bytes.substr(
      kSnapshotHeaderSize, checked - signature.value() - kSnapshotHeaderSize);
  BodyShape shape = measure_body(body);
  if (auto refused = check_shape(shape, limits)) {
    return halvo::fail(std::move(*refused));
  }
  ByteReader reader(body);
  if (!shape.fault) reader.trust_counts();
  EngineState state = read_body(reader, engine);
  if (reader.failed()) return halvo::fail(std::move(reader).take_error());
  // The build checks all that the measure does, and meets a fault first.
  if (shape.fault) return halvo::fail(std::move(*shape.fault));
  return state;
}

}  // namespace halvo_runtime::engine
