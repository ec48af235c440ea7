// VELBIN: round trips per datatype in both forms, exact bytes of hand-made
// images, and the hostile images the decoder must refuse.
#include "io/velbin.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "action_frames.h"
#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/point.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "error_of.h"
#include "evaluator/natives.h"
#include "io/lexer.h"
#include "lz_encoder.h"
#include "stack.h"
#include "test_util.h"
#include "word_test_util.h"

using namespace vel;
using namespace vel::wordtest;
using Bytes = std::vector<uint8_t>;

namespace {

Cell gw(const char* text, TypeId t = TYPE_WORD) {
  Cell w = word::make_global(symbol::make(text));
  w.set_type(t);
  return w;
}

Cell str(const char* utf8, TypeId t = TYPE_STRING, int32_t index = 0) {
  Cell s = string::load(utf8, t);
  s.w1 = uint32_t(index);
  return s;
}

Cell typed(TypeId t, double d) {
  Cell c = make_cell(t);
  c.set_f64(d);
  return c;
}

// Same type, flags, data and (recursively) series contents and indexes.
bool same_value(const Cell& a, const Cell& b, int depth = 0) {
  if (a.header != b.header) return false;
  if (depth > 50) return true;  // a cycle: the structure was checked above
  TypeId t = a.type();
  // hash! and map! compare by their cells (a map's are its key/value block);
  // their tables are rebuilt, so their nodes differ.
  bool block = t == TYPE_BLOCK || t == TYPE_PAREN || (t >= TYPE_PATH && t <= TYPE_GET_PATH) || t == TYPE_HASH ||
               t == TYPE_MAP;
  bool text = t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL ||
              t == TYPE_REF || t == TYPE_BINARY;
  if (block) {
    if (a.w1 != b.w1 || block::total(a) != block::total(b)) return false;
    for (uint32_t i = 0; i < block::total(a); i++)
      if (!same_value(*block::rs_abs_at(a, i), *block::rs_abs_at(b, i), depth + 1)) return false;
    return true;
  }
  if (text) {
    Buffer* x = node_buffer(a.node());
    Buffer* y = node_buffer(b.node());
    return a.w1 == b.w1 && x->unit() == y->unit() && x->used() == y->used() &&
           std::memcmp(x->head_ptr(), y->head_ptr(), x->used()) == 0;
  }
  // Words: same text and both global.
  if (t >= TYPE_WORD && t <= TYPE_REFINEMENT) return a.w2 == b.w2 && b.w1 == context::g_global;
  if (t == TYPE_BITSET) {
    Buffer* x = node_buffer(a.node());
    Buffer* y = node_buffer(b.node());
    return bitset::complemented(x) == bitset::complemented(y) && x->used() == y->used() &&
           std::memcmp(x->head_ptr(), y->head_ptr(), x->used()) == 0;
  }
  if (t == TYPE_ISSUE) return a.w2 == b.w2;
  if (t == TYPE_VECTOR) {
    Buffer* x = node_buffer(a.node());
    Buffer* y = node_buffer(b.node());
    return a.w1 == b.w1 && a.w3 == b.w3 && x->unit() == y->unit() && x->used() == y->used() &&
           std::memcmp(x->head_ptr(), y->head_ptr(), x->used()) == 0;
  }
  return a.w1 == b.w1 && a.w2 == b.w2 && a.w3 == b.w3;
}

// make vector! from the cells of a spec block.
Cell vec(std::initializer_list<Cell> spec) {
  RootedCell b(block_of(spec));
  return call_action(act::make::SHAPE, {{act::make::TYPE, datatype_cell(TYPE_VECTOR)}, {act::make::SPEC, *b}});
}

Cell decode_one(const Bytes& img) {
  RootedCell out(velbin::decode(img));
  EXPECT_EQ(block::total(*out), 1u);
  return *block::rs_abs_at(*out, 0);
}

Bytes header(uint8_t flags) { return {'V', 'E', 'L', 'B', 'I', 'N', 2, flags}; }

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A compact image without symbols around a payload.
Bytes compact_image(const Bytes& payload) {
  Bytes img = header(velbin::FLAG_COMPACT);
  img.push_back(1);
  uint32_t n = uint32_t(payload.size());
  while (n >= 0x80) img.push_back(uint8_t(n | 0x80)), n >>= 7;
  img.push_back(uint8_t(n));
  return cat(img, payload);
}

std::optional<ErrId> decode_error(const Bytes& img) {
  return error_of([&] { (void)velbin::decode(img); });
}

int32_t error_offset(const Bytes& img) {
  VelError e = caught([&] { (void)velbin::decode(img); });
  return e.id == ErrId::RB_INVALID_RECORD ? e.args[0].i2() : -1;
}

}  // namespace

