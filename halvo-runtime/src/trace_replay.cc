#include "halvo_runtime/trace_replay.h"

#include <algorithm>

#include "halvo_runtime/clock.h"
#include "halvo_runtime/value_depth.h"

namespace halvo_runtime::engine {

using event::TraceLine;

void TraceReplay::feed(std::string_view block) {
  while (!block.empty()) {
    const std::size_t end = block.find('\n');
    if (end == std::string_view::npos) {
      pending_.append(block);
      return;
    }
    if (pending_.empty()) {
      replay_line(block.substr(0, end + 1));
    } else {
      pending_.append(block.substr(0, end + 1));
      replay_line(pending_);
      pending_.clear();
    }
    block.remove_prefix(end + 1);
  }
}

void TraceReplay::finish() {
  if (pending_.empty()) return;
  replay_line(pending_);
  pending_.clear();
}

void TraceReplay::bad(std::string error) {
  summary_.bad_lines.push_back({line_, std::move(error)});
}

// Sets the entries in order; the first that cannot be set ends the line as
// bad, the ones before it staying set (as set_config calls one by one do).
bool TraceReplay::set_entries(std::vector<event::TraceSettingEntry>& entries,
                              bool config) {
  for (auto& entry : entries) {
    if (entry.error) {
      bad("value cannot be set: " + *entry.error);
      return false;
    }
    const auto& held = config ? engine_.config() : engine_.context();
    const event::Value* replaced = held.find(entry.key.view());
    ReplayHeldChange change{
        event::nesting_depth(entry.value), replaced != nullptr,
        replaced == nullptr ? 0 : event::nesting_depth(*replaced)};
    held_changes_.push_back(change);
    if (config) {
      engine_.set_config(std::move(entry.key), std::move(entry.value));
    } else {
      engine_.set_context(std::move(entry.key), std::move(entry.value));
    }
  }
  return true;
}

void TraceReplay::replay_line(std::string_view raw) {
  ++line_;
  TraceLine& line = reader_.read(raw, line_ == 1);
  switch (line.kind) {
    case TraceLine::Kind::kBlank:
      return;
    case TraceLine::Kind::kBad:
      bad(std::move(line.error));
      return;
    case TraceLine::Kind::kSetting:
      if (set_entries(line.config, true)) set_entries(line.context, false);
      return;
    case TraceLine::Kind::kEvent:
      break;
  }
  // The time is taken (and the engine reset to the first recorded one)
  // before the event is looked at further, as the Python replay does.
  std::uint64_t stamp;
  if (line.timestamp) {
    stamp = *line.timestamp;
    if (!started_) engine_.reset_at(stamp);
  } else {
    stamp = wall_clock_millis();
  }
  started_ = true;
  if (line.event_error) {
    bad("fields cannot be evaluated: " + *line.event_error);
    return;
  }
  event::Event& event = line.event;
  event::ValueMap fields = std::move(event.fields());
  event.reset(event.event_type(), stamp);
  event.fields() = std::move(fields);
  // Only the results kept are timed: the summary has no use for the time.
  if (keep_results_) {
    engine_.evaluate(event, result_);
  } else {
    engine_.evaluate_untimed(event, result_);
  }
  count(result_);
  if (keep_results_) {
    results_.push_back(result_);
    events_.push_back({line_, event.event_type(), line.timestamp});
  }
}

namespace {

// Adds one event to the count of `name`, once however often the event
// reports it.
void count_name(
    std::vector<std::pair<halvo::SmallString, std::uint64_t>>& counts,
    std::vector<const halvo::SmallString*>& seen,
    const halvo::SmallString& name) {
  for (const auto* earlier : seen) {
    if (earlier->view() == name.view()) return;
  }
  seen.push_back(&name);
  for (auto& [known, n] : counts) {
    if (known.view() == name.view()) {
      ++n;
      return;
    }
  }
  counts.emplace_back(name, 1);
}

}  // namespace

void TraceReplay::count(const PolicyResult& result) {
  ++summary_.events;
  ++summary_.verdicts[static_cast<std::size_t>(result.verdict)];
  const auto& rules = result.triggered_rules;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (std::find(rules.begin(), rules.begin() + static_cast<std::ptrdiff_t>(i),
                  rules[i]) == rules.begin() + static_cast<std::ptrdiff_t>(i)) {
      ++summary_.rules[rules[i]];
    }
  }
  std::vector<const halvo::SmallString*> seen;
  for (const auto& v : result.violations) {
    count_name(summary_.invariants, seen, v.invariant);
  }
  seen.clear();
  for (const auto& c : result.constraint_violations) {
    count_name(summary_.limits, seen, c.target);
  }
}

}  // namespace halvo_runtime::engine
