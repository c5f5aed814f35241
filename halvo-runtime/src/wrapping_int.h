// Two's-complement wrapping arithmetic on 64-bit integers.
//
// Signed overflow is undefined behaviour in C++, while the language wraps
// (the largest Int plus 1 is the smallest). The operations run in unsigned
// arithmetic, where overflow is defined, and convert back modulo 2^64.
//
//   wrapping_add(INT64_MAX, 1) == INT64_MIN
//   wrapping_negate(INT64_MIN) == INT64_MIN
#pragma once

#include <cstdint>

namespace halvo_runtime::eval {

constexpr std::int64_t wrapping_add(std::int64_t a, std::int64_t b) noexcept {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) +
                                   static_cast<std::uint64_t>(b));
}

constexpr std::int64_t wrapping_sub(std::int64_t a, std::int64_t b) noexcept {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) -
                                   static_cast<std::uint64_t>(b));
}

constexpr std::int64_t wrapping_mul(std::int64_t a, std::int64_t b) noexcept {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) *
                                   static_cast<std::uint64_t>(b));
}

constexpr std::int64_t wrapping_negate(std::int64_t a) noexcept {
  return wrapping_sub(0, a);
}

}  // namespace halvo_runtime::eval