TEST(Velbin, RoundTripEveryDatatypeInBothForms) {
  Cell nl = integer_cell(5);
  nl.set_new_line(true);
  Cell ucs2 = str("a\xE2\x82\xAC");        // U+20AC
  Cell ucs4 = str("a\xF0\x9F\x98\x80z");   // U+1F600
  struct Case {
    const char* name;
    std::function<Cell()> make;
  } cases[] = {
      {"unset", [] { return unset_cell(); }},
      {"none", [] { return none_cell(); }},
      {"true", [] { return logic_cell(true); }},
      {"false", [] { return logic_cell(false); }},
      {"integer 0", [] { return integer_cell(0); }},
      {"integer 63", [] { return integer_cell(63); }},
      {"integer 64", [] { return integer_cell(64); }},
      {"integer -1", [] { return integer_cell(-1); }},
      {"integer min", [] { return integer_cell(INT_MIN); }},
      {"integer max", [] { return integer_cell(INT_MAX); }},
      {"char", [] { return char_cell('a'); }},
      {"char max", [] { return char_cell(0x10FFFF); }},
      {"float 1.5", [] { return float_cell(1.5); }},
      {"float -0.0", [] { return float_cell(-0.0); }},
      {"float -3", [] { return float_cell(-3.0); }},
      {"float big", [] { return float_cell(1e300); }},
      {"float inf", [] { return float_cell(INFINITY); }},
      {"float nan", [] { return float_cell(NAN); }},
      {"percent 50%", [] { return typed(TYPE_PERCENT, 0.5); }},
      {"percent 12.5%", [] { return typed(TYPE_PERCENT, 0.125); }},
      {"time", [] { return typed(TYPE_TIME, 3600.0); }},
      {"time fraction", [] { return typed(TYPE_TIME, 0.25); }},
      {"datatype", [] { return datatype_cell(TYPE_STRING); }},
      {"typeset", [] { return typeset::make_default(); }},
      {"empty typeset", [] { return typeset::empty(); }},
      {"string", [] { return str("hello"); }},
      {"empty string", [] { return str(""); }},
      {"string at 2", [] { return str("hello", TYPE_STRING, 2); }},
      {"ucs-2 string", [=] { return ucs2; }},
      {"ucs-4 string", [=] { return ucs4; }},
      {"file", [] { return str("a/b.txt", TYPE_FILE); }},
      {"url", [] { return str("http://x", TYPE_URL); }},
      {"tag", [] { return str("b", TYPE_TAG); }},
      {"email", [] { return str("a@b", TYPE_EMAIL); }},
      {"ref", [] { return str("who", TYPE_REF); }},
      {"word", [] { return gw("alpha"); }},
      {"set-word", [] { return gw("alpha", TYPE_SET_WORD); }},
      {"lit-word", [] { return gw("Beta", TYPE_LIT_WORD); }},
      {"get-word", [] { return gw("beta", TYPE_GET_WORD); }},
      {"refinement", [] { return gw("only", TYPE_REFINEMENT); }},
      {"issue", [] { return make_cell(TYPE_ISSUE, 0, symbol::make("x12"), uint32_t(-1)); }},
      {"block", [=] { return block_of({integer_cell(1), block_of({str("x"), gw("a")}), nl, float_cell(2.5)}); }},
      {"empty block", [] { return block_of({}); }},
      {"block at 1", [] {
         Cell b = block_of({integer_cell(1), integer_cell(2)});
         b.w1 = 1;
         return b;
       }},
      {"paren", [] { return block_of({gw("x"), integer_cell(1)}, TYPE_PAREN); }},
      {"path", [] { return block_of({gw("a"), gw("b")}, TYPE_PATH); }},
      {"lit-path", [] { return block_of({gw("a"), integer_cell(2)}, TYPE_LIT_PATH); }},
      {"set-path", [] { return block_of({gw("a"), gw("b")}, TYPE_SET_PATH); }},
      {"get-path", [] { return block_of({gw("a"), gw("b")}, TYPE_GET_PATH); }},
      {"bitset", [] { return bitset::make(str("Az"), false); }},
      {"empty bitset", [] { return bitset::make(integer_cell(0), false); }},
      {"date", [] { return date::cell(date::from_days(date::to_days(2000, 2, 29), 0), 0.0); }},
      {"date with time and zone", [] {
         Cell d = make_cell(TYPE_DATE);
         date::make_at(&d, -44, 3, 15, 3600.5, -5, -30, true);
         return d;
       }},
      {"pair", [] { return pair_cell(-2147483648, 70000); }},
      {"point2D", [] { return point2D_cell(1.5f, -HUGE_VALF); }},
      {"point3D", [] { return point3D_cell(0.1f, -0.0f, 3e38f); }},
      {"money", [] {
         Cell m;
         (void)money::make_at(&m, true, "EUR", "99999999999999999", "00001");
         return m;
       }},
      {"money without currency", [] { return money::from_integer(5); }},
      {"vector of 16-bit integers at 1", [] {
         Cell v = vec({gw("integer!"), integer_cell(16), block_of({integer_cell(1), integer_cell(65535)})});
         v.w1 = 1;
         return v;
       }},
      {"vector of chars", [] { return vec({char_cell('a'), char_cell(0x10FFFF)}); }},
      {"vector of 32-bit floats", [] { return vec({gw("float!"), integer_cell(32), block_of({float_cell(-0.5)})}); }},
      {"vector of doubles", [] { return vec({float_cell(1e300), float_cell(NAN)}); }},
      {"vector of percents", [] { return vec({typed(TYPE_PERCENT, 0.5)}); }},
      {"empty vector", [] { return vec({}); }},
      {"tuple of 3", [] { return tuple_cell(3, 0x030201, 0, 0); }},
      {"tuple of 12", [] { return tuple_cell(12, 0xFFFEFDFC, 0x01020304, 0x80000001); }},
      {"tuple of 4 on a new line", [] {
         Cell t = tuple_cell(4, 0x04030201, 0, 0);
         t.set_new_line(true);
         return t;
       }},
      {"complemented bitset", [] {
         RootedCell b(block_of({gw("not"), str("abc")}));
         return bitset::make(*b, false);
       }},
      {"hash", [] {
         RootedCell b(block_of({gw("a"), integer_cell(1), str("x"), integer_cell(1)}));
         return call_action(act::to::SHAPE, {{act::to::TYPE, datatype_cell(TYPE_HASH)}, {act::to::SPEC, *b}});
       }},
      {"map", [] {
         RootedCell b(block_of({gw("k", TYPE_SET_WORD), integer_cell(1), str("s"), block_of({integer_cell(2)})}));
         return call_action(act::make::SHAPE, {{act::make::TYPE, datatype_cell(TYPE_MAP)}, {act::make::SPEC, *b}});
       }},
      {"empty map", [] {
         RootedCell b(block_of({}));
         return call_action(act::make::SHAPE, {{act::make::TYPE, datatype_cell(TYPE_MAP)}, {act::make::SPEC, *b}});
       }},
  };
  for (const Case& c : cases) {
    for (bool compact : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (compact ? " compact" : " fixed"));
      RootedCell v(c.make());
      Bytes img = velbin::encode(*v, compact);
      ASSERT_GE(img.size(), 11u);
      EXPECT_EQ(img[7] & velbin::FLAG_COMPACT, compact ? 1 : 0);
      RootedCell back(decode_one(img));
      EXPECT_TRUE(same_value(*v, *back)) << std::hex << v->header << " " << back->header;
      // The image of the decoded value is the same image.
      EXPECT_EQ(velbin::encode(*back, compact), img);
    }
  }
}

// The text datatypes as the lexer builds them (escapes decoded, wide
// characters, an index into the issue's symbols) survive both forms.
TEST(Velbin, LoadedTextLiteralsRoundTrip) {
  const std::string src =
      "#abc #FF8000 <a href=\"x\"> a@b.c @ref %a%20b %\"q u\" %\xC3\xA9 http://h:80/p%C3%A9 mailto:x@y <\xE2\x82\xAC>";
  RootedCell blk(lexer::scan(src, lexer::ScanOptions{}).value);
  ASSERT_EQ(block::total(*blk), 11u);
  for (bool compact : {true, false}) {
    SCOPED_TRACE(compact ? "compact" : "fixed");
    RootedCell back(decode_one(velbin::encode(*blk, compact)));
    EXPECT_TRUE(same_value(*blk, *back));
    EXPECT_EQ(molded(*back), molded(*blk));
  }
}

// A decoded hash! finds its values through a table of its own; a decoded
// map holds only the live pairs and finds them by key.
TEST(Velbin, HashAndMapRecordsIndexTheirContent) {
  RootedCell b(block_of({gw("a"), integer_cell(7), str("x"), integer_cell(9)}));
  RootedCell h(call_action(act::to::SHAPE, {{act::to::TYPE, datatype_cell(TYPE_HASH)}, {act::to::SPEC, *b}}));
  RootedCell back(decode_one(velbin::encode(*h, true)));
  ASSERT_TRUE(back->is(TYPE_HASH));
  EXPECT_NE(back->w3, 0u);
  EXPECT_NE(back->w3, h->w3);
  RootedCell found(call_action(act::select::SHAPE, {{act::select::SERIES, *back}, {act::select::VALUE, str("x")}}));
  EXPECT_EQ(molded(*found), "9");

  RootedCell spec(block_of({gw("k", TYPE_SET_WORD), integer_cell(1), gw("gone", TYPE_SET_WORD), integer_cell(2)}));
  RootedCell m(call_action(act::make::SHAPE, {{act::make::TYPE, datatype_cell(TYPE_MAP)}, {act::make::SPEC, *spec}}));
  // remove/key: [series /part length /key key-arg]
  (void)call_action(act::remove::SHAPE, {{act::remove::SERIES, *m},
                                         {act::remove::KEY, logic_cell(true)},
                                         {act::remove::KEY_ARG, gw("gone", TYPE_SET_WORD)}});
  Bytes img = velbin::encode(*m, true);
  RootedCell mb(decode_one(img));
  ASSERT_TRUE(mb->is(TYPE_MAP));
  EXPECT_EQ(map::rs_length(*mb), 1u);
  EXPECT_EQ(molded(map::get(*mb, gw("k", TYPE_SET_WORD), false)), "1");
  EXPECT_EQ(molded(map::get(*mb, gw("gone", TYPE_SET_WORD), false)), "none");
}

// A map record with an odd cell count or a key no map can hold is refused.
TEST(Velbin, MapRecordsRefuseBadShapes) {
  // tag 40 (map), 3 cells: 1 2 3
  EXPECT_EQ(decode_error(compact_image({40, 3, 0x81, 0x82, 0x83})), ErrId::RB_INVALID_RECORD);
  // a none key
  EXPECT_EQ(decode_error(compact_image({40, 2, 3, 0x81})), ErrId::RB_INVALID_RECORD);
  // a claim of more cells than bytes left
  EXPECT_EQ(decode_error(compact_image({40, 0x80, 0x80, 0x04})), ErrId::RB_INVALID_RECORD);
}

