// TraceReplay: a recorded session (JSON Lines) run through an engine line
// by line, as the package's Python replay runs it, with the counts of what
// it decided.
//
// Each line is read by TraceLineReader straight into an event or a setting.
// A setting line sets configuration, then context, key by key; an event is
// evaluated at its recorded time (the wall clock when it has none), and the
// engine is reset to the first event's recorded time before that event, so
// the machines start where the session started. A bad line is counted with
// its number (from 1) and its text, and skipped. The trace arrives in
// blocks of any size; a line may span blocks.
//
//   TraceReplay replay(engine, /*keep_results=*/false);
//   replay.feed(block);                 // as often as there are blocks
//   replay.finish();                    // the last line, if unterminated
//   replay.summary().events;            // events evaluated
//
// The engine is the caller's, who holds its lock for the whole replay.
// Nothing throws except std::bad_alloc.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "halvo/small_string.h"
#include "halvo_runtime/policy_engine.h"
#include "halvo_runtime/policy_result.h"
#include "halvo_runtime/trace_line.h"

namespace halvo_runtime::engine {

struct ReplayBadLine {
  std::uint64_t line;
  std::string error;
};

struct ReplaySummary {
  std::uint64_t events = 0;
  // Events per verdict, indexed by the Verdict's value.
  std::array<std::uint64_t, 4> verdicts{};
  // Rule id to the events it fired on, in id order.
  std::map<std::uint32_t, std::uint64_t> rules;
  // Invariant name, and constraint target, to the events that reported it,
  // in the order they were first reported.
  std::vector<std::pair<halvo::SmallString, std::uint64_t>> invariants;
  std::vector<std::pair<halvo::SmallString, std::uint64_t>> limits;
  std::vector<ReplayBadLine> bad_lines;
};

// Where an evaluated event came from: its line, type and recorded time.
struct ReplayedEvent {
  std::uint64_t line;
  halvo::SmallString type;
  std::optional<std::uint64_t> timestamp;
};

// A configuration or context value set by the replay: how deep it is
// nested and how deep the value it replaced was (for the binding's stack
// guard, which keeps count of the depths the engine holds).
struct ReplayHeldChange {
  std::size_t depth;
  bool replacing;
  std::size_t replaced_depth;
};

class TraceReplay {
 public:
  // `max_nesting`, `trailing_comma_messages` and `field_use`: as
  // TraceLineReader takes them.
  TraceReplay(PolicyEngine& engine, bool keep_results, int max_nesting = 990,
              bool trailing_comma_messages = false,
              const event::EventFieldUse* field_use = nullptr)
      : engine_(engine),
        keep_results_(keep_results),
        reader_(max_nesting, trailing_comma_messages, field_use) {}

  // Replays the complete lines of `block`; an unterminated last line waits
  // for the next block or finish().
  void feed(std::string_view block);
  // Replays the last line if the trace did not end with '\n'.
  void finish();

  const ReplaySummary& summary() const noexcept { return summary_; }
  // One result per evaluated event, and where it came from, when kept.
  const std::vector<PolicyResult>& results() const noexcept { return results_; }
  const std::vector<ReplayedEvent>& events() const noexcept { return events_; }
  const std::vector<ReplayHeldChange>& held_changes() const noexcept {
    return held_changes_;
  }

 private:
  void replay_line(std::string_view raw);
  void bad(std::string error);
  bool set_entries(std::vector<event::TraceSettingEntry>& entries, bool config);
  void count(const PolicyResult& result);

  PolicyEngine& engine_;
  bool keep_results_;
  event::TraceLineReader reader_;
  std::uint64_t line_ = 0;
  bool started_ = false;
  std::string pending_;  // the start of a line that spans blocks
  PolicyResult result_;
  ReplaySummary summary_;
  std::vector<PolicyResult> results_;
  std::vector<ReplayedEvent> events_;
  std::vector<ReplayHeldChange> held_changes_;
};

}  // namespace halvo_runtime::engine
