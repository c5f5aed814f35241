#include "halvo/keyed_hash.h"

#include <cstring>
#include <random>

namespace halvo {
namespace {

struct SipKey {
  std::uint64_t k0;
  std::uint64_t k1;
};

SipKey make_process_key() {
  // random_device reads the kernel's random source on Linux.
  std::random_device device;
  auto word = [&device] {
    return (static_cast<std::uint64_t>(device()) << 32) | device();
  };
  return {word(), word()};
}

const SipKey& process_key() {
  static const SipKey key = make_process_key();
  return key;
}

inline std::uint64_t rotl(std::uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

struct SipState {
  std::uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }

  void absorb(std::uint64_t m) {
    v3 ^= m;
    round();  // one compression round: SipHash-1-3
    v0 ^= m;
  }
};

}  // namespace

std::uint64_t keyed_hash(std::string_view bytes) noexcept {
  const SipKey& key = process_key();
  SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
             key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left >= 8) {
    std::uint64_t m;
    std::memcpy(&m, p, 8);  // host byte order: it changes hash values only
    s.absorb(m);
    p += 8;
    left -= 8;
  }
  std::uint64_t last = static_cast<std::uint64_t>(bytes.size()) << 56;
  for (std::size_t i = 0; i < left; ++i) {
    last |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i]))
            << (8 * i);
  }
  s.absorb(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace halvo
