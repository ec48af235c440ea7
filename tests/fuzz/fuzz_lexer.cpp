// libFuzzer target: random bytes through the lexer in all four modes, and
// through a callback that declines every error and sometimes moves the
// input. Syntax and not-done errors are answers; anything else (a crash,
// a read past the input, a hang, a value stack left behind) is a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "errors.h"
#include "fuzz_gc.h"
#include "io/lexer.h"
#include "io/lexer_internal.h"
#include "roots.h"
#include "runtime_init.h"

namespace {

using namespace vel;

struct Steer {
  uint32_t seed;
  int calls;
};

bool steer(void* ctx, lexer::Event e, Cell* input, const Cell&, int32_t, const Cell&) {
  auto* s = static_cast<Steer*>(ctx);
  s->seed = s->seed * 1103515245u + 12345u;
  if (++s->calls > 2000) return true;
  if (e == lexer::Event::ERROR) {
    if (s->seed & 0x100) input->w1 += (s->seed >> 9) & 3;
    return false;
  }
  if ((s->seed & 0xF00) == 0) input->w1 = (s->seed >> 12) & 15;  // sometimes backwards
  return (s->seed & 0x7000) != 0;
}

void check_clean() {
  if (lexer::g_active || lexer::g_values.top() != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vel::runtime_init_for_tests();
  vel::lexer::init();
  fuzz_gc::init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  fuzz_gc::Input run;
  std::string text(reinterpret_cast<const char*>(data), size);
  for (lexer::Mode m : {lexer::Mode::LOAD, lexer::Mode::ONE, lexer::Mode::SCAN, lexer::Mode::PRESCAN}) {
    lexer::ScanOptions o;
    o.mode = m;
    try {
      lexer::ScanResult r = lexer::scan(text, o);
      if (r.consumed > size) std::abort();
    } catch (const VelError& e) {
      ErrType t = error_type_of(e.id);
      if (t != ErrType::SYNTAX && e.id != ErrId::NOT_DONE && e.id != ErrId::STACK_OVERFLOW) std::abort();
    }
    check_clean();
  }
  // With a steering callback, through transcode on a binary.
  RootedNode n(alloc_bytes(size));
  Buffer* b = node_buffer(n);
  for (size_t i = 0; i < size; i++) b->data()[i] = data[i];
  b->tail = b->head + uint32_t(size);
  Steer s{uint32_t(size) * 2654435761u, 0};
  lexer::Callback cb{steer, &s, lexer::ALL_EVENTS};
  lexer::TranscodeOptions o;
  o.trace = &cb;
  try {
    (void)lexer::transcode(series_cell(TYPE_BINARY, n), o);
  } catch (const VelError& e) {
    ErrType t = error_type_of(e.id);
    if (t != ErrType::SYNTAX && e.id != ErrId::NOT_DONE && e.id != ErrId::STACK_OVERFLOW &&
        e.id != ErrId::INVALID_ARG)
      std::abort();
  }
  check_clean();
  return 0;
}
