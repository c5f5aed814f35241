// Fuzzes the .halvoc container reader: every input is read as container
// bytes. Headers may declare any payload length; the reader must fail
// cleanly without trusting it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "halvo_compiler/bytecode.h"

namespace {
// Larger inputs only slow the search down without reaching new code.
constexpr std::size_t kMaxInput = 64 * 1024;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size > kMaxInput) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto result = halvo_compiler::bytecode::from_bytecode(bytes);
  if (!result) (void)result.error().text();
  return 0;
}