TEST(Velbin, DateRecordsHoldRealDays) {
  auto compact_date = [](uint32_t packed, bool timed, double time, int time_bytes = 8) {
    Bytes p = {uint8_t(TYPE_DATE | (timed ? 0x40 : 0))};
    for (int i = 0; i < 4; i++) p.push_back(uint8_t(packed >> (8 * i)));
    uint64_t bits;
    std::memcpy(&bits, &time, 8);
    if (timed)
      for (int i = 0; i < time_bytes; i++) p.push_back(uint8_t(bits >> (8 * i)));
    return compact_image(p);
  };
  uint32_t jan1 = (2000u << 17) | (1u << 12) | (1u << 7);
  RootedCell ok(decode_one(compact_date(jan1 | date::TIME_FLAG, true, 3600.0)));
  EXPECT_EQ(molded(*ok), "1-Jan-2000/1:00:00");
  const struct {
    const char* name;
    Bytes img;
  } bad[] = {
      {"30 February", compact_date((2021u << 17) | (2u << 12) | (30u << 7), false, 0)},
      {"month 13", compact_date((2021u << 17) | (13u << 12) | (1u << 7), false, 0)},
      {"day 0", compact_date((2021u << 17) | (1u << 12), false, 0)},
      {"time flag without the variant", compact_date(jan1 | date::TIME_FLAG, false, 0)},
      {"variant without the time flag", compact_date(jan1, true, 0)},
      {"a zone without a time", compact_date(jan1 | 8, false, 0)},
      {"past its day", compact_date(jan1 | date::TIME_FLAG, true, 86400.0)},
      {"NaN time", compact_date(jan1 | date::TIME_FLAG, true, NAN)},
      {"truncated time", compact_date(jan1 | date::TIME_FLAG, true, 1.0, 5)},
  };
  for (const auto& c : bad) EXPECT_EQ(decode_error(c.img), ErrId::RB_INVALID_RECORD) << c.name;
}

// Money: the sign in the variant flag, the currency byte, 11 digit bytes;
// a nibble above 9 or a currency the list lacks is refused.
TEST(Velbin, MoneyRecordsHoldDigitsAndKnownCurrencies) {
  Cell m;
  ASSERT_TRUE(money::make_at(&m, true, "USD", "12", "5"));
  uint8_t usd = uint8_t(money::currency_index_of_text("USD"));
  Bytes rec = {0x71, usd, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x25, 0, 0};
  EXPECT_EQ(velbin::encode(m, true), compact_image(rec));
  RootedCell back(decode_one(compact_image(rec)));
  EXPECT_EQ(molded(*back), "-USD$12.50");
  Bytes nibble = rec;
  nibble[12] = 0x0A;
  Bytes currency = rec;
  currency[1] = 200;
  Bytes truncated(rec.begin(), rec.end() - 1);
  for (const Bytes& b : {nibble, currency, truncated})
    EXPECT_EQ(decode_error(compact_image(b)), ErrId::RB_INVALID_RECORD) << testing::PrintToString(b);
}

TEST(Velbin, WorkedExampleBytes) {
  RootedCell b(block_of({gw("a"), integer_cell(1), str("x")}));
  Bytes expected = {0x56, 0x45, 0x4C, 0x42, 0x49, 0x4E, 0x02, 0x05, 0x01, 0x08, 0x01, 0x02, 0x00,
                    0x00, 0x00, 0x00, 0x61, 0x00, 0x05, 0x03, 0x0F, 0x00, 0x81, 0x07, 0x04, 0x78};
  EXPECT_EQ(velbin::encode(*b, true), expected);
  RootedCell back(decode_one(expected));
  EXPECT_TRUE(same_value(*b, *back));
}

TEST(Velbin, CompactScalarBytes) {
  struct {
    Cell v;
    Bytes payload;
  } cases[] = {
      {integer_cell(63), {0xBF}},
      {integer_cell(64), {0x0B, 0x80, 0x01}},
      {integer_cell(-1), {0x0B, 0x01}},
      {float_cell(1.0), {0x4C, 0x02}},
      {float_cell(-0.0), {0x0C, 0, 0, 0, 0, 0, 0, 0, 0x80}},
      {typed(TYPE_PERCENT, 0.5), {0x66, 100}},  // 50 zigzagged
      {typed(TYPE_PERCENT, 0.01), {0x66, 0x02}},
      {typed(TYPE_PERCENT, 2.5), {0x66, 0xF4, 0x03}},
      {typed(TYPE_PERCENT, 0.125), {0x26, 0, 0, 0, 0, 0, 0, 0xC0, 0x3F}},
      {typed(TYPE_PERCENT, 0.005), {0x26, 0x7B, 0x14, 0xAE, 0x47, 0xE1, 0x7A, 0x74, 0x3F}},
      {logic_cell(false), {0xC3}},
      {datatype_cell(TYPE_INTEGER), {0x01, 0x0B}},
      {char_cell(0xE9), {0x0A, 0xE9, 0x01}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.payload));
    EXPECT_EQ(velbin::encode(c.v, true), compact_image(c.payload));
  }
  // Empty block; block at index 2; a typeset drops its trailing zero bytes.
  RootedCell e(block_of({}));
  EXPECT_EQ(velbin::encode(*e, true), compact_image({0x05, 0x00}));
  RootedCell at2(block_of({none_cell(), none_cell(), none_cell()}));
  at2->w1 = 2;
  EXPECT_EQ(velbin::encode(*at2, true), compact_image({0x45, 0x02, 0x03, 0x03, 0x03, 0x03}));
  Cell ts = typeset::empty();
  typeset::set_bit(&ts, TYPE_INTEGER);  // byte 1, bit 0x80 >> 3
  EXPECT_EQ(velbin::encode(ts, true), compact_image({0x21, 0x02, 0x00, 0x10}));
}

// Three bytes take no count; other counts a byte of their own; the fixed
// form keeps the count in header bits 8-11. Counts outside 1-12 are refused
// and bytes past the count never reach the value.
TEST(Velbin, TupleRecords) {
  EXPECT_EQ(velbin::encode(tuple_cell(3, 0x030201, 0, 0), true), compact_image({0x27, 1, 2, 3}));
  EXPECT_EQ(velbin::encode(tuple_cell(4, 0x04030201, 0, 0), true), compact_image({0x67, 4, 1, 2, 3, 4}));
  Cell one = decode_one(compact_image({0x67, 1, 9}));
  EXPECT_EQ(one.header, tuple_cell(3, 9, 0, 0).header);
  EXPECT_EQ(one.w1, 9u);
  for (uint8_t n : {0, 13}) EXPECT_EQ(decode_error(compact_image({0x67, n, 1, 2, 3})), ErrId::RB_INVALID_RECORD);
  EXPECT_EQ(decode_error(compact_image({0x27, 1, 2})), ErrId::RB_INVALID_RECORD);
  Bytes fixed = cat(header(0), {1, 0, 0, 0, 16, 0, 0, 0, 0x27, 0x03, 0, 0, 0xDD, 0xCC, 0xBB, 0xAA, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0});
  Cell t = decode_one(fixed);
  EXPECT_EQ(t.header, tuple_cell(3, 0, 0, 0).header);
  EXPECT_EQ(t.w1, 0xBBCCDDu);
  EXPECT_EQ(t.w2 | t.w3, 0u);
}

