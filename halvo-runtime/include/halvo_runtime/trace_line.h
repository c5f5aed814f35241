// TraceLineReader: one line of a recorded session (JSON Lines) read
// straight into an event or a setting, or into the text of what is wrong
// with it.
//
// A trace line is an event `{"type": ..., "fields": {...}, "timestamp_ms":
// ...}` (with the keys a decision log writes beside them, read past), a
// setting `{"config": {...}, "context": {...}}`, a blank line, or a bad
// line. The reader follows the rules of the package's Python trace reader
// exactly, texts of bad lines included: the line must be UTF-8, a byte-order
// mark opens line 1 only, JSON is read as Python's json module reads it
// (NaN and Infinity, duplicate keys where the last value wins, lone
// surrogates), and its messages and columns are that module's. Values go
// into runtime Values as the binding converts the Python objects: an
// integer beyond 64 bits becomes a Float, or the String of its digits
// beyond every double; a lone surrogate in a string value becomes three
// U+FFFD. A key with a lone surrogate cannot become a runtime text: the
// event or setting entry carries the error the binding would raise.
//
//   TraceLineReader reader;
//   TraceLine& line = reader.read(raw_bytes, number == 1);
//   if (line.kind == TraceLine::Kind::kEvent) engine.evaluate(line.event, r);
//
// The line returned is the reader's own storage, reused by the next read.
// Nothing throws except std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "halvo/small_string.h"
#include "halvo_runtime/event.h"
#include "halvo_runtime/event_field_use.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::event {

// One configuration or context entry of a setting line; `error` is set when
// the value cannot be set (the text the binding's set_config would raise).
struct TraceSettingEntry {
  halvo::SmallString key;
  Value value;
  std::optional<std::string> error;
};

struct TraceLine {
  enum class Kind { kBlank, kEvent, kSetting, kBad };
  Kind kind = Kind::kBlank;
  // kEvent: the event (its timestamp 0 when `timestamp` is absent) and, when
  // its type or a field key cannot be converted, that error's text.
  Event event{halvo::SmallString(), 0};
  std::optional<std::uint64_t> timestamp;
  std::optional<std::string> event_error;
  // kSetting: the entries, configuration first, in the order they are set.
  std::vector<TraceSettingEntry> config;
  std::vector<TraceSettingEntry> context;
  // kBad: what is wrong with the line.
  std::string error;
};

class TraceLineReader {
 public:
  // `max_nesting`: the nesting of arrays and objects beyond which a line is
  // "nested too deeply", as the Python reader's recursion limit refuses it
  // (the parse recurses once per level on the caller's stack).
  // `trailing_comma_messages`: the JSON messages of Python 3.13 and later,
  // which name a trailing comma instead of expecting a value or a key.
  // `field_use`, when given, names the fields the policy reads: the others
  // are checked and left out of the event, which changes no result.
  explicit TraceLineReader(int max_nesting = 990,
                           bool trailing_comma_messages = false,
                           const EventFieldUse* field_use = nullptr) noexcept
      : max_nesting_(max_nesting),
        trailing_comma_messages_(trailing_comma_messages),
        field_use_(field_use) {}

  // Reads `raw`, one line with or without its '\n'; `first` for line 1.
  TraceLine& read(std::string_view raw, bool first);

  // The text buffers of the JSON reader: the string being decoded and the
  // key of the object at each depth.
  struct Buffers {
    std::string scratch;
    std::deque<std::string> keys;
  };

 private:
  // The JSON of a line known to be UTF-8, or opening with '{' (whose
  // strings the JSON reader checks; read() checks the rest on a failure).
  TraceLine& read_json(std::string_view raw);

  TraceLine line_;
  Buffers buffers_;
  int max_nesting_;
  bool trailing_comma_messages_;
  const EventFieldUse* field_use_;
};

// The text json.dumps gives for `value` (keys of a Map in its own order),
// for messages.
std::string json_dumps_text(const Value& value);

}  // namespace halvo_runtime::event
