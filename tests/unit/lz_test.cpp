#include "lz.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "lz_encoder.h"

using namespace vel;
using lztest::lz_encode;
using lztest::LzWriter;

namespace {

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

// Text-like data: words from a small vocabulary, so matches of every
// length and many distances occur.
std::vector<uint8_t> wordy_bytes(size_t n, uint32_t seed) {
  static const char* kWords[] = {"alpha ", "beta ", "gamma\n", "delta-", "epsilon ", "[block] ", "x", "yy "};
  std::mt19937 rng(seed);
  std::vector<uint8_t> v;
  while (v.size() < n) {
    const char* w = kWords[rng() % 8];
    while (*w && v.size() < n) v.push_back(uint8_t(*w++));
  }
  return v;
}

void put_le32(std::vector<uint8_t>& rec, size_t at, uint32_t v) {
  for (int k = 0; k < 4; k++) rec[at + k] = uint8_t(v >> (8 * k));
}

void expect_round_trip(const std::vector<uint8_t>& data, uint32_t block_size = LZ_MAX_BLOCK) {
  std::vector<uint8_t> rec = lz_encode(data, block_size);
  auto out = lz_decompress(rec);
  ASSERT_TRUE(out) << "size " << data.size();
  EXPECT_TRUE(*out == data) << "size " << data.size();
  // The caller-buffer form: exactly enough room works, one byte less fails.
  std::vector<uint8_t> buf(data.size());
  auto n = lz_decompress_into(rec, buf);
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, data.size());
  EXPECT_TRUE(buf == data);
  if (!data.empty()) {
    EXPECT_FALSE(lz_decompress_into(rec, std::span<uint8_t>(buf).first(data.size() - 1)));
  }
}

}  // namespace

TEST(Lz, EmptyRecordGivesEmptyOutput) {
  std::vector<uint8_t> rec(8, 0);
  auto out = lz_decompress(rec);
  ASSERT_TRUE(out);
  EXPECT_TRUE(out->empty());
  auto n = lz_decompress_into(rec, {});
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 0u);
  // Shorter than its header: refused.
  for (size_t len = 0; len < 8; len++) EXPECT_FALSE(lz_decompress(std::span(rec).first(len))) << len;
}

TEST(Lz, BlockLengthMustBeOneToOneMegabyte) {
  LzWriter zero;
  zero.begin_block(0);
  EXPECT_FALSE(lz_decompress(zero.finish()));

  // Same data, one block each: the largest legal block decodes, one byte
  // more is refused although the tokens themselves are well formed.
  std::vector<uint8_t> data = wordy_bytes(LZ_MAX_BLOCK + 1, 7);
  auto over = lz_encode(data, LZ_MAX_BLOCK + 1);
  EXPECT_FALSE(lz_decompress(over));
  std::vector<uint8_t> exact_data(data.begin(), data.end() - 1);
  auto exact = lz_decompress(lz_encode(exact_data, LZ_MAX_BLOCK));
  ASSERT_TRUE(exact);
  EXPECT_TRUE(*exact == exact_data);
}

TEST(Lz, LiteralThenShortestMatchRepeatsTheByte) {
  LzWriter w;
  w.begin_block(4);
  w.literal('q');
  w.match(3, 1);
  auto out = lz_decompress(w.finish());
  ASSERT_TRUE(out);
  EXPECT_EQ(std::string(out->begin(), out->end()), "qqqq");
}

TEST(Lz, OverlappingCopyRepeatsThePattern) {
  LzWriter w;
  w.begin_block(13);
  for (char c : std::string("abc")) w.literal(uint8_t(c));
  w.match(10, 3);
  auto out = lz_decompress(w.finish());
  ASSERT_TRUE(out);
  EXPECT_EQ(std::string(out->begin(), out->end()), "abcabcabcabca");
}

TEST(Lz, MatchesStayInsideTheirBlock) {
  struct Case {
    const char* what;
    void (*build)(LzWriter&);
  };
  const Case cases[] = {
      {"match as the first token", [](LzWriter& w) {
         w.begin_block(3);
         w.match(3, 1);
       }},
      {"distance before the block start", [](LzWriter& w) {
         w.begin_block(5);
         w.literal('a');
         w.literal('b');
         w.match(3, 3);
       }},
      {"reaching into the previous block", [](LzWriter& w) {
         w.begin_block(2);
         w.literal('a');
         w.literal('b');
         w.begin_block(3);
         w.match(3, 2);
       }},
      {"length past the block end", [](LzWriter& w) {
         w.begin_block(3);
         w.literal('a');
         w.match(3, 1);
       }},
  };
  for (const Case& c : cases) {
    LzWriter w;
    c.build(w);
    EXPECT_FALSE(lz_decompress(w.finish())) << c.what;
  }
}

TEST(Lz, EveryLengthAndDistanceCodeDecodes) {
  // The edges of each length code and each distance range.
  const uint32_t lengths[] = {3, 6, 7, 10, 11, 14, 15, 22, 23, 54, 55, 300, 566};
  const uint32_t distances[] = {1, 8, 9, 16, 17, 1000, 4096, 4097, 65536, 131073, 262144};
  for (uint32_t dist : distances) {
    std::vector<uint8_t> lits = random_bytes(dist, dist);
    for (uint32_t len : lengths) {
      LzWriter w;
      w.begin_block(dist + len);
      for (uint8_t b : lits) w.literal(b);
      w.match(len, dist);
      std::vector<uint8_t> expected = lits;
      for (uint32_t k = 0; k < len; k++) expected.push_back(expected[expected.size() - dist]);
      auto out = lz_decompress(w.finish());
      ASSERT_TRUE(out) << "length " << len << " distance " << dist;
      EXPECT_TRUE(*out == expected) << "length " << len << " distance " << dist;
    }
  }
}

