// Little-endian integers in byte strings: the byte order of every binary
// format this project reads and writes (the .halvoc container, snapshots),
// whatever the host's own order.
//
//   std::string out;
//   halvo::append_le<std::uint32_t>(out, 7);          // 07 00 00 00
//   std::uint32_t n = halvo::load_le<std::uint32_t>(out.data());
//   halvo::store_le<std::uint64_t>(out.data() + 16, total);
//
// The helpers work byte by byte with shifts, so they need no alignment and
// no test of the host's order; compilers turn them into one load or store.
#pragma once

#include <concepts>
#include <cstddef>
#include <string>

namespace halvo {

// The unsigned integer made of sizeof(T) bytes at `bytes`, lowest first.
template <std::unsigned_integral T>
T load_le(const void* bytes) noexcept {
  const auto* b = static_cast<const unsigned char*>(bytes);
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    value |= static_cast<T>(static_cast<T>(b[i]) << (8 * i));
  }
  return value;
}

// Writes `value` over the sizeof(T) bytes at `bytes`, lowest first.
template <std::unsigned_integral T>
void store_le(void* bytes, T value) noexcept {
  auto* b = static_cast<unsigned char*>(bytes);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    b[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
  }
}

// Appends the sizeof(T) bytes of `value` to `out`, lowest first.
template <std::unsigned_integral T>
void append_le(std::string& out, T value) {
  char bytes[sizeof(T)];
  store_le(bytes, value);
  out.append(bytes, sizeof(T));
}

}  // namespace halvo
