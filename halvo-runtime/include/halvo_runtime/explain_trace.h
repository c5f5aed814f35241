// Explanations: what evaluate() would answer for an event, with a trace of
// how each phase came to it, and no change to the engine.
//
// explain() runs the engine's one evaluation pipeline on the event, through
// the tree evaluator (the listened PolicyEngine::evaluate_reference), with
// a listener that records the trace as the pipeline goes: the rate window,
// each rule's filter, condition value and verdict candidates, each
// machine's state, the guard values its search tried and the transition it
// takes. Rules the event filter skips are filled in by the listener. The
// runtime state is then put back as it was: counts, windows, machine
// positions and start times, context and configuration. It is the slow
// path, meant for people asking why.
//
//   Explanation why = explain(engine, event);
//   for (const RuleTrace& rule : why.trace.rules) { ... }
//   PolicyResult same = why.result;   // what evaluate(event) would give
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "halvo/small_string.h"
#include "halvo_runtime/event.h"
#include "halvo_runtime/policy_engine.h"
#include "halvo_runtime/policy_result.h"
#include "halvo_runtime/value.h"

namespace halvo_runtime::engine {

// One verdict of a matched rule: the candidate, its message text (absent
// when the verdict has none), the verdict it met, and whether it was taken.
struct VerdictTrace {
  Verdict candidate;
  std::optional<halvo::SmallString> message;
  Verdict before;
  bool taken;
};

struct RuleTrace {
  std::uint32_t position;  // in the policy's rules
  std::uint32_t id;
  bool applies;  // the event filter
  bool has_condition;
  event::Value condition;  // its value; Null when absent or not evaluated
  bool matched;            // the filter applied and the condition held
  std::vector<VerdictTrace> verdicts;  // matched rules only
  // The rule's actions are result.actions[first_action, +action_count).
  std::uint32_t first_action;
  std::uint32_t action_count;
};

// The rate limiter of the event's type.
struct LimiterTrace {
  halvo::SmallString target;
  ConstraintKind kind;
  std::uint64_t count;  // inside the window, this event included
  std::uint64_t limit;
  std::uint64_t window_ms;
  bool exceeded;
};

// A Predicate or NegatedPredicate guard the search evaluated.
struct GuardTrace {
  std::uint32_t transition;  // position in the machine's transitions
  std::uint32_t to;
  event::Value value;  // the guard expression's value
  bool allows;         // whether the guard lets the transition be taken
};

struct MachineTrace {
  halvo::SmallString proof;  // the machine's name
  std::uint32_t state;       // before the event
  bool active;               // only an active machine steps
  bool deadline_reached;     // the timeout test applied
  std::vector<GuardTrace> guards;
  std::optional<std::uint32_t> taken;  // the transition taken
  std::uint32_t state_after;
};

struct ExplainTrace {
  std::vector<RuleTrace> rules;         // every rule, in order
  std::optional<LimiterTrace> limiter;  // absent when none has this type
  std::vector<MachineTrace> machines;   // every machine, in order
};

struct Explanation {
  PolicyResult result;
  ExplainTrace trace;
};

// Explains `event`; the engine's observable state is as before afterwards.
// Only memory exhaustion throws.
Explanation explain(PolicyEngine& engine, const event::Event& event);

}  // namespace halvo_runtime::engine
