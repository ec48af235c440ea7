// libFuzzer target: random text through the library's URL parser, as a
// string and as a url!, and what it answers back through encode-url. Any
// error raised (the parser answers none or an error value instead), a crash
// or a stack left behind is a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "datatypes/string.h"
#include "datatypes/word.h"
#include "errors.h"
#include "evaluator/interpreter.h"
#include "evaluator/script.h"
#include "fuzz_gc.h"
#include "roots.h"
#include "runtime_init.h"
#include "stack.h"
#include "startup.h"

namespace {

using namespace vel;

constexpr const char* kCheck = R"(
fuzz-url: func [s [string!] /local o] [
	if o: url-parser/parse-url s [encode-url o]
	if o: url-parser/parse-url to url! s [encode-url o]
	o: url-parser/parse-url/throw-error s
	unless any [object? o error? o] [do make error! "neither object nor error"]
	none
]
)";

may_gc Status run_text(std::string_view text) {
  RootedCell code(load_text(text));
  return interp::eval_block(*code, false);
}

// Valid UTF-8 as it is; anything else byte by byte as Latin-1, so that
// every input reaches the parser.
std::string as_text(const uint8_t* data, size_t size) {
  std::string raw(reinterpret_cast<const char*>(data), size);
  try {
    (void)string::load(raw);
    return raw;
  } catch (const VelError&) {
  }
  std::string out;
  for (size_t i = 0; i < size; i++) {
    uint8_t c = data[i];
    if (c < 0x80) {
      out += char(c ? c : ' ');
    } else {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace

// Compiled forms of evaluated blocks are reached only through the node
// pools, which are mapped memory that the leak checker does not scan: it
// would take every form made while an input runs for a leak.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vel::runtime_init_for_tests();
  vel::run_boot_library();
  StackMark mark = stack_save();
  if (run_text(kCheck) != Status::OK) std::abort();
  stack_restore(mark);
  fuzz_gc::init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  fuzz_gc::Input run;
  std::string text = as_text(data, size);
  StackMark mark = stack_save();
  try {
    RootedCell s(string::load(text));
    Cell w = word::load("fuzz-input");
    word::set(&w, *s);
    if (run_text("fuzz-url fuzz-input") != Status::OK) std::abort();
  } catch (const VelError&) {
    std::abort();
  }
  stack_restore(mark);
  return 0;
}
