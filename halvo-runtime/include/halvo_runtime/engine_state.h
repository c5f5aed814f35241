// EngineState: the runtime state of a PolicyEngine, apart from its policy.
//
// What a snapshot carries (snapshot.h): the event count, each state
// machine's position and start time, each rate limiter's window, and the
// context and configuration maps. read_snapshot decodes and checks a whole
// state against the engine's policy before the engine takes it over in one
// step (set_state, which cannot fail), so a refused snapshot never leaves
// the engine half-updated.
//
//   auto state = read_snapshot(bytes, engine);
//   if (state) engine.set_state(std::move(state).value());
#pragma once

#include <cstdint>
#include <vector>

#include "halvo/small_string.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::engine {

struct MachinePosition {
  std::uint32_t current_state = 0;
  std::uint64_t started_at = 0;  // milliseconds since the epoch
};

struct LimiterWindow {
  halvo::SmallString target;
  // The timestamps inside the window, in ascending order.
  std::vector<std::uint64_t> timestamps;
};

struct EngineState {
  std::uint64_t event_count = 0;
  // One per state machine, in the policy's order.
  std::vector<MachinePosition> machines;
  // One per rate limiter, in the engine's order of distinct targets (the
  // order in which the policy's constraints first name them).
  std::vector<LimiterWindow> limiters;
  event::ValueMap context;
  event::ValueMap config;
};

}  // namespace halvo_runtime::engine
