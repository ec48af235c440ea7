// libFuzzer target: random bytes as UTF-8, UTF-16LE and Windows-1251.
//
// UTF-8 is checked against a plain reference decoder written from the
// well-formedness table (surrogates refused, as loading does); the lexer's
// decoder must agree with the validating one and never step past the NUL; UTF-16 must round-trip exactly, lone surrogates included.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "errors.h"
#include "memory.h"
#include "roots.h"
#include "unicode.h"

namespace {

using namespace vel;

// Reference: answers false on ill-formed input; cut = a well-formed start
// cut by the end.
bool reference_utf8(const uint8_t* s, size_t n, std::vector<uint32_t>& out, size_t& cut) {
  size_t i = 0;
  cut = 0;
  while (i < n) {
    uint8_t b = s[i];
    size_t len;
    uint8_t lo = 0x80, hi = 0xBF;
    uint32_t cp;
    if (b < 0x80) {
      out.push_back(b);
      i++;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      len = 2, cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3, cp = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4, cp = b & 0x07;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    for (size_t k = 1; k < len; k++) {
      if (i + k >= n) {
        cut = n - i;
        return true;
      }
      uint8_t c = s[i + k];
      if (k == 1 ? (c < lo || c > hi) : (c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    out.push_back(cp);
    i += len;
  }
  return true;
}

std::vector<uint32_t> chars_of(NodeId s) {
  Buffer* b = node_buffer(s);
  std::vector<uint32_t> out;
  for (uint32_t i = 0, n = b->length(); i < n; i++) out.push_back(get_char(b->head_ptr() + i * b->unit(), b->unit()));
  return out;
}

void check_utf8(const uint8_t* data, size_t size) {
  size_t skip = size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
  std::vector<uint32_t> want;
  size_t cut;
  bool ok = reference_utf8(data + skip, size - skip, want, cut);
  uint64_t remaining = 0;
  try {
    RootedNode s(load_utf8(ByteSource::memory(data), size, 0, &remaining, false));
    if (!ok || remaining != cut || chars_of(s) != want) std::abort();
    std::string back = to_utf8(s, 0);
    if (back.size() != size - skip - cut || std::memcmp(back.data(), data + skip, back.size()) != 0) std::abort();
  } catch (const VelError& e) {
    if (ok || e.id != ErrId::INVALID_UTF8) std::abort();
  }
  // Without a remaining count, a cut end is an error too.
  try {
    RootedNode s(load_utf8(ByteSource::memory(data), size, 0, nullptr, true));
    if (!ok || cut) std::abort();
  } catch (const VelError& e) {
    if ((ok && !cut) || e.id != ErrId::INVALID_UTF8) std::abort();
  }

  // The lexer's decoder over an exact NUL-terminated copy (ASan sees any
  // read past it).
  std::vector<uint8_t> z(data, data + size);
  z.push_back(0);
  const uint8_t* p = z.data();
  const uint8_t* end = z.data() + size;
  while (p < end) {
    uint32_t len;
    int32_t want_cp = decode_utf8_checked(p, size_t(end - p) + 1, &len);
    int32_t got;
    const uint8_t* next = fast_decode_utf8_char(p, &got);
    if (next <= p || next > end) std::abort();
    if (want_cp >= 0 ? (got != want_cp || next != p + len) : got != -1) std::abort();
    p = next;
  }
}

void check_utf16(const uint8_t* data, size_t size) {
  size_t units = size / 2;
  RootedNode s(load_utf16(ByteSource::memory(data), int64_t(units), 0, false));
  std::u16string back = to_utf16(s, 0, -1, false);
  if (back.size() != units || std::memcmp(back.data(), data, units * 2) != 0) std::abort();
  RootedNode l(load_utf16(ByteSource::memory(data), int64_t(units), 0, true));
  for (uint32_t c : chars_of(l))
    if (c == '\r') std::abort();
}

void check_cp1251(const uint8_t* data, size_t size) {
  RootedNode s(load_cp1251(ByteSource::memory(data), size, 0, false));
  if (node_buffer(s)->length() != size) std::abort();
  // Appending UTF-8 of it to the same string doubles it, widening on the way.
  std::string u8 = to_utf8(s, 0);
  load_utf8(ByteSource::memory(u8.data()), u8.size(), s, nullptr, false);
  std::vector<uint32_t> all = chars_of(s);
  if (all.size() != 2 * size || !std::equal(all.begin(), all.begin() + long(size), all.begin() + long(size))) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A fresh heap per input: nothing here needs the collector.
  vel::memory_free_all();
  vel::memory_init();
  vel::new_node_pool();
  vel::g_mem.current_series_pool = vel::new_series_pool();
  check_utf8(data, size);
  check_utf16(data, size);
  check_cp1251(data, size);
  return 0;
}
