#include "halvo/hmac_sha256.h"

#include <cstring>

namespace halvo {
namespace {

constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1,
    0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3,
    0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
    0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
    0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
    0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
    0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::size_t kBlockSize = 64;

constexpr std::uint32_t rotr(std::uint32_t x, int n) noexcept {
  return (x >> n) | (x << (32 - n));
}

// The running hash: eight words, the bytes of a partial block, and the
// message length so far.
class Sha256 {
 public:
  void update(std::string_view bytes) noexcept {
    for (const char byte : bytes) {
      block_[filled_++] = static_cast<unsigned char>(byte);
      if (filled_ == kBlockSize) {
        compress();
        filled_ = 0;
      }
    }
    length_ += bytes.size();
  }

  Digest finish() noexcept {
    const std::uint64_t bits = length_ * 8;
    // A 1 bit, zeros up to 56 bytes into a block, then the length in bits,
    // big-endian.
    block_[filled_++] = 0x80;
    if (filled_ > kBlockSize - 8) {
      std::memset(block_ + filled_, 0, kBlockSize - filled_);
      compress();
      filled_ = 0;
    }
    std::memset(block_ + filled_, 0, kBlockSize - 8 - filled_);
    for (int i = 0; i < 8; ++i) {
      block_[kBlockSize - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    }
    compress();
    Digest digest;
    for (std::size_t i = 0; i < 8; ++i) {
      for (std::size_t k = 0; k < 4; ++k) {
        digest[4 * i + k] =
            static_cast<unsigned char>(state_[i] >> (24 - 8 * k));
      }
    }
    return digest;
  }

 private:
  void compress() noexcept {
    std::uint32_t w[64];
    for (std::size_t i = 0; i < 16; ++i) {
      w[i] = static_cast<std::uint32_t>(block_[4 * i]) << 24 |
             static_cast<std::uint32_t>(block_[4 * i + 1]) << 16 |
             static_cast<std::uint32_t>(block_[4 * i + 2]) << 8 |
             static_cast<std::uint32_t>(block_[4 * i + 3]);
    }
    for (std::size_t i = 16; i < 64; ++i) {
      const std::uint32_t s0 =
          rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 =
          rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    std::uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    for (std::size_t i = 0; i < 64; ++i) {
      const std::uint32_t s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
      const std::uint32_t choose = (e & f) ^ (~e & g);
      const std::uint32_t t1 = h + s1 + choose + kRoundConstants[i] + w[i];
      const std::uint32_t s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
      const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
      const std::uint32_t t2 = s0 + majority;
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
    state_[5] += f;
    state_[6] += g;
    state_[7] += h;
  }

  std::uint32_t state_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  unsigned char block_[kBlockSize] = {};
  std::size_t filled_ = 0;
  std::uint64_t length_ = 0;
};

std::string_view view_of(const unsigned char* bytes, std::size_t size) {
  return {reinterpret_cast<const char*>(bytes), size};
}

}  // namespace

Digest sha256(std::string_view bytes) noexcept {
  Sha256 hash;
  hash.update(bytes);
  return hash.finish();
}

Digest hmac_sha256(std::string_view key, std::string_view message) noexcept {
  unsigned char padded[kBlockSize] = {};
  if (key.size() > kBlockSize) {
    const Digest hashed = sha256(key);
    std::memcpy(padded, hashed.data(), hashed.size());
  } else {
    std::memcpy(padded, key.data(), key.size());
  }
  unsigned char inner_pad[kBlockSize];
  unsigned char outer_pad[kBlockSize];
  for (std::size_t i = 0; i < kBlockSize; ++i) {
    inner_pad[i] = padded[i] ^ 0x36;
    outer_pad[i] = padded[i] ^ 0x5c;
  }
  Sha256 inner;
  inner.update(view_of(inner_pad, kBlockSize));
  inner.update(message);
  const Digest inner_digest = inner.finish();
  Sha256 outer;
  outer.update(view_of(outer_pad, kBlockSize));
  outer.update(view_of(inner_digest.data(), inner_digest.size()));
  return outer.finish();
}

bool digests_equal(const Digest& digest, const unsigned char* other) noexcept {
  unsigned char difference = 0;
  for (std::size_t i = 0; i < kDigestSize; ++i) {
    difference |= static_cast<unsigned char>(digest[i] ^ other[i]);
  }
  return difference == 0;
}

}  // namespace halvo
