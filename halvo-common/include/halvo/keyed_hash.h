// Keyed hashing of map keys.
//
// Every map in the system hashes its keys with SipHash-1-3 under a 128-bit
// key drawn once per process from the operating system's random source.
// Event field names come from agents, so an attacker must not be able to
// pick keys that collide; without the secret key they cannot.
//
//   std::uint64_t h = halvo::keyed_hash("tool");
#pragma once

#include <cstdint>
#include <string_view>

namespace halvo {

// Returns the keyed hash of `bytes` under this process's secret key.
std::uint64_t keyed_hash(std::string_view bytes) noexcept;

}  // namespace halvo
