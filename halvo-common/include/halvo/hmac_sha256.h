// SHA-256 (FIPS 180-4) and HMAC-SHA256 (RFC 2104), for signing data that a
// host keeps outside the process, such as snapshots.
//
//   halvo::Digest tag = halvo::hmac_sha256(key, message);
//   if (!halvo::digests_equal(tag, received)) refuse();
//
// A small implementation of its own: the native core links no crypto
// library. It is checked against the FIPS 180-2 examples and the RFC 4231
// test vectors (tests/hmac_sha256_test.cc). digests_equal takes the same
// time wherever two digests differ, so comparing a forged tag tells its
// sender nothing about how close it came.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace halvo {

inline constexpr std::size_t kDigestSize = 32;
using Digest = std::array<unsigned char, kDigestSize>;

// The SHA-256 digest of `bytes`.
Digest sha256(std::string_view bytes) noexcept;

// The HMAC-SHA256 of `message` under `key` (a key of any length; one longer
// than 64 bytes is hashed first, as RFC 2104 says).
Digest hmac_sha256(std::string_view key, std::string_view message) noexcept;

// Whether the digest equals the 32 bytes at `other`, in constant time.
bool digests_equal(const Digest& digest, const unsigned char* other) noexcept;

}  // namespace halvo
