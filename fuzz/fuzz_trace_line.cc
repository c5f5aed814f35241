// Fuzzes TraceLineReader, the reader behind PolicyEngine.replay: two lines
// taken from the input.
//
// Input: a first line, a '\n', then the line under test (without a '\n',
// the whole input is the line under test and the first is empty).
//
// The reader keeps its buffers and its event from line to line, so what it
// reads of a line must not depend on what it read before: the line under
// test, read after the first by one reader, must read exactly as it does
// through a fresh reader. Both reads are made as line 1 and as a later
// line (a byte-order mark counts on line 1 only). Whatever the bytes, the
// reader returns a line of a kind, never crashes, and a bad line carries
// its message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "halvo_runtime/trace_line.h"

namespace {

using halvo_runtime::event::json_dumps_text;
using halvo_runtime::event::TraceLine;
using halvo_runtime::event::TraceLineReader;
using halvo_runtime::event::TraceSettingEntry;

// Everything a read gives, as text: the fields by key (a reused map may
// hold its entries in another order), each value as json.dumps writes it
// (so that NaN reads as itself).
std::string describe(const TraceLine& line) {
  std::string out = std::to_string(static_cast<int>(line.kind));
  out += '|' + line.error + '|';
  if (line.kind == TraceLine::Kind::kEvent) {
    out += std::string(line.event.event_type().view()) + '|';
    out += line.timestamp ? std::to_string(*line.timestamp) : "none";
    out += '|' + line.event_error.value_or("no error") + '|';
    std::map<std::string, std::string> fields;
    for (const auto& entry : line.event.fields()) {
      fields[std::string(entry.key.view())] = json_dumps_text(entry.value);
    }
    for (const auto& [key, value] : fields) out += key + '=' + value + ';';
  }
  if (line.kind == TraceLine::Kind::kSetting) {
    for (const std::vector<TraceSettingEntry>* entries :
         {&line.config, &line.context}) {
      for (const TraceSettingEntry& entry : *entries) {
        out += std::string(entry.key.view()) + '=' +
               json_dumps_text(entry.value) + '/' + entry.error.value_or("") +
               ';';
      }
      out += '|';
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const auto text = fuzz_input(data, size);
  if (!text) return 0;
  const std::size_t split = text->find('\n');
  const std::string_view first = split == std::string_view::npos
                                     ? std::string_view()
                                     : text->substr(0, split);
  const std::string_view line =
      split == std::string_view::npos ? *text : text->substr(split + 1);
  for (const bool as_first : {true, false}) {
    TraceLineReader fresh;
    const std::string alone = describe(fresh.read(line, as_first));
    TraceLineReader reused;
    reused.read(first, true);
    const std::string after = describe(reused.read(line, as_first));
    if (alone != after) std::abort();
    const TraceLine& again = fresh.read(line, as_first);
    if (describe(again) != alone) std::abort();
    if (again.kind == TraceLine::Kind::kBad && again.error.empty()) {
      std::abort();
    }
  }
  return 0;
}
