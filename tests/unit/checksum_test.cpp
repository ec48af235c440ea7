// Checksums and digests: the published vectors of MD5 (RFC 1321), SHA-1
// and SHA-2 (FIPS 180-4), HMAC (RFC 2202, RFC 4231), CRC-32 and Adler-32,
// and the checksum native's checks of arguments its spec keeps out. The
// Windows build runs the same vectors through CryptoAPI.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "checksum.h"
#include "datatypes/core_words.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "error_of.h"
#include "errors.h"
#include "evaluator/natives.h"
#include "memory.h"
#include "roots.h"

using namespace vel;
using checksum::Method;

namespace {

std::string hex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) s += d[p[i] >> 4], s += d[p[i] & 15];
  return s;
}

std::vector<uint8_t> unhex(const std::string& h) {
  std::vector<uint8_t> v;
  for (size_t i = 0; i + 1 < h.size(); i += 2) v.push_back(uint8_t(std::stoi(h.substr(i, 2), nullptr, 16)));
  return v;
}

const uint8_t* bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string digest_hex(Method m, const std::string& data) {
  uint8_t out[platform::DIGEST_MAX];
  checksum::digest(m, bytes(data), data.size(), out);
  return hex(out, platform::digest_size(checksum::digest_alg(m)));
}

struct DigestCase {
  Method m;
  const char* data;
  const char* expected;
};

