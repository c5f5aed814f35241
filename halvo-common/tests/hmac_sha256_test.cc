#include "halvo/hmac_sha256.h"

#include <string>

#include "check.h"

using halvo::Digest;

namespace {

std::string hex(const Digest& digest, std::size_t bytes = halvo::kDigestSize) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < bytes; ++i) {
    out += kDigits[digest[i] >> 4];
    out += kDigits[digest[i] & 15];
  }
  return out;
}

std::string repeat(char byte, std::size_t count) {
  return std::string(count, byte);
}

// FIPS 180-2, appendix B, and the empty message; the 56- and 64-byte cases
// pad into a second block.
void sha256_examples() {
  CHECK(hex(halvo::sha256("")) ==
        "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  CHECK(hex(halvo::sha256("abc")) ==
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  CHECK(hex(halvo::sha256(
            "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")) ==
        "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  CHECK(hex(halvo::sha256(repeat('a', 1000000))) ==
        "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  CHECK(hex(halvo::sha256(repeat('a', 64))) ==
        "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

struct HmacCase {
  std::string key;
  std::string message;
  const char* expected;
  std::size_t bytes;  // compared (case 5 is truncated to 128 bits)
};

// RFC 4231, section 4, test cases 1 to 7.
void rfc_4231_vectors() {
  const HmacCase cases[] = {
      {repeat('\x0b', 20), "Hi There",
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7", 32},
      {"Jefe", "what do ya want for nothing?",
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843", 32},
      {repeat('\xaa', 20), repeat('\xdd', 50),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe", 32},
      {std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d"
                   "\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19"),
       repeat('\xcd', 50),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b", 32},
      {repeat('\x0c', 20), "Test With Truncation",
       "a3b6167473100ee06e0c796c2955552b", 16},
      {repeat('\xaa', 131),
       "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54", 32},
      {repeat('\xaa', 131),
       "This is a test using a larger than block-size key and a larger than "
       "block-size data. The key needs to be hashed before being used by the "
       "HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2", 32},
  };
  for (const HmacCase& c : cases) {
    CHECK(hex(halvo::hmac_sha256(c.key, c.message), c.bytes) == c.expected);
  }
}

void digests_compare_every_byte() {
  const Digest tag = halvo::hmac_sha256("key", "message");
  Digest other = tag;
  CHECK(halvo::digests_equal(tag, other.data()));
  for (std::size_t i = 0; i < halvo::kDigestSize; i += 31) {
    other = tag;
    other[i] ^= 0x01;
    CHECK(!halvo::digests_equal(tag, other.data()));
  }
}

}  // namespace

int main() {
  sha256_examples();
  rfc_4231_vectors();
  digests_compare_every_byte();
  return halvo::testing::failures();
}