TEST(Lz, SizeFieldsAreHeldAgainstTheInput) {
  const std::vector<uint8_t> data = wordy_bytes(5000, 3);
  const std::vector<uint8_t> good = lz_encode(data);
  ASSERT_TRUE(lz_decompress(good));

  // Bytes after the block stream are not part of the record.
  std::vector<uint8_t> trailing = good;
  trailing.insert(trailing.end(), {1, 2, 3, 4, 5});
  EXPECT_TRUE(lz_decompress(trailing));

  const uint32_t cs = uint32_t(good.size() - 8);
  struct Case {
    const char* what;
    uint32_t compressed, uncompressed;
  };
  const Case cases[] = {
      {"compressed size past the input", cs + 1, 5000},
      {"compressed size far past the input", 0xFFFFFFF0u, 5000},
      {"uncompressed size beyond any expansion", cs, 0xFFFFFFFFu},
      {"uncompressed size just past the ratio", 10, 10 * LZ_MAX_RATIO + 1},
      {"stream produces more than claimed", cs, 4999},
      {"stream produces less than claimed", cs, 5001},
      {"compressed size cuts the last block", cs - 1, 5000},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> rec = good;
    put_le32(rec, 0, c.compressed);
    put_le32(rec, 4, c.uncompressed);
    EXPECT_FALSE(lz_decompress(rec)) << c.what;
    std::vector<uint8_t> buf(6000);
    EXPECT_FALSE(lz_decompress_into(rec, buf)) << c.what;
  }
}

TEST(Lz, RoundTrips) {
  expect_round_trip({});
  for (size_t n : {1, 2, 3, 4, 17})
    expect_round_trip(random_bytes(n, uint32_t(n)));
  expect_round_trip(random_bytes(100000, 11));          // incompressible
  expect_round_trip(std::vector<uint8_t>(300000, 'z'));  // one long run
  expect_round_trip(wordy_bytes(200000, 12));
  // Many blocks, including a short last one.
  expect_round_trip(wordy_bytes(20001, 13), 1000);
  expect_round_trip(random_bytes(5000, 14), 7);
  // More than one full-size block.
  expect_round_trip(wordy_bytes(2 * LZ_MAX_BLOCK + 12345, 15));
}

TEST(Lz, RepetitiveDataCompressesWell) {
  // Guards the encoder: a round trip of an encoder that only wrote literals
  // would test little of the decoder.
  std::vector<uint8_t> data(200000, 'z');
  EXPECT_LT(lz_encode(data).size(), data.size() / 100);
}

TEST(Lz, EveryTruncationFails) {
  const std::vector<uint8_t> data = wordy_bytes(3000, 21);
  const std::vector<uint8_t> good = lz_encode(data, 1024);  // three blocks
  ASSERT_TRUE(lz_decompress(good));
  for (size_t len = 0; len < good.size(); len++) {
    std::span<const uint8_t> cut(good.data(), len);
    EXPECT_FALSE(lz_decompress(cut)) << len;
    // The same cut with the compressed size agreeing with it.
    if (len >= 8) {
      std::vector<uint8_t> rec(cut.begin(), cut.end());
      put_le32(rec, 0, uint32_t(len - 8));
      EXPECT_FALSE(lz_decompress(rec)) << len;
    }
  }
}

TEST(Lz, GarbageNeverCrashes) {
  // Plain random bytes mostly fail at the header; random block streams
  // behind a consistent header reach the token decoder.
  std::vector<uint8_t> out_buf(4096);
  for (uint32_t seed = 0; seed < 20000; seed++) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> rec = random_bytes(rng() % 200, seed);
    if (seed % 2 && rec.size() >= 12) {
      put_le32(rec, 0, uint32_t(rec.size() - 8));
      put_le32(rec, 4, rng() % 4096);
      put_le32(rec, 8, 1 + rng() % 4096);
    }
    auto out = lz_decompress(rec);
    if (out) {
      EXPECT_EQ(out->size(), lz_read_header(rec)->uncompressed_size);
    }
    auto n = lz_decompress_into(rec, out_buf);
    EXPECT_EQ(bool(n), bool(out));
  }
}

TEST(Lz, CorruptedStreamsFailOrKeepTheirSize) {
  const std::vector<uint8_t> data = wordy_bytes(4000, 31);
  const std::vector<uint8_t> good = lz_encode(data, 1500);
  std::mt19937 rng(5);
  for (int round = 0; round < 20000; round++) {
    std::vector<uint8_t> rec = good;
    int flips = 1 + int(rng() % 4);
    for (int k = 0; k < flips; k++) rec[8 + rng() % (rec.size() - 8)] ^= uint8_t(1u << (rng() % 8));
    auto out = lz_decompress(rec);
    if (out) {
      EXPECT_EQ(out->size(), data.size());
    }
  }
}