TEST(Checksum, PublishedDigestVectors) {
  const DigestCase cases[] = {
    {Method::MD5, "", "d41d8cd98f00b204e9800998ecf8427e"},
    {Method::MD5, "a", "0cc175b9c0f1b6a831c399e269772661"},
    {Method::MD5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {Method::MD5, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {Method::MD5, "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {Method::MD5, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {Method::MD5, "12345678901234567890123456789012345678901234567890123456789012345678901234567890", "57edf4a22be3c955ac49da2e2107b67a"},
    {Method::SHA1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {Method::SHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {Method::SHA1, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {Method::SHA1, "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu", "a49b2446a02c645bf419f995b67091253a04a259"},
    {Method::SHA256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {Method::SHA256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {Method::SHA256, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {Method::SHA256, "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu", "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {Method::SHA384, "", "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b"},
    {Method::SHA384, "abc", "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
    {Method::SHA384, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "3391fdddfc8dc7393707a65b1b4709397cf8b1d162af05abfe8f450de5f36bc6b0455a8520bc4e6f5fe95b1fe3c8452b"},
    {Method::SHA384, "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu", "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa91746039"},
    {Method::SHA512, "", "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
    {Method::SHA512, "abc", "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    {Method::SHA512, "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "204a8fc6dda82f0a0ced7beb8e08a41657c16ef468b228a8279be331a703c33596fd15c13b1b07f9aa1d3bea57789ca031ad85c7a71dd70354ec631238ca3445"},
    {Method::SHA512, "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu", "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909"},
  };
  for (const auto& c : cases) EXPECT_EQ(digest_hex(c.m, c.data), c.expected) << int(c.m) << " " << c.data;
}

TEST(Checksum, MillionAs) {
  struct {
    Method m;
    const char* expected;
  } const cases[] = {
    {Method::MD5, "7707d6ae4e027c70eea2a935c2296f21"},
    {Method::SHA1, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    {Method::SHA256, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {Method::SHA384, "9d0e1809716474cb086e834e310a4a1ced149e9c00f248527972cec5704c2a5b07b8b3dc38ecc4ebae97ddd87f3d8985"},
    {Method::SHA512, "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b"},
  };
  std::string a(1000000, 'a');
  for (const auto& c : cases) EXPECT_EQ(digest_hex(c.m, a), c.expected) << int(c.m);
}

// Data split into runs at every length around the block and padding edges
// hashes as the whole message.
TEST(Checksum, RunsHashAsOneMessage) {
  std::string msg;
  for (int i = 0; i < 300; i++) msg += char('a' + i % 23);
  for (Method m : {Method::MD5, Method::SHA1, Method::SHA256, Method::SHA384, Method::SHA512}) {
    auto alg = checksum::digest_alg(m);
    for (size_t len : {55u, 56u, 63u, 64u, 65u, 111u, 112u, 127u, 128u, 129u, 300u}) {
      uint8_t whole[64], parts[64];
      checksum::digest(m, bytes(msg), len, whole);
      for (size_t cut : {size_t(0), size_t(1), len / 2, len - 1, len}) {
        platform::ByteRun runs[3] = {{bytes(msg), cut}, {bytes(msg) + cut, 0}, {bytes(msg) + cut, len - cut}};
        ASSERT_TRUE(platform::digest(alg, runs, 3, parts));
        EXPECT_EQ(hex(parts, platform::digest_size(alg)), hex(whole, platform::digest_size(alg)))
            << int(m) << " " << len << " " << cut;
      }
    }
  }
}

struct HmacCase {
  Method m;
  const char* key_hex;
  const char* data;
  const char* expected;
};

// RFC 2202 cases 1, 2 and 6 (MD5, SHA-1) and RFC 4231 cases 1, 2 and 6
// (SHA-2; case 6 has a key longer than the block, hashed first).
TEST(Checksum, PublishedHmacVectors) {
  const HmacCase cases[] = {
    {Method::MD5, "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "Hi There", "9294727a3638bb1c13f48ef8158bfc9d"},
    {Method::MD5, "4a656665", "what do ya want for nothing?", "750c783e6ab0b503eaa86e310a5db738"},
    {Method::MD5, "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "Test Using Larger Than Block-Size Key - Hash Key First", "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd"},
    {Method::SHA1, "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
    {Method::SHA1, "4a656665", "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
    {Method::SHA1, "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "Test Using Larger Than Block-Size Key - Hash Key First", "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
    {Method::SHA256, "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
    {Method::SHA256, "4a656665", "what do ya want for nothing?", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
    {Method::SHA256, "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "Test Using Larger Than Block-Size Key - Hash Key First", "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
    {Method::SHA384, "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "Hi There", "afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59cfaea9ea9076ede7f4af152e8b2fa9cb6"},
    {Method::SHA384, "4a656665", "what do ya want for nothing?", "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47e42ec3736322445e8e2240ca5e69e2c78b3239ecfab21649"},
    {Method::SHA384, "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "Test Using Larger Than Block-Size Key - Hash Key First", "4ece084485813e9088d2c63a041bc5b44f9ef1012a2b588f3cd11f05033ac4c60c2ef6ab4030fe8296248df163f44952"},
    {Method::SHA512, "0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b0b", "Hi There", "87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cdedaa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854"},
    {Method::SHA512, "4a656665", "what do ya want for nothing?", "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea2505549758bf75c05a994a6d034f65f8f0e6fdcaeab1a34d4a6b4b636e070a38bce737"},
    {Method::SHA512, "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", "Test Using Larger Than Block-Size Key - Hash Key First", "80b24263c7c1a3ebb71493c1dd7be8b49b46d1f41b4aeec1121b013783f8f3526b56d037e05f2598bd0fd2215d6a1e5295e64f73f63f0aec8b915a985d786598"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> key = unhex(c.key_hex);
    std::string data = c.data;
    uint8_t out[platform::DIGEST_MAX];
    checksum::hmac(c.m, bytes(data), data.size(), key.data(), key.size(), out);
    EXPECT_EQ(hex(out, platform::digest_size(checksum::digest_alg(c.m))), c.expected) << int(c.m) << " " << c.data;
  }
}

TEST(Checksum, IntegerChecksums) {
  struct {
    const char* data;
    size_t n;
    uint32_t crc, adler, tcp;
  } const cases[] = {
      {"", 0, 0, 1, 0xFFFF},
      {"123456789", 9, 0xCBF43926u, 0x091E01DEu, 0x2EF2u},
      {"Wikipedia", 9, 0xADAAC02Eu, 0x11E60398u, 0x67FDu},
      {"\x01\x02\x03", 3, 0x55BC801Du, 0x000D0007u, 0xFEFAu},
  };
  for (const auto& c : cases) {
    auto p = reinterpret_cast<const uint8_t*>(c.data);
    EXPECT_EQ(checksum::crc32(p, c.n), c.crc) << c.data;
    EXPECT_EQ(checksum::adler32(p, c.n), c.adler) << c.data;
    EXPECT_EQ(checksum::tcp_sum(p, c.n), c.tcp) << c.data;
  }
  // All-ones bytes make the largest sums: the chunked reduction must keep
  // up (figures from zlib).
  std::vector<uint8_t> ff(100000, 0xFF);
  EXPECT_EQ(checksum::adler32(ff.data(), ff.size()), 345649196u);
  EXPECT_EQ(checksum::crc32(ff.data(), ff.size()), 1757859524u);
  // Running values continue across pieces.
  EXPECT_EQ(checksum::crc32(ff.data() + 777, ff.size() - 777, checksum::crc32(ff.data(), 777)),
            checksum::crc32(ff.data(), ff.size()));
  EXPECT_EQ(checksum::adler32(ff.data() + 5000, ff.size() - 5000, checksum::adler32(ff.data(), 5000)),
            checksum::adler32(ff.data(), ff.size()));
  // Carries out of 16 bits fold back in.
  std::vector<uint8_t> big(70000, 0xFF);
  EXPECT_EQ(checksum::tcp_sum(big.data(), big.size()), 0u);
}

// --- the native -------------------------------------------------------------------------------

// The native's own checks of what its spec already keeps from scripts (what
// scripts see of checksum is in the script suite): a key that is neither text,
// binary nor integer, and data of another type.
TEST(ChecksumNative, RefusesWhatTheSpecKeepsOut) {
  // checksum's frame: [data method /with spec].
  auto error_id = [](const Cell& data, const char* method, const Cell* key) {
    Cell frame[4] = {data, word::load(method), logic_cell(key != nullptr), key ? *key : none_cell()};
    RootedCells keep(frame, 4);
    return error_of([&] { (void)g_natives[NAT_CHECKSUM](frame); });
  };
  RootedCell s(string::load("abc"));
  Cell none = none_cell();
  EXPECT_EQ(error_id(*s, "sha256", &none), ErrId::INVALID_ARG);
  EXPECT_EQ(error_id(integer_cell(1), "md5", nullptr), ErrId::INVALID_ARG);
}

}  // namespace
