// libFuzzer target: arbitrary text through the JSON decoder, as Latin-1
// and as UTF-8 (so wider string units are read too). A text decodes to a
// value or an error value, or raises bad data or too deep a nesting; a
// decoded value must encode, compact and indented, plain and ASCII, to
// text that decodes again without an error.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "datatypes/string.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "fuzz_gc.h"
#include "io/json.h"
#include "roots.h"
#include "runtime_init.h"

namespace {

using namespace vel;

void round_trip(const Cell& value) {
  RootedCell v(value);
  RootedCell indent(string::load("  "));
  for (int i = 0; i < 4; i++) {
    RootedCell text;
    try {
      *text = json::encode(*v, (i & 1) ? *indent : none_cell(), i & 2);
    } catch (const VelError& e) {
      if (e.id != ErrId::STACK_OVERFLOW) std::abort();
      return;
    }
    try {
      if (json::decode(*text).is(TYPE_ERROR)) std::abort();
    } catch (const VelError& e) {
      if (e.id != ErrId::STACK_OVERFLOW) std::abort();
    }
  }
}

void decode_text(const Cell& text) {
  RootedCell value;
  try {
    *value = json::decode(text);
  } catch (const VelError& e) {
    if (e.id != ErrId::INVALID_DATA && e.id != ErrId::STACK_OVERFLOW) std::abort();
    return;
  }
  if (!value->is(TYPE_ERROR)) round_trip(*value);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vel::runtime_init_for_tests();
  fuzz_gc::init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  fuzz_gc::Input run;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  RootedCell text(string::cell_of(make_string(uint32_t(size))));
  append_latin1(text->node(), bytes);
  decode_text(*text);
  *text = string::cell_of(make_string(uint32_t(size)));
  append_utf8(text->node(), bytes);
  decode_text(*text);
  return 0;
}
