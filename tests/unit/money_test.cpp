// money!: the packed cell layout (what the serializer copies byte for byte)
// and the constructors that fill it.
#include <gtest/gtest.h>

#include <cstring>

#include "datatypes/money.h"
#include "error_of.h"
#include "errors.h"

using namespace vel;

namespace {

// The cell as its 16 bytes in memory.
void cell_bytes(const Cell& c, uint8_t out[16]) { std::memcpy(out, &c, 16); }

}  // namespace

TEST(Money, CellLayoutIsPackedDigitsAfterTheCurrencyByte) {
  Cell c;
  ASSERT_TRUE(money::make_at(&c, true, "usd", "1'234", "5"));
  uint8_t b[16];
  cell_bytes(c, b);
  EXPECT_EQ(c.type(), TYPE_MONEY);
  EXPECT_NE(c.header & (1u << 14), 0u);                  // the sign bit
  EXPECT_EQ(b[4], money::currency_index_of_text("USD"));  // currency byte
  // -USD$1234.5: digits 14-17 are 1 2 3 4, digit 18 is 5, the rest 0.
  const uint8_t want[11] = {0, 0, 0, 0, 0, 0, 0x01, 0x23, 0x45, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(b + 5, want, 11), 0);
  uint8_t got[11];
  money::get_bytes(c, got);
  EXPECT_EQ(std::memcmp(got, want, 11), 0);
  Cell back = money::make_from_bytes(true, b[4], got);
  EXPECT_EQ(std::memcmp(&back, &c, 16), 0);
}

TEST(Money, ExtremesFillTheFirstAndLastNibbles) {
  Cell c;
  ASSERT_TRUE(money::make_at(&c, false, "", "99999999999999999", "99999"));
  uint8_t b[16];
  cell_bytes(c, b);
  for (int k = 5; k < 16; k++) EXPECT_EQ(b[k], 0x99) << k;
  EXPECT_EQ(money::significant_digits(c), 22);
  ASSERT_TRUE(money::make_at(&c, false, "", "0", "00001"));
  cell_bytes(c, b);
  EXPECT_EQ(b[15], 0x01);
  EXPECT_EQ(money::significant_digits(c), 1);
}

TEST(Money, ConstructorRefusals) {
  Cell c;
  EXPECT_FALSE(money::make_at(&c, false, "QQQ", "1", ""));                 // unknown code
  EXPECT_FALSE(money::make_at(&c, false, "", "123456789012345678", ""));  // 18 digits
  EXPECT_FALSE(money::make_at(&c, false, "", "000123456789012345678", ""));
  EXPECT_TRUE(money::make_at(&c, false, "", "00012345678901234567", ""));  // leading zeros do not count
  EXPECT_FALSE(money::make_at(&c, false, "", "1a", ""));
  EXPECT_TRUE(money::make_at(&c, false, "", "0000000000000000000001", "123456789"));  // extra decimals dropped
  EXPECT_EQ(money::to_float(c), 1.12345);
}

TEST(Money, IntegerRoundTripAtTheLimits) {
  for (int32_t n : {0, 1, -1, 2147483647, -2147483647 - 1}) {
    Cell c = money::from_integer(n);
    EXPECT_EQ(money::to_integer(c), n) << n;
  }
  Cell c;
  ASSERT_TRUE(money::make_at(&c, false, "", "2147483648", ""));
  EXPECT_EQ(error_of([&] { (void)money::to_integer(c); }), ErrId::TYPE_LIMIT);
}
