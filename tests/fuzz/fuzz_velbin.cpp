// libFuzzer target: the VELBIN decoder on arbitrary images. Any input must
// decode or raise a Vel error, in boot mode as in codec mode; what decodes
// in codec mode must encode again, and the compact image of it must decode
// to the same image.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "datatypes/block.h"
#include "errors.h"
#include "fuzz_gc.h"
#include "io/velbin.h"
#include "roots.h"
#include "runtime_init.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vel::runtime_init_for_tests();
  fuzz_gc::init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vel;
  fuzz_gc::Input run;
  RootedCell block;
  try {
    *block = block::make_at(1);
    velbin::decode_into(std::span<const uint8_t>(data, size), block->node(), nullptr, true);
  } catch (const VelError&) {
  }
  try {
    *block = velbin::decode(std::span<const uint8_t>(data, size));
  } catch (const VelError&) {
    return 0;
  }
  for (bool compact : {true, false}) {
    std::vector<uint8_t> img;
    try {
      img = velbin::encode(*block, compact);
    } catch (const VelError& e) {
      // Only nesting the encoder cannot walk may refuse a decoded value.
      if (e.id != ErrId::STACK_OVERFLOW) std::abort();
      return 0;
    }
    RootedCell again;
    try {
      *again = velbin::decode(img);
    } catch (const VelError&) {
      std::abort();
    }
    // The image holds one value: the block decoded from the input.
    if (block::total(*again) != 1) std::abort();
    RootedCell first(*block::rs_abs_at(*again, 0));  // encoding may move the block's buffer
    if (velbin::encode(*first, compact) != img) std::abort();
  }
  return 0;
}