// One byte holds the element size (bits 0-1) and type (bits 2-7); only the
// widths make vector! allows decode, and a shared buffer is one vector.
TEST(Velbin, VectorRecords) {
  RootedCell v(vec({gw("integer!"), integer_cell(16), block_of({integer_cell(1), integer_cell(2)})}));
  EXPECT_EQ(velbin::encode(*v, true), compact_image({0x23, 0x2D, 0x02, 1, 0, 2, 0}));
  Bytes fixed = cat(header(0), {1, 0, 0, 0, 20, 0, 0, 0, 0x23, 0x02, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 11, 0, 0, 0, 1, 0, 2, 0});
  EXPECT_EQ(velbin::encode(*v, false), fixed);
  // float! at 8 bits, percent! at 32, an element type of word!, a count past the bytes.
  for (Bytes body : {Bytes{0x23, 0x30, 1, 0}, Bytes{0x23, uint8_t(2 | 38 << 2), 1, 0, 0, 0, 0},
                     Bytes{0x23, uint8_t(15 << 2), 1, 0}, Bytes{0x23, 0x2D, 3, 1, 0, 2, 0}})
    EXPECT_EQ(decode_error(compact_image(body)), ErrId::RB_INVALID_RECORD);
  RootedCell twice(block_of({*v, *v}));
  RootedCell back(decode_one(velbin::encode(*twice, true)));
  Cell a = *block::rs_abs_at(*back, 0), b = *block::rs_abs_at(*back, 1);
  EXPECT_EQ(a.node(), b.node());
  EXPECT_EQ(b.w3, uint32_t(TYPE_INTEGER));
}

TEST(Velbin, StringWidthsAndFixedStringBytes) {
  RootedCell s(str("a\xF0\x9F\x98\x80"));  // U+1F600: 4-byte units for the whole string
  EXPECT_EQ(velbin::encode(*s, true),
            compact_image({0x07, 0x0A, 'a', 0, 0, 0, 0x00, 0xF6, 0x01, 0x00}));
  // Fixed: header with the unit in bits 8-15, head, count, bytes, padding to 4.
  RootedCell f(str("xyz", TYPE_FILE, 1));
  Bytes expected = cat(header(0), {1, 0, 0, 0, 16, 0, 0, 0, 0x08, 0x01, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0,
                                   'x', 'y', 'z', 0});
  EXPECT_EQ(velbin::encode(*f, false), expected);
  RootedCell back(decode_one(expected));
  EXPECT_TRUE(same_value(*f, *back));
}

TEST(Velbin, FixedWordsAndFloatsWithSymbolTable) {
  RootedCell b(block_of({gw("ab"), float_cell(1.0)}));
  Bytes img = velbin::encode(*b, false);
  Bytes expected = cat(header(velbin::FLAG_SYMBOLS),
                       {1, 0, 0, 0, 36, 0, 0, 0,           // count, payload size
                        1, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0,  // 1 symbol, 8 bytes, offset 0
                        'a', 'b', 0, 0, 0, 0, 0, 0,          // text padded to 8
                        5, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0,  // block, head 0, 2 cells
                        15, 0, 0, 2, 0, 0, 0, 0});          // word bound globally, symbol 0
  ASSERT_GE(img.size(), 64u);
  EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 56, img.begin()));
  // The float record starts on a multiple of 8 from the payload start.
  size_t payload_start = 16 + 8 + 8 + 4;
  size_t float_at = img.size() - 12;
  EXPECT_EQ((float_at - payload_start) % 8, 0u);
  EXPECT_EQ(img[float_at], 12);
  RootedCell back(decode_one(img));
  EXPECT_TRUE(same_value(*b, *back));
}

TEST(Velbin, SharedAndSelfContainingSeriesAreReferences) {
  // A block holding itself: prefix 0xC1, tag 0x05, path [0].
  RootedCell self(block_of({}));
  block::rs_append(self->node(), *self);
  EXPECT_EQ(velbin::encode(*self, true), compact_image({0x05, 0x01, 0xC1, 0x05, 0x01, 0x00}));
  for (bool compact : {true, false}) {
    RootedCell back(decode_one(velbin::encode(*self, compact)));
    EXPECT_EQ(block::rs_abs_at(*back, 0)->node(), back->node());
  }
  // One series at indexes 0 and 3: one full record, one reference with head 3.
  RootedCell s(str("abcdef"));
  Cell s3 = *s;
  s3.w1 = 3;
  RootedCell pair(block_of({*s, s3}));
  EXPECT_EQ(velbin::encode(*pair, true),
            compact_image({0x05, 0x02, 0x07, 0x18, 'a', 'b', 'c', 'd', 'e', 'f', 0xC1, 0x47, 0x03, 0x02, 0x00,
                           0x00}));
  for (bool compact : {true, false}) {
    RootedCell back(decode_one(velbin::encode(*pair, compact)));
    Cell a = *block::rs_abs_at(*back, 0), b = *block::rs_abs_at(*back, 1);
    EXPECT_EQ(a.node(), b.node());
    EXPECT_EQ(b.index(), 3);
  }
  // 0xFF copies the designated cell as it is.
  RootedCell copy(velbin::decode(compact_image({0x8A, 0xFF, 0x01, 0x00})));
  ASSERT_EQ(block::total(*copy), 2u);
  EXPECT_EQ(block::rs_abs_at(*copy, 1)->i2(), 10);
}

TEST(Velbin, BitsetBytesSharingAndHostileCounts) {
  // Compact: tag 30 (variant 0x40 when complemented), byte count, bytes.
  RootedCell a(bitset::make(str("A"), false));
  EXPECT_EQ(velbin::encode(*a, true), compact_image({0x1E, 0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0x40}));
  RootedCell n(bitset::complement(*a));
  EXPECT_EQ(velbin::encode(*n, true), compact_image({0x5E, 0x09, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xBF}));
  // Fixed: header bit 23 for the flag, the count, the bytes padded to 4.
  Bytes fixed = velbin::encode(*n, false);
  RootedCell back(decode_one(fixed));
  EXPECT_TRUE(bitset::complemented(*back));
  EXPECT_FALSE(bitset::test_bit(*back, 'A'));
  EXPECT_TRUE(bitset::test_bit(*back, 100000));
  // One bitset held twice decodes as one.
  RootedCell pair(block_of({*a, *a}));
  for (bool compact : {true, false}) {
    RootedCell two(decode_one(velbin::encode(*pair, compact)));
    EXPECT_EQ(block::rs_abs_at(*two, 0)->node(), block::rs_abs_at(*two, 1)->node());
  }
  // A count past the input or past the largest bitset; a reference to a
  // value that is no bitset.
  EXPECT_EQ(decode_error(compact_image({0x1E, 0x05, 1, 2})), ErrId::RB_INVALID_RECORD);
  EXPECT_EQ(decode_error(compact_image({0x1E, 0x80, 0x80, 0x80, 0x80, 0x01})), ErrId::RB_INVALID_RECORD);
  EXPECT_EQ(decode_error(compact_image({0x05, 0x02, 0x81, 0xC1, 0x1E, 0x02, 0x00, 0x00})), ErrId::RB_INVALID_RECORD);
}

