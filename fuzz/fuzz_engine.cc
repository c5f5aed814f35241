// Fuzzes the whole evaluate path: a policy and a sequence of engine
// operations, both decoded from the input.
//
// Input: the policy's JSON text, a NUL byte, then operations until the bytes
// run out (a text without NUL is a policy with no operations):
//
//   op % 5 == 0  evaluate: event type, timestamp step, fields
//   op % 5 == 1  reset
//   op % 5 == 2  status (its text is rendered)
//   op % 5 == 3  set_context(key, value)
//   op % 5 == 4  set_config(key, value)
//
// Event types, field names and keys are picked from the quoted strings of
// the policy text, so events reach the rules and references of the policy.
// Values are decoded by kind byte (value_decoder.h), nested at most as deep
// as the binding accepts. Each result is read through like the binding does:
// texts, copies and comparisons of every action argument.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "fuzz_input.h"
#include "halvo_compiler/policy_reader.h"
#include "halvo_runtime/clock.h"
#include "halvo_runtime/event.h"
#include "halvo_runtime/policy_engine.h"
#include "value_decoder.h"

namespace {

using halvo::SmallString;
using halvo_runtime::engine::PolicyEngine;
using halvo_runtime::engine::PolicyResult;
using halvo_runtime::event::Event;
using halvo_runtime::event::Value;

// Touches everything the binding would turn into Python objects.
void read_result(const PolicyResult& result) {
  std::size_t sink = result.triggered_rules.size();
  if (result.reason) sink += result.reason->size();
  for (const auto& action : result.actions) {
    for (const auto& arg : action.args) {
      const Value copy = arg.value;
      sink += copy.text().size() + (copy == arg.value);
    }
  }
  for (const auto& violation : result.violations) {
    sink += violation.message.size();
  }
  for (const auto& exceeded : result.constraint_violations) {
    sink += exceeded.current;
  }
  asm volatile("" : : "r"(sink));
}

void run_operations(PolicyEngine& engine, fuzz::ValueDecoder& input) {
  // Timestamps start at the engine's own clock and move by input steps, so
  // windows and deadlines both fill and elapse.
  std::uint64_t now = halvo_runtime::wall_clock_millis();
  while (!input.empty()) {
    switch (input.byte() % 5) {
      case 0: {
        now = input.next_time(now);
        Event event(input.name(), now);
        const std::size_t count = input.byte() % 6;
        for (std::size_t i = 0; i < count; ++i) {
          SmallString key = input.name();
          event.set_field(std::move(key), input.value());
        }
        read_result(engine.evaluate(event));
        break;
      }
      case 1:
        engine.reset();
        break;
      case 2:
        (void)engine.status().text();
        break;
      case 3: {
        SmallString key = input.name();
        engine.set_context(std::move(key), input.value());
        break;
      }
      default: {
        SmallString key = input.name();
        engine.set_config(std::move(key), input.value());
        break;
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::optional<std::string_view> text = fuzz_input(data, size);
  if (!text) return 0;
  const FuzzParts parts = split_at_nul(*text);
  auto policy = halvo_compiler::read_policy(parts.policy);
  if (!policy) return 0;
  PolicyEngine engine(std::move(policy).value());
  if (!parts.rest) return 0;
  fuzz::ValueDecoder input(*parts.rest, parts.policy);
  run_operations(engine, input);
  (void)engine.status().text();
  return 0;
}
