// libFuzzer target: arbitrary text through the CSV reader in every shape,
// with the delimiter, quote character, trimming and header chosen by the
// first byte. Reading answers a value or an error value, or raises the
// header error; rows that read must write as text that reads back to the
// same rows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "fuzz_gc.h"
#include "io/csv.h"
#include "roots.h"
#include "runtime_init.h"

namespace {

using namespace vel;

std::string molded(const Cell& v) {
  RootedCell keep(v);
  RootedNode out(make_string(16));
  mold_value(*keep, out);
  return string_text(out);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vel::runtime_init_for_tests();
  fuzz_gc::init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 1 << 16) return 0;
  fuzz_gc::Input run;
  uint8_t pick = data[0];
  std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  RootedCell text(string::cell_of(make_string(uint32_t(size))));
  if (pick & 0x80) {
    append_utf8(text->node(), bytes);
  } else {
    append_latin1(text->node(), bytes);
  }
  static const char* delimiters[] = {",", ";", "\t", "::"};
  RootedCell delimiter(string::load(delimiters[pick & 3]));
  csv::LoadOptions o;
  o.delimiter = *delimiter;
  o.quote = (pick & 4) ? '\'' : '"';
  o.trim = pick & 8;
  o.header = pick & 16;
  o.shape = csv::Shape((pick >> 5) & 3);
  RootedCell rows;
  try {
    *rows = csv::load(*text, o);
  } catch (const VelError& e) {
    if (!(o.header && e.id == ErrId::MESSAGE)) std::abort();
    return 0;
  }
  if (o.shape != csv::Shape::ROWS || o.header || !rows->is(TYPE_BLOCK) || block::total(*rows) == 0) return 0;
  RootedCell written(csv::encode(*rows, *delimiter, o.quote, 0));
  if (!written->is(TYPE_STRING)) std::abort();
  o.trim = false;
  RootedCell again(csv::load(*written, o));
  if (molded(*again) != molded(*rows)) std::abort();
  return 0;
}