TEST(Velbin, BinaryBytesSharingAndHostileCounts) {
  // Compact: tag 41 (variant 0x40 with a head index), byte count, bytes.
  RootedCell b(binary::load(reinterpret_cast<const uint8_t*>("\x01\x02\xFF"), 3));
  EXPECT_EQ(velbin::encode(*b, true), compact_image({0x29, 0x03, 0x01, 0x02, 0xFF}));
  RootedCell at1(*b);
  at1->w1 = 1;
  EXPECT_EQ(velbin::encode(*at1, true), compact_image({0x69, 0x01, 0x03, 0x01, 0x02, 0xFF}));
  // Fixed: header with unit 1 in bits 8-15, head, count, bytes padded to 4.
  Bytes fixed = cat(header(0), {1, 0, 0, 0, 16, 0, 0, 0, 0x29, 0x01, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 1, 2, 0xFF, 0});
  EXPECT_EQ(velbin::encode(*at1, false), fixed);
  for (bool compact : {true, false}) {
    RootedCell back(decode_one(velbin::encode(*at1, compact)));
    EXPECT_TRUE(same_value(*at1, *back));
    // One binary held twice decodes as one buffer.
    RootedCell pair(block_of({*b, *at1}));
    RootedCell two(decode_one(velbin::encode(*pair, compact)));
    EXPECT_EQ(block::rs_abs_at(*two, 0)->node(), block::rs_abs_at(*two, 1)->node());
    EXPECT_EQ(block::rs_abs_at(*two, 1)->index(), 1);
  }
  // A count past the input; a fixed header of another unit; a binary
  // record that refers to a string.
  EXPECT_EQ(decode_error(compact_image({0x29, 0x05, 1, 2})), ErrId::RB_INVALID_RECORD);
  EXPECT_EQ(decode_error(compact_image({0x29, 0x80, 0x80, 0x80, 0x80, 0x01})), ErrId::RB_INVALID_RECORD);
  Bytes wide = fixed;
  wide[17] = 2;
  EXPECT_EQ(decode_error(wide), ErrId::RB_INVALID_RECORD);
  EXPECT_EQ(decode_error(compact_image({0x05, 0x02, 0x07, 0x04, 'a', 0xC1, 0x29, 0x02, 0x00, 0x00})),
            ErrId::RB_INVALID_RECORD);
}

TEST(Velbin, LzPackedPayload) {
  RootedCell b(block_of({str("packed packed packed"), integer_cell(7), gw("zz")}));
  Bytes plain = velbin::encode(*b, true);
  Bytes packed = header(plain[7] | velbin::FLAG_PACKED);
  Bytes body = lztest::lz_encode(std::span<const uint8_t>(plain).subspan(8));
  packed = cat(packed, body);
  RootedCell back(decode_one(packed));
  EXPECT_TRUE(same_value(*b, *back));
  packed.back() ^= 0xFF;
  packed.resize(packed.size() - 3);
  EXPECT_EQ(decode_error(packed), ErrId::INVALID_DATA);
}

TEST(Velbin, TruncationAtEveryOffsetIsAnError) {
  RootedCell inner(str("shared"));
  RootedCell v(block_of({gw("a"), integer_cell(1000), *inner, block_of({float_cell(0.5), *inner}),
                         typeset::make_default(), char_cell(0x263A)}));
  for (bool compact : {true, false}) {
    Bytes img = velbin::encode(*v, compact);
    for (size_t n = 0; n < img.size(); n++) {
      Bytes cut(img.begin(), img.begin() + n);
      auto err = decode_error(cut);
      ASSERT_TRUE(err.has_value()) << "prefix of " << n << " bytes decoded";
      EXPECT_TRUE(*err == ErrId::INVALID_DATA || *err == ErrId::RB_INVALID_RECORD);
    }
  }
}

TEST(Velbin, ClaimsOfTwoToThe31Elements) {
  const Bytes huge = {0x80, 0x80, 0x80, 0x80, 0x08};  // varint 2^31
  // A block, a string (e = 2^31: 2^29 four-byte units), a reference path.
  EXPECT_EQ(decode_error(compact_image(cat({0x05}, huge))), ErrId::RB_INVALID_RECORD);
  EXPECT_EQ(decode_error(compact_image(cat({0x07}, {0x82, 0x80, 0x80, 0x80, 0x08}))), ErrId::RB_INVALID_RECORD);
  EXPECT_EQ(decode_error(compact_image(cat({0xFF}, huge))), ErrId::RB_INVALID_RECORD);
  // A symbol table claiming 2^31 symbols; a payload size beyond the input.
  Bytes syms = cat(header(velbin::FLAG_COMPACT | velbin::FLAG_SYMBOLS), cat({0x01, 0x01}, cat(huge, {0x02, 0x61, 0x00})));
  EXPECT_EQ(decode_error(syms), ErrId::RB_INVALID_RECORD);
  EXPECT_EQ(decode_error(cat(header(velbin::FLAG_COMPACT), cat({0x01}, cat(huge, {0x03, 0x03})))),
            ErrId::RB_INVALID_RECORD);
  // Fixed form: a block of 2^31 cells; a string of 2^31 four-byte units.
  Bytes fixed_block = cat(header(0), {1, 0, 0, 0, 16, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0});
  EXPECT_EQ(decode_error(fixed_block), ErrId::RB_INVALID_RECORD);
  Bytes fixed_string = cat(header(0), {1, 0, 0, 0, 16, 0, 0, 0, 7, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0});
  EXPECT_EQ(decode_error(fixed_string), ErrId::RB_INVALID_RECORD);
}

TEST(Velbin, ReferencesMustNameCellsThatExist) {
  struct {
    const char* name;
    Bytes payload;
  } cases[] = {
      {"top-level self", {0xFF, 0x01, 0x00}},
      {"forward at top level", {0x81, 0xFF, 0x01, 0x05}},
      {"element equal to the length", {0x81, 0xFF, 0x01, 0x01}},
      {"self inside its block", {0x05, 0x01, 0xC1, 0x05, 0x02, 0x00, 0x00}},
      {"backward out of range", {0x05, 0x01, 0x81, 0x05, 0x01, 0xFF, 0x02, 0x00, 0x07}},
      {"through a non-container", {0x81, 0xFF, 0x02, 0x00, 0x00}},
      {"empty path", {0x81, 0xFF, 0x00}},
      {"string record over a block", {0x05, 0x00, 0xC1, 0x07, 0x01, 0x00}},
      {"prefixed small integer", {0xC1, 0x81}},
      {"reference to an integer record", {0x81, 0xC1, 0x0B, 0x01, 0x00}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode_error(compact_image(c.payload)), ErrId::RB_INVALID_RECORD);
  }
  // A path longer than the limit.
  Bytes longpath = {0x81, 0xFF, 0x81, 0x80, 0x04};  // 65,537
  longpath.resize(longpath.size() + 65537, 0);
  EXPECT_EQ(decode_error(compact_image(longpath)), ErrId::RB_INVALID_RECORD);
}

