// PNG encode and decode of a 4000x3000 image through the build's imaging
// backend (the codec libraries natively, WIC in the Windows build under
// Wine). Prints the seconds of each part, the best of three runs, and the
// encoded size; with a path, the encoded file is written there so that
// bench/peers/image_png.py can time zlib alone on the same data.
//
//   encode   image node to PNG bytes
//   decode   PNG bytes to an image node with 32-bit BGRA pixels
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "datatypes/image_node.h"
#include "runtime_init.h"

using namespace vel::image;

namespace {

template <class F>
double best_of_3(F f) {
  double best = 1e9;
  for (int run = 0; run < 3; run++) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

// Smooth gradients with a little noise: compresses like a photograph's
// sky more than like a flat fill or white noise.
void paint(Node* node) {
  Lock l = lock(node, true);
  uint32_t x32 = 2463534242u;
  for (uint32_t y = 0; y < node->height; y++) {
    uint8_t* row = l.data + y * l.stride;
    for (uint32_t x = 0; x < node->width; x++) {
      x32 ^= x32 << 13;
      x32 ^= x32 >> 17;
      x32 ^= x32 << 5;
      uint32_t noise = x32 & 7;
      row[x * 4 + 0] = uint8_t(x / 16 + noise);
      row[x * 4 + 1] = uint8_t(y / 12 + noise);
      row[x * 4 + 2] = uint8_t((x + y) / 28);
      row[x * 4 + 3] = 255;
    }
  }
  unlock(l);
}

}  // namespace

int main(int argc, char** argv) {
  vel::runtime_init_for_tests();
  if (!backend_ready()) {
    std::fprintf(stderr, "image_bench: the imaging backend did not start\n");
    return 1;
  }
  Node* image = create(4000, 3000);
  paint(image);
  std::vector<uint8_t> png;
  double encode_s = best_of_3([&] {
    if (!encode(image, Format::PNG, png)) std::fprintf(stderr, "image_bench: encode failed\n");
  });
  bool same = true;
  double decode_s = best_of_3([&] {
    Node* back = decode_memory(png);
    same = back && back->width == 4000 && back->height == 3000 && get_pixel(back, 12345) == get_pixel(image, 12345);
    release_node(back);
  });
  std::printf("encode %.3f\n", encode_s);
  std::printf("decode %.3f\n", decode_s);
  std::printf("png-size %zu\n", png.size());
  std::printf("round trip: %s\n", same ? "same pixels" : "DIFFERENT PIXELS");
  if (argc > 1) {
    if (FILE* f = std::fopen(argv[1], "wb")) {
      std::fwrite(png.data(), 1, png.size(), f);
      std::fclose(f);
    }
  }
  release_node(image);
  return same ? 0 : 1;
}
