// Fuzzes the JSON policy reader: every input is read as a policy document.
// The reader must return a policy or an error for any bytes, never crash,
// read out of bounds or recurse past its nesting limit.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "halvo_compiler/policy_reader.h"

namespace {
// Larger inputs only slow the search down without reaching new code.
constexpr std::size_t kMaxInput = 64 * 1024;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size > kMaxInput) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto result = halvo_compiler::read_policy(text);
  if (!result) (void)result.error().text();
  return 0;
}
