// Fuzzes the JSON policy reader: every input is read as a policy document.
// The reader must return a policy or an error for any bytes, never crash,
// read out of bounds or recurse past its nesting limit. A policy that reads
// must also be diagnosed without fault, and its canonical text must read
// back and write again to the same text.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "halvo_compiler/policy_diagnostics.h"
#include "halvo_compiler/policy_reader.h"
#include "halvo_compiler/policy_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::optional<std::string_view> text = fuzz_input(data, size);
  if (!text) return 0;
  std::vector<halvo_compiler::SkippedKey> skipped;
  const auto result = halvo_compiler::read_policy(*text, &skipped);
  if (!result) {
    (void)result.error().text();
    return 0;
  }
  (void)halvo_compiler::diagnose_policy(result.value(), skipped);
  const std::string canonical =
      halvo_compiler::write_policy_json(result.value());
  const auto again = halvo_compiler::read_policy(canonical);
  if (!again || halvo_compiler::write_policy_json(again.value()) != canonical) {
    __builtin_trap();
  }
  return 0;
}
