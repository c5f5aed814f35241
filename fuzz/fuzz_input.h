// The input of one fuzz run, as the bytes a reader takes.
//
//   std::optional<std::string_view> text = fuzz_input(data, size);
//   if (!text) return 0;   // too large to be worth reading
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// Larger inputs only slow the search down without reaching new code.
inline constexpr std::size_t kMaxFuzzInput = 64 * 1024;

// Returns the bytes as text, or nullopt above kMaxFuzzInput.
inline std::optional<std::string_view> fuzz_input(const std::uint8_t* data,
                                                  std::size_t size) {
  if (size > kMaxFuzzInput) return std::nullopt;
  return std::string_view(reinterpret_cast<const char*>(data), size);
}