TEST(Velbin, StructuralFaultsAndTheirOffsets) {
  // The failing byte's 1-based offset: payload starts at image offset 10.
  EXPECT_EQ(error_offset(compact_image({0xC5})), 11);
  EXPECT_EQ(error_offset(compact_image({0x81, 0x00})), 12);       // type 0
  EXPECT_EQ(error_offset(compact_image({0x0D})), 11);             // symbol! has no record
  EXPECT_EQ(error_offset(compact_image({0x2A})), 11);             // series! neither
  EXPECT_EQ(error_offset(compact_image({0xC4, 0x0F, 0x00})), 11); // set-records are boot-only
  EXPECT_EQ(error_offset(compact_image({0x04})), 11);             // logic is 0xC2/0xC3
  EXPECT_EQ(error_offset(compact_image({0x0B, 0xFF, 0xFF, 0xFF, 0xFF, 0x1F})), 16);  // 5th byte too big
  EXPECT_EQ(error_offset(compact_image({0x01, 0x37})), 12);       // datatype id 55
  EXPECT_EQ(error_offset(compact_image({0x0A, 0x80, 0x80, 0xC4, 0x00})), 12);  // char above U+10FFFF
  EXPECT_EQ(error_offset(compact_image({0x21, 0x0D})), 12);       // typeset of 13 bytes
  EXPECT_EQ(error_offset(compact_image({0x07, 0x03})), 12);       // w = 3
  EXPECT_EQ(error_offset(compact_image({0x0F, 0x00})), 12);       // symbol without a table
  // The varint 0xFF 0xFF 0xFF 0xFF 0x0F is 0xFFFFFFFF: zigzag INT_MIN.
  RootedCell big(decode_one(compact_image({0x0B, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F})));
  EXPECT_EQ(big->i2(), INT_MIN);
  // A string area not ending in 0 is refused before any record.
  Bytes syms = cat(header(velbin::FLAG_COMPACT | velbin::FLAG_SYMBOLS),
                   {0x01, 0x02, 0x01, 0x02, 0, 0, 0, 0, 'a', 'b', 0x0F, 0x00});
  EXPECT_EQ(decode_error(syms), ErrId::RB_INVALID_RECORD);
  // A symbol text that is not UTF-8; an offset past the area.
  Bytes bad_text = cat(header(velbin::FLAG_COMPACT | velbin::FLAG_SYMBOLS),
                       {0x01, 0x02, 0x01, 0x02, 0, 0, 0, 0, 0xFF, 0x00, 0x0F, 0x00});
  EXPECT_EQ(decode_error(bad_text), ErrId::RB_INVALID_RECORD);
  Bytes bad_offset = cat(header(velbin::FLAG_COMPACT | velbin::FLAG_SYMBOLS),
                         {0x01, 0x02, 0x01, 0x02, 9, 0, 0, 0, 'a', 0x00, 0x0F, 0x00});
  EXPECT_EQ(decode_error(bad_offset), ErrId::RB_INVALID_RECORD);
  // Fixed form: an unknown type id is refused, not looped on.
  EXPECT_EQ(decode_error(cat(header(0), {1, 0, 0, 0, 4, 0, 0, 0, 42, 0, 0, 0})), ErrId::RB_INVALID_RECORD);
  EXPECT_EQ(decode_error(cat(header(0), {1, 0, 0, 0, 4, 0, 0, 0, 99, 0, 0, 0})), ErrId::RB_INVALID_RECORD);
  // Bad magic and too-short input.
  EXPECT_EQ(decode_error(cat({'V', 'E', 'L', 'B', 'I', 'X', 2, 1}, {1, 1, 0x81})), ErrId::INVALID_DATA);
  EXPECT_EQ(decode_error(compact_image({})), ErrId::INVALID_DATA);
}

TEST(Velbin, NestingDepthIsLimited) {
  Bytes deep;
  for (int i = 0; i < 100000; i++) deep.push_back(0x05), deep.push_back(0x01);
  deep.push_back(0x81);
  EXPECT_EQ(decode_error(compact_image(deep)), ErrId::RB_INVALID_RECORD);
  // Encoding a too-deep block raises instead of overflowing the C++ stack.
  RootedCell outer(block_of({}));
  RootedCell cur(*outer);
  for (int i = 0; i < 5000; i++) {
    RootedCell next(block_of({}));
    block::rs_append(cur->node(), *next);
    *cur = *next;
  }
  EXPECT_EQ(error_of([&] { (void)velbin::encode(*outer, true); }), ErrId::STACK_OVERFLOW);
}

TEST(Velbin, TypesWithoutACodecOrNotBuiltYet) {
  // no-codec both ways, and the encoder works again afterwards.
  Cell handle = make_cell(TYPE_HANDLE);
  RootedCell holder(block_of({integer_cell(1), handle}));
  EXPECT_EQ(error_of([&] { (void)velbin::encode(*holder, true); }), ErrId::NO_CODEC);
  EXPECT_EQ(velbin::encode(integer_cell(1), true), compact_image({0x81}));
  for (uint8_t t : {29, 31, 46, 48, 54}) EXPECT_EQ(decode_error(compact_image({t})), ErrId::NO_CODEC) << int(t);
  // image! records decode now: an empty image, and a short record is a
  // structural fault.
  RootedCell out(velbin::decode(compact_image({53, 0x00, 0x00})));
  EXPECT_TRUE(block::rs_abs_at(*out, 0)->is(TYPE_IMAGE));
  EXPECT_EQ(decode_error(compact_image({53, 0x00})), ErrId::RB_INVALID_RECORD);
}

namespace {

struct Field {
  const char* name;
  Cell value;
};

Cell make_object(std::initializer_list<Field> fields) {
  RootedCell o(object::make_empty(uint32_t(fields.size())));
  for (const Field& f : fields) {
    RootedCell v(f.value);
    int32_t i = context::add_word(o->w1, symbol::make(f.name));
    *context::value_at(o->w1, uint32_t(i)) = *v;
  }
  return *o;
}

// A word bound to a field of the object.
Cell field_word(const Cell& o, const char* name, TypeId t = TYPE_WORD) {
  uint32_t s = symbol::make(name);
  return make_cell(t, o.w1, s, uint32_t(context::find_word(o.w1, s)));
}

Cell field(const Cell& o, const char* name) {
  return *context::value_at(o.w1, uint32_t(context::find_word(o.w1, symbol::make(name))));
}

}  // namespace

TEST(Velbin, ObjectsAndTheirBoundWordsRoundTrip) {
  RootedCell o(make_object({{"a", integer_cell(1)}, {"b", str("x")}, {"c", none_cell()}}));
  // c holds a block of words bound to the object, and the object itself.
  RootedCell c(block_of({field_word(*o, "a"), field_word(*o, "b", TYPE_SET_WORD), *o}));
  *context::value_at(o->w1, 2) = *c;
  for (bool compact : {true, false}) {
    SCOPED_TRACE(compact ? "compact" : "fixed");
    Bytes img = velbin::encode(*o, compact);
    RootedCell back(decode_one(img));
    ASSERT_TRUE(back->is(TYPE_OBJECT));
    EXPECT_NE(back->w1, o->w1);
    EXPECT_EQ(context::word_count(back->w1), 3u);
    EXPECT_EQ(field(*back, "a").i2(), 1);
    EXPECT_TRUE(same_value(field(*o, "b"), field(*back, "b")));
    Cell blk = field(*back, "c");
    ASSERT_TRUE(blk.is(TYPE_BLOCK));
    Cell w0 = *block::rs_abs_at(blk, 0), w1 = *block::rs_abs_at(blk, 1), self = *block::rs_abs_at(blk, 2);
    EXPECT_EQ(w0.w1, back->w1);
    EXPECT_EQ(w0.i3(), 0);
    EXPECT_TRUE(w1.is(TYPE_SET_WORD));
    EXPECT_EQ(w1.w1, back->w1);
    EXPECT_EQ(w1.i3(), 1);
    EXPECT_EQ(self.w1, back->w1);
    EXPECT_EQ(context::owner(back->w1).w1, back->w1);
    RootedCell again(decode_one(velbin::encode(*back, compact)));
    EXPECT_EQ(field(*again, "a").i2(), 1);
  }
}

TEST(Velbin, AWordMetBeforeItsObjectCarriesTheObject) {
  RootedCell o(make_object({{"n", integer_cell(7)}}));
  RootedCell b(block_of({field_word(*o, "n"), *o, field_word(*o, "n", TYPE_GET_WORD)}));
  // The word's record holds the object in place; the object and the second
  // word then refer to it through the word (path [0 0]).
  Bytes cls;  // the class id, a session number
  uint32_t z = (o->w2 << 1) ^ uint32_t(o->i2() >> 31);
  while (z >= 0x80) cls.push_back(uint8_t(z | 0x80)), z >>= 7;
  cls.push_back(uint8_t(z));
  Bytes payload = cat(cat({0x05, 0x03, 0x4F, 0x00, 0x00, 0x20}, cls),
                      {0x0E, 0x1A, 0x01, 0x00, 0x87, 0xC1, 0x20, 0x02, 0x00, 0x00, 0x52, 0x00, 0x00, 0xC1, 0x02,
                       0x00, 0x00});
  Bytes img = velbin::encode(*b, true);
  ASSERT_GE(img.size(), payload.size());
  EXPECT_EQ(Bytes(img.end() - payload.size(), img.end()), payload);
  for (bool compact : {true, false}) {
    RootedCell back(decode_one(velbin::encode(*b, compact)));
    Cell w = *block::rs_abs_at(*back, 0), obj = *block::rs_abs_at(*back, 1), g = *block::rs_abs_at(*back, 2);
    ASSERT_TRUE(obj.is(TYPE_OBJECT));
    EXPECT_EQ(w.w1, obj.w1);
    EXPECT_EQ(g.w1, obj.w1);
    EXPECT_EQ(field(obj, "n").i2(), 7);
  }
}

