#include "halvo_runtime/snapshot.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <utility>

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
  template <class T>
  void put(T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    if constexpr (std::endian::native == std::endian::big) {
      std::reverse(bytes, bytes + sizeof(T));
    }
    out_.append(bytes, sizeof(T));
  }
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

  template <class T>
  T get() {
    T value{};
    if (failed()) return value;
    if (remaining() < sizeof(T)) {
      fail(snapshot_ends_early_reason());
      return value;
    }
    char bytes[sizeof(T)];
    std::memcpy(bytes, bytes_.data() + pos_, sizeof(T));
    if constexpr (std::endian::native == std::endian::big) {
      std::reverse(bytes, bytes + sizeof(T));
    }
    std::memcpy(&value, bytes, sizeof(T));
    pos_ += sizeof(T);
    return value;
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

 private:
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
      return Value::integer(get<std::int64_t>());
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
      // Nothing is reserved: nested lists could each claim most of the
      // remaining bytes, so storage grows only with what is really read.
      const std::size_t count = get_count(kMinValueSize, "list");
      ValueList items;
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

std::uint32_t le32(std::string_view bytes, std::size_t offset) noexcept {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    value |= static_cast<std::uint32_t>(
                 static_cast<unsigned char>(bytes[offset + i]))
             << (8 * i);
  }
  return value;
}

std::uint64_t le64(std::string_view bytes, std::size_t offset) noexcept {
  return le32(bytes, offset) |
         (static_cast<std::uint64_t>(le32(bytes, offset + 4)) << 32);
}

}  // namespace

std::uint64_t policy_fingerprint(
    const halvo_compiler::ir::CompiledPolicy& policy) {
  return fnv1a(halvo_compiler::write_policy_json(policy));
}

std::string write_snapshot(const PolicyEngine& engine) {
  ByteWriter writer;
  writer.bytes().append(kSnapshotMagic);
  writer.put(kSnapshotVersion);
  writer.put<std::uint32_t>(0);  // flags
  writer.put<std::uint64_t>(0);  // the length, filled in below
  writer.put(policy_fingerprint(engine.policy()));
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
  const std::uint64_t length = bytes.size() + kSnapshotChecksumSize;
  for (std::size_t i = 0; i < 8; ++i) {
    bytes[16 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  }
  writer.put(fnv1a(bytes));
  return std::move(bytes);
}

halvo::Result<EngineState, SnapshotError> read_snapshot(
    std::string_view bytes, const PolicyEngine& engine) {
  const std::size_t magic_seen = std::min(bytes.size(), kSnapshotMagic.size());
  if (bytes.substr(0, magic_seen) != kSnapshotMagic.substr(0, magic_seen) ||
      bytes.empty()) {
    return halvo::fail(SnapshotError{bad_magic_reason()});
  }
  if (bytes.size() < kSnapshotHeaderSize + kSnapshotChecksumSize) {
    return halvo::fail(SnapshotError{truncated_reason(
        bytes.size(), kSnapshotHeaderSize + kSnapshotChecksumSize, false)});
  }
  const std::uint32_t version = le32(bytes, 8);
  if (version != kSnapshotVersion) {
    return halvo::fail(SnapshotError{unsupported_version_reason(version)});
  }
  const std::uint64_t length = le64(bytes, 16);
  if (length != bytes.size()) {
    return halvo::fail(SnapshotError{
        length < bytes.size() ? trailing_bytes_reason(bytes.size(), length)
                              : truncated_reason(bytes.size(), length, true)});
  }
  const std::size_t checked = bytes.size() - kSnapshotChecksumSize;
  if (fnv1a(bytes.substr(0, checked)) != le64(bytes, checked)) {
    return halvo::fail(SnapshotError{checksum_mismatch_reason()});
  }
  const std::uint32_t flags = le32(bytes, 12);
  if (flags != 0)
    return halvo::fail(SnapshotError{unknown_flags_reason(flags)});
  const std::uint64_t fingerprint = le64(bytes, 24);
  if (fingerprint != policy_fingerprint(engine.policy())) {
    return halvo::fail(SnapshotError{other_policy_reason()});
  }

  ByteReader reader(
      bytes.substr(kSnapshotHeaderSize, checked - kSnapshotHeaderSize));
  EngineState state = read_body(reader, engine);
  if (reader.failed()) return halvo::fail(std::move(reader).take_error());
  return state;
}

}  // namespace halvo_runtime::engine
