// Fuzzes the JSON policy reader: every input is read as a policy document.
// The reader must return a policy or an error for any bytes, never crash,
// read out of bounds or recurse past its nesting limit.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "fuzz_input.h"
#include "halvo_compiler/policy_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::optional<std::string_view> text = fuzz_input(data, size);
  if (!text) return 0;
  const auto result = halvo_compiler::read_policy(*text);
  if (!result) (void)result.error().text();
  return 0;
}