TEST(Velbin, HostileObjectRecords) {
  const uint8_t C = velbin::FLAG_COMPACT | velbin::FLAG_SYMBOLS;
  auto with_syms = [&](const Bytes& payload) {
    Bytes img = header(C);
    img.push_back(1);
    img.push_back(uint8_t(payload.size()));
    img = cat(img, {0x02, 0x04, 0, 0, 0, 0, 2, 0, 0, 0, 'a', 0, 'b', 0});
    return cat(img, payload);
  };
  // Valid: object {a: 1 b: 2}.
  RootedCell ok(decode_one(with_syms({0x20, 0x00, 0x0E, 0x12, 0x02, 0x00, 0x01, 0x81, 0x82})));
  EXPECT_EQ(field(*ok, "b").i2(), 2);
  struct {
    const char* name;
    Bytes payload;
  } cases[] = {
      {"field listed twice", {0x20, 0x00, 0x0E, 0x12, 0x02, 0x00, 0x00, 0x81, 0x82}},
      {"handler past the fields", {0x60, 0x00, 0x04, 0x01, 0x0E, 0x12, 0x01, 0x00, 0x81}},
      {"no context record", {0x20, 0x00, 0x0B, 0x12, 0x01, 0x00, 0x81}},
      {"stack values in an object", {0x20, 0x00, 0x0E, 0x16, 0x01, 0x00}},
      {"word index past the fields", {0x4F, 0x00, 0x04, 0x20, 0x00, 0x0E, 0x02, 0x01, 0x00}},
      {"word index of a missing word", {0x4F, 0x01, 0x01, 0x20, 0x00, 0x0E, 0x02, 0x01, 0x00}},
      {"holder that is not an object", {0x4F, 0x00, 0x00, 0x0B, 0x00}},
      {"holder reference to an integer", {0x81, 0x4F, 0x00, 0x00, 0xC1, 0x01, 0x00}},
      {"object reference to a block", {0x05, 0x00, 0xC1, 0x20, 0x01, 0x00}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode_error(with_syms(c.payload)), ErrId::RB_INVALID_RECORD);
  }
}

TEST(Velbin, ErrorsRoundTripWithTheirFields) {
  Cell arg = str("bad thing");
  RootedCell err(error::create(ErrId::INVALID_ARG, 1, &arg));
  // near holds whatever code ran last in this process: make it known.
  error::set_field(*err, error::NEAR, integer_cell(7));
  error::set_field(*err, error::ARG2, integer_cell(42));
  error::set_field(*err, error::ARG3, *err);  // an error holding itself
  for (bool compact : {true, false}) {
    SCOPED_TRACE(compact ? "compact" : "fixed");
    // The block also refers to arg1 through the error: path [0 0 0].
    RootedCell b(block_of({*err}));
    Bytes img = velbin::encode(*b, compact);
    RootedCell back(decode_one(img));
    Cell e = *block::rs_abs_at(*back, 0);
    ASSERT_TRUE(e.is(TYPE_ERROR));
    EXPECT_EQ(error::runtime_id(e), ErrId::INVALID_ARG);
    EXPECT_TRUE(same_value(error::field(*err, error::ARG1), error::field(e, error::ARG1)));
    EXPECT_EQ(error::field(e, error::ARG2).i2(), 42);
    EXPECT_EQ(error::field(e, error::ARG3).w1, e.w1);
    EXPECT_TRUE(error::field(e, error::FILES).is(TYPE_NONE));
  }
  // A path enters an error from arg1 (element 0); stack is element 5, files
  // is beyond reach.
  Bytes e_img = velbin::encode(*err, true);
  Bytes payload(e_img.end() - (e_img[9] & 0x7F), e_img.end());
  RootedCell two(velbin::decode(compact_image(cat(payload, {0xFF, 0x02, 0x00, 0x00}))));
  EXPECT_TRUE(same_value(*block::rs_abs_at(*two, 1), error::field(*err, error::ARG1)));
  EXPECT_EQ(decode_error(compact_image(cat(payload, {0xFF, 0x02, 0x00, 0x06}))), ErrId::RB_INVALID_RECORD);
  // An unknown error code; an error reference to a block.
  EXPECT_EQ(decode_error(compact_image({0x22, 0xFF, 0xFF, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03, 0x03})),
            ErrId::RB_INVALID_RECORD);
  EXPECT_EQ(decode_error(compact_image({0x05, 0x00, 0xC1, 0x22, 0x01, 0x00})), ErrId::RB_INVALID_RECORD);
}

Cell make_callable(TypeId t, uint32_t number) {
  RootedCell spec(block_of({gw("series"), gw("value")}));
  RootedCell args(block_of({*spec, integer_cell(int32_t(number))}));
  return call_action(act::make::SHAPE, {{act::make::TYPE, datatype_cell(t)}, {act::make::SPEC, *args}});
}

TEST(Velbin, NativesActionsAndOpsByNumber) {
  uint32_t native = 1;
  while (native <= NATIVE_SLOTS && !g_natives[native]) native++;
  ASSERT_LE(native, NATIVE_SLOTS);
  RootedCell act(make_callable(TYPE_ACTION, ACT_APPEND));
  RootedCell nat(make_callable(TYPE_NATIVE, native));
  RootedCell op(*act);
  op->header = TYPE_OP | (TYPE_ACTION << 16);
  for (Cell* f : {act.get(), nat.get(), op.get()}) {
    for (bool compact : {true, false}) {
      SCOPED_TRACE(molded(*f) + (compact ? " compact" : " fixed"));
      // The function twice: the second time its spec is a reference.
      RootedCell b(block_of({*f, *f}));
      RootedCell back(decode_one(velbin::encode(*b, compact)));
      Cell g = *block::rs_abs_at(*back, 0), h = *block::rs_abs_at(*back, 1);
      EXPECT_EQ(g.header, f->header);
      EXPECT_EQ(g.w1, f->w1);  // the number
      EXPECT_EQ(molded(g), molded(*f));
      EXPECT_EQ(h.header, f->header);
      EXPECT_EQ(molded(h), molded(*f));
    }
  }
  // No native of that number; a spec that is not a block; an op over an integer.
  EXPECT_EQ(decode_error(compact_image({0x15, 0x7F, 0x05, 0x00})), ErrId::RB_INVALID_RECORD);
  EXPECT_EQ(decode_error(compact_image({0x16, 0x01, 0x81})), ErrId::RB_INVALID_RECORD);
  EXPECT_EQ(decode_error(compact_image({0x17, 0x81})), ErrId::RB_INVALID_RECORD);
}

namespace {

// A function! made as `func` makes it: its body copied and bound to a new
// context built from the spec.
Cell make_function(const Cell& spec, const Cell& body) {
  RootedCell s(spec), b(body);
  uint32_t mark = uint32_t(g_stack.top - g_stack.begin);
  (void)func::function_push(*s, *b, 0, 0, nullptr, func::check_spec(*s));
  Cell f = g_stack.begin[mark];
  g_stack.top = g_stack.begin + mark;
  return f;
}

}  // namespace

