// binary!: the text codecs of enbase and debase (base 2, 16, 58 and 64);
// the natives themselves are in evaluator/natives_series.cpp.
//
// Decoders are strict: text that does not stand for whole bytes in its
// base (an odd hex digit, a partial group of bits, a character outside the
// alphabet) is invalid rather than silently cut, so a failed decode is never
// taken for data. Base-64 text may leave out its "=" padding.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "errors.h"
#include "unicode.h"

namespace vel::binary {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase58[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

// Decoding tables over the codes 0-127.
constexpr uint8_t INVALID = 128;
constexpr uint8_t SPACE = 64;

constexpr std::array<uint8_t, 128> kHexValue = [] {
  std::array<uint8_t, 128> t{};
  for (auto& v : t) v = 255;
  for (int i = 0; i < 10; i++) t['0' + i] = uint8_t(i);
  for (int i = 0; i < 6; i++) t['A' + i] = t['a' + i] = uint8_t(10 + i);
  return t;
}();

// White space of the base-58 and base-64 texts: BS, TAB, LF, FF, CR, space
// and the apostrophe.
constexpr std::array<uint8_t, 128> table_of(const char* alphabet, int n, bool padding) {
  std::array<uint8_t, 128> t{};
  for (auto& v : t) v = INVALID;
  for (int i = 0; i < n; i++) t[uint8_t(alphabet[i])] = uint8_t(i);
  for (uint8_t c : {8, 9, 10, 12, 13, 32, 39}) t[c] = SPACE;
  if (padding) t['='] = 0;  // the decoder tells it apart
  return t;
}
constexpr std::array<uint8_t, 128> kBase64Value = table_of(kBase64, 64, true);
constexpr std::array<uint8_t, 128> kBase58Value = table_of(kBase58, 58, false);

// The characters of a text one at a time, with ";" comments removed (the
// line feed that ends one is still read).
struct TextReader {
  const uint8_t* p;
  uint32_t count, unit, i = 0;
  bool next(uint32_t* c) {
    while (i < count) {
      uint32_t ch = get_char(p + size_t(i) * unit, unit);
      i++;
      if (ch != ';') {
        *c = ch;
        return true;
      }
      while (i < count && get_char(p + size_t(i) * unit, unit) != '\n') i++;
    }
    return false;
  }
};

// Big numbers for base 58: little-endian limbs of 32 bits.
using Limbs = std::vector<uint32_t>;
constexpr uint32_t BASE58_5 = 58u * 58u * 58u * 58u * 58u;  // 656,356,768

// n = n * mul + add.
void mul_add(Limbs& n, uint32_t mul, uint32_t add) {
  uint64_t carry = add;
  for (uint32_t& l : n) {
    uint64_t v = uint64_t(l) * mul + carry;
    l = uint32_t(v);
    carry = v >> 32;
  }
  if (carry) n.push_back(uint32_t(carry));
}

// n = n / div; answers the remainder. Drops leading zero limbs.
uint32_t div_mod(Limbs& n, uint32_t div) {
  uint64_t rem = 0;
  for (size_t k = n.size(); k-- > 0;) {
    uint64_t v = (rem << 32) | n[k];
    n[k] = uint32_t(v / div);
    rem = v % div;
  }
  while (!n.empty() && n.back() == 0) n.pop_back();
  return uint32_t(rem);
}

}  // namespace

// --- encoders -----------------------------------------------------------------------

char* encode_2(char* out, const uint8_t* in, size_t n) {
  for (size_t i = 0; i < n; i++)
    for (int b = 7; b >= 0; b--) *out++ = char('0' + ((in[i] >> b) & 1));
  return out;
}

char* encode_16(char* out, const uint8_t* in, size_t n) {
  for (size_t i = 0; i < n; i++) {
    *out++ = kHex[in[i] >> 4];
    *out++ = kHex[in[i] & 15];
  }
  return out;
}

char* encode_64(char* out, const uint8_t* in, size_t n) {
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t v = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
    for (int s = 18; s >= 0; s -= 6) *out++ = kBase64[(v >> s) & 63];
  }
  if (n - i == 1) {
    uint32_t v = uint32_t(in[i]) << 16;
    *out++ = kBase64[(v >> 18) & 63];
    *out++ = kBase64[(v >> 12) & 63];
    *out++ = '=';
    *out++ = '=';
  } else if (n - i == 2) {
    uint32_t v = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8;
    *out++ = kBase64[(v >> 18) & 63];
    *out++ = kBase64[(v >> 12) & 63];
    *out++ = kBase64[(v >> 6) & 63];
    *out++ = '=';
  }
  return out;
}

char* encode_58(char* out, const uint8_t* in, size_t n) {
  size_t zeros = 0;
  while (zeros < n && in[zeros] == 0) zeros++;
  for (size_t k = 0; k < zeros; k++) *out++ = '1';
  // The rest as one number, then its digits by repeated division (five
  // digits per pass over the limbs).
  Limbs num;
  for (size_t i = zeros; i < n; i++) mul_add(num, 256, in[i]);
  std::string digits;
  while (!num.empty()) {
    uint32_t r = div_mod(num, BASE58_5);
    for (int k = 0; k < 5; k++, r /= 58) digits.push_back(kBase58[r % 58]);
  }
  while (!digits.empty() && digits.back() == '1') digits.pop_back();  // leading zero digits
  for (size_t k = digits.size(); k-- > 0;) *out++ = digits[k];
  return out;
}

// --- decoders -----------------------------------------------------------------------

