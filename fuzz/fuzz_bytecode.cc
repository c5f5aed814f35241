// Fuzzes the .halvoc container reader: every input is read as container
// bytes. Headers may declare any payload length; the reader must fail
// cleanly without trusting it.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "fuzz_input.h"
#include "halvo_compiler/bytecode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::optional<std::string_view> text = fuzz_input(data, size);
  if (!text) return 0;
  const auto result = halvo_compiler::bytecode::from_bytecode(*text);
  if (!result) (void)result.error().text();
  return 0;
}