TEST(Velbin, FunctionsKeepTheirBindings) {
  RootedCell spec(block_of({gw("x"), gw("local", TYPE_REFINEMENT), gw("y")}));
  RootedCell body(block_of({gw("y", TYPE_SET_WORD), gw("x"), gw("add"), gw("x"), gw("y")}));
  RootedCell f(make_function(*spec, *body));
  Cell fbody = *func::more_cell(*f, func::MORE_BODY);
  Cell bound_x = *block::rs_abs_at(fbody, 1);
  ASSERT_EQ(bound_x.w1, f->w1);
  RootedCell op(*f);
  op->header = TYPE_OP | (TYPE_FUNCTION << 16);
  // A word of the function met first carries the function; the function,
  // an op over it and a second word then refer to it.
  RootedCell b(block_of({bound_x, *f, *op, bound_x}));
  for (bool compact : {true, false}) {
    SCOPED_TRACE(compact ? "compact" : "fixed");
    RootedCell back(decode_one(velbin::encode(*b, compact)));
    Cell w = *block::rs_abs_at(*back, 0), g = *block::rs_abs_at(*back, 1);
    Cell o = *block::rs_abs_at(*back, 2), w2 = *block::rs_abs_at(*back, 3);
    ASSERT_TRUE(g.is(TYPE_FUNCTION));
    EXPECT_NE(g.w1, f->w1);
    EXPECT_EQ(molded(g), molded(*f));
    EXPECT_TRUE(context::is_stack(g.w1));
    EXPECT_EQ(context::owner(g.w1).w3, g.w3);
    EXPECT_EQ(w.w1, g.w1);
    EXPECT_EQ(w2.w1, g.w1);
    EXPECT_EQ(w.w3, bound_x.w3);
    Cell gbody = *func::more_cell(g, func::MORE_BODY);
    for (uint32_t i = 0; i < block::total(gbody); i++) {
      Cell e = *block::rs_abs_at(gbody, i);
      if (e.w2 == symbol::make("add")) EXPECT_EQ(e.w1, context::g_global);
      else EXPECT_EQ(e.w1, g.w1) << i;
    }
    EXPECT_EQ(o.header, op->header);
    EXPECT_EQ(o.w1, g.w1);
  }
  // A function record with a context that is not a function's; a bad spec.
  EXPECT_EQ(decode_error(compact_image({0x18, 0x00, 0x00, 0x0E, 0x12, 0x00, 0x05, 0x00, 0x05, 0x00})),
            ErrId::RB_INVALID_RECORD);
  EXPECT_EQ(decode_error(compact_image({0x18, 0x01, 0x00, 0x0E, 0x05, 0x00, 0x05, 0x01, 0x81, 0x05, 0x00})),
            ErrId::RB_INVALID_RECORD);
  // A function's context keeps its values on the stack: the record of an
  // empty function decodes, and the same record flagged with values does not.
  Bytes fn = {0x18, 0x00, 0x00, 0x0E, 0x05, 0x00, 0x05, 0x00, 0x05, 0x00};
  RootedCell empty(decode_one(compact_image(fn)));
  EXPECT_TRUE(empty->is(TYPE_FUNCTION));
  fn[4] = 0x15;
  EXPECT_EQ(decode_error(compact_image(fn)), ErrId::RB_INVALID_RECORD);
}

namespace {

// A compact image with a symbol table around a payload.
Bytes compact_image_with(const std::vector<std::string>& symbols, const Bytes& payload) {
  Bytes strings, offsets;
  for (const std::string& s : symbols) {
    uint32_t off = uint32_t(strings.size());
    for (int i = 0; i < 4; i++) offsets.push_back(uint8_t(off >> (8 * i)));
    strings.insert(strings.end(), s.begin(), s.end());
    strings.push_back(0);
  }
  auto varint = [](Bytes& out, uint32_t n) {
    while (n >= 0x80) out.push_back(uint8_t(n | 0x80)), n >>= 7;
    out.push_back(uint8_t(n));
  };
  Bytes img = header(velbin::FLAG_COMPACT | velbin::FLAG_SYMBOLS);
  img.push_back(1);
  varint(img, uint32_t(payload.size()));
  varint(img, uint32_t(symbols.size()));
  varint(img, uint32_t(strings.size()));
  return cat(cat(cat(img, offsets), strings), payload);
}

Cell boot_decode(const Bytes& img) {
  RootedCell out(block::make_at(4));
  velbin::decode_into(img, out->node(), nullptr, true);
  return *out;
}

Cell global_value(const char* text) { return word::get_any(gw(text)); }

}  // namespace

// Boot mode: set records bind words and leave nothing in the block; codec
// mode refuses them.
TEST(Velbin, BootSetRecordsSetWordsAndLeaveNothing) {
  Bytes payload = {0xC4, 0x0F, 0x00, 0x81,               // boot-set-a: 1
                   0xC4, 0x0F, 0x01, 0x05, 0x02, 0x81, 0x82,  // boot-set-b: [1 2]
                   0x83};                                  // 3, an ordinary value
  Bytes img = compact_image_with({"boot-set-a", "boot-set-b"}, payload);
  RootedCell out(boot_decode(img));
  EXPECT_EQ(test::molded(*out), "[3]");
  EXPECT_EQ(global_value("boot-set-a").i2(), 1);
  EXPECT_EQ(test::molded(global_value("boot-set-b")), "[1 2]");
  EXPECT_EQ(decode_error(img), ErrId::RB_INVALID_RECORD);
  // A set record must name a word and be followed by a value.
  EXPECT_EQ(error_of([&] { (void)boot_decode(compact_image_with({"x"}, {0xC4, 0x81})); }), ErrId::RB_INVALID_RECORD);
  EXPECT_EQ(error_of([&] { (void)boot_decode(compact_image_with({"x"}, {0xC4, 0x0F, 0x00})); }), ErrId::RB_INVALID_RECORD);
  EXPECT_EQ(error_of([&] { (void)boot_decode(compact_image_with({"x"}, {0xC1, 0xC4, 0x0F, 0x00, 0x81})); }),
            ErrId::RB_INVALID_RECORD);

  // The fixed form: a word header with bit 25, symbol, context -1, index -1.
  Bytes fixed = cat(header(velbin::FLAG_SYMBOLS), {1, 0, 0, 0, 24, 0, 0, 0,   // count, payload size
                                                   1, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0,  // 1 symbol, 8 bytes
                                                   'b', 'o', 'o', 't', '-', 'f', 0, 0,
                                                   15, 0, 0, 2, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                   11, 0, 0, 0, 42, 0, 0, 0});
  RootedCell f(boot_decode(fixed));
  EXPECT_EQ(test::molded(*f), "[]");
  EXPECT_EQ(global_value("boot-f").i2(), 42);
}

// Boot mode: a word names its context by a root cell counted from where
// this load began.
TEST(Velbin, BootWordsNameTheirContextByRootCell) {
  RootedCell obj(make_object({{"boot-field", integer_cell(7)}}));
  Bytes img = velbin::encode(*obj, true);
  // Append a word record to the payload: boot-field (symbol 0) in the
  // context of root cell 0, looked up by symbol (index -1, zigzag 1).
  ASSERT_LT(img[9], 0x80);  // a one-byte payload size
  Bytes word_rec = {0x4F, 0x00, 0x00, 0x01};
  img[9] = uint8_t(img[9] + word_rec.size());
  img = cat(img, word_rec);
  RootedCell out(block::make_at(4));
  block::rs_append(out->node(), integer_cell(99));  // before the load: not counted
  velbin::decode_into(img, out->node(), nullptr, true);
  ASSERT_EQ(block::total(*out), 3u);
  Cell w = *block::rs_abs_at(*out, 2);
  EXPECT_EQ(w.w1, block::rs_abs_at(*out, 1)->w1);
  EXPECT_EQ(word::get(w).i2(), 7);
  // A reference past the root's cells, or an index outside the context.
  img.back() = 0x02, img[img.size() - 2] = 0x05;
  EXPECT_EQ(error_of([&] { (void)boot_decode(img); }), ErrId::RB_INVALID_RECORD);
}