bool decode_2(const uint8_t* text, uint32_t count, uint32_t unit, std::string* out) {
  out->clear();
  out->reserve(count / 8);
  TextReader r{text, count, unit};
  uint32_t c, byte = 0, bits = 0;
  while (r.next(&c)) {
    if (c <= ' ') continue;
    if (c != '0' && c != '1') return false;
    byte = (byte << 1) | (c - '0');
    if (++bits == 8) {
      out->push_back(char(byte));
      byte = bits = 0;
    }
  }
  return bits == 0;
}

namespace {

// Reads character i of a run of `unit` bytes per character: unit-1 text, the
// common case, is read directly.
template <uint32_t U>
struct Chars {
  const uint8_t* p;
  uint32_t operator()(uint32_t i) const {
    if constexpr (U == 1) return p[i];
    else return get_char(p + size_t(i) * U, U);
  }
};

// Moves i to the last character before the line feed that ends a comment.
template <typename At>
inline uint32_t skip_comment(const At& at, uint32_t i, uint32_t count) {
  while (i + 1 < count && at(i + 1) != '\n') i++;
  return i;
}

template <typename At>
bool decode_16_run(const At& at, uint32_t count, bool drop_odd, std::string* out) {
  out->resize(count / 2);
  char* d = out->data();
  size_t k = 0;
  uint32_t hi = 0;
  bool half = false;
  for (uint32_t i = 0; i < count; i++) {
    uint32_t c = at(i);
    uint32_t v = c < 128 ? kHexValue[c] : 255;
    // Two digits in a row: one byte, the common case.
    if (v < 16 && !half && i + 1 < count) {
      uint32_t c2 = at(i + 1);
      uint32_t v2 = c2 < 128 ? kHexValue[c2] : 255;
      if (v2 < 16) {
        d[k++] = char(v << 4 | v2);
        i++;
        continue;
      }
    }
    if (v < 16) {
      if (half) d[k++] = char(hi << 4 | v);
      else hi = v;
      half = !half;
    } else if (c == ';') {
      i = skip_comment(at, i, count);
    } else if (c > ' ') {
      return false;
    }
  }
  out->resize(k);
  return drop_odd || !half;
}

template <typename At>
bool decode_64_run(const At& at, uint32_t count, std::string* out) {
  out->resize(size_t(count) / 4 * 3 + 3);
  char* d = out->data();
  size_t k = 0;
  uint32_t group = 0, n = 0;
  bool padded = false;
  for (uint32_t i = 0; i < count; i++) {
    uint32_t c = at(i);
    uint8_t v = c < 128 ? kBase64Value[c] : INVALID;
    if (v < 64 && c != '=' && !padded) {
      group = group << 6 | v;
      if (++n == 4) {
        d[k++] = char(group >> 16);
        d[k++] = char(group >> 8);
        d[k++] = char(group);
        group = n = 0;
      }
    } else if (v == SPACE) {
      continue;
    } else if (c == ';') {
      i = skip_comment(at, i, count);
    } else if (c == '=') {
      if (!padded && n < 2) return false;
      padded = true;
    } else {
      return false;  // outside the alphabet, or a digit after the padding
    }
  }
  // A last group of 2 or 3 characters, padded or not, holds 1 or 2 bytes;
  // a lone character holds no whole byte.
  if (n == 1) return false;
  if (n == 2) d[k++] = char(group >> 4);
  if (n == 3) {
    d[k++] = char(group >> 10);
    d[k++] = char(group >> 2);
  }
  out->resize(k);
  return true;
}

}  // namespace

bool decode_16(const uint8_t* text, uint32_t count, uint32_t unit, std::string* out, bool drop_odd) {
  if (unit == 1) return decode_16_run(Chars<1>{text}, count, drop_odd, out);
  if (unit == 2) return decode_16_run(Chars<2>{text}, count, drop_odd, out);
  return decode_16_run(Chars<4>{text}, count, drop_odd, out);
}

bool decode_64(const uint8_t* text, uint32_t count, uint32_t unit, std::string* out) {
  if (unit == 1) return decode_64_run(Chars<1>{text}, count, out);
  if (unit == 2) return decode_64_run(Chars<2>{text}, count, out);
  return decode_64_run(Chars<4>{text}, count, out);
}

bool decode_58(const uint8_t* text, uint32_t count, uint32_t unit, std::string* out) {
  out->clear();
  std::vector<uint8_t> digits;
  TextReader r{text, count, unit};
  uint32_t c;
  while (r.next(&c)) {
    if (c > 127) return false;
    uint8_t v = kBase58Value[c];
    if (v == SPACE) continue;
    if (v == INVALID) return false;
    digits.push_back(v);
  }
  size_t zeros = 0;
  while (zeros < digits.size() && digits[zeros] == 0) zeros++;
  // Five digits per pass over the limbs.
  Limbs num;
  size_t i = zeros;
  for (; i + 5 <= digits.size(); i += 5) {
    uint32_t chunk = 0;
    for (size_t k = 0; k < 5; k++) chunk = chunk * 58 + digits[i + k];
    mul_add(num, BASE58_5, chunk);
  }
  if (i < digits.size()) {
    uint32_t chunk = 0, mul = 1;
    for (; i < digits.size(); i++) {
      chunk = chunk * 58 + digits[i];
      mul *= 58;
    }
    mul_add(num, mul, chunk);
  }
  while (!num.empty() && num.back() == 0) num.pop_back();
  out->assign(zeros, '\0');
  bool leading = true;
  for (size_t k = num.size(); k-- > 0;) {
    for (int s = 24; s >= 0; s -= 8) {
      uint8_t b = uint8_t(num[k] >> s);
      if (leading && b == 0) continue;
      leading = false;
      out->push_back(char(b));
    }
  }
  return true;
}

}  // namespace vel::binary
