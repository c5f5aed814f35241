// The input of one fuzz run, as the bytes a reader takes, and the split
// the engine harnesses share: a policy's JSON text, a NUL byte, then the
// harness's own operations.
//
//   std::optional<std::string_view> text = fuzz_input(data, size);
//   if (!text) return 0;   // too large to be worth reading
//   const FuzzParts parts = split_at_nul(*text);
//   auto policy = halvo_compiler::read_policy(parts.policy);
//   if (parts.rest) run_operations(*parts.rest);
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

// A policy text and, when the input holds a NUL byte, what follows it.
struct FuzzParts {
  std::string_view policy;
  std::optional<std::string_view> rest;
};

// Splits at the first NUL byte; without one the whole text is the policy
// and there is no rest (a policy with no operations).
inline FuzzParts split_at_nul(std::string_view text) {
  const std::size_t split = text.find('\0');
  if (split == std::string_view::npos) return {text, std::nullopt};
  return {text.substr(0, split), text.substr(split + 1)};
}
