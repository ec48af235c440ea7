// libFuzzer target: the native image decoders (BMP, PNG, JPEG, GIF, TIFF)
// on arbitrary bytes. A decode either fails or gives a node whose size is
// within the limits and whose every pixel can be read; a decoded image
// encodes again in every format.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "datatypes/image_node.h"

using namespace vel::image;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Each signature in front of the bytes, so every decoder sees them.
  static const std::vector<uint8_t> signatures[] = {
      {}, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, {0xFF, 0xD8, 0xFF}, {'B', 'M'},
      {'G', 'I', 'F', '8', '9', 'a'}, {'I', 'I', '*', 0}, {'M', 'M', 0, '*'}};
  size_t which = size ? data[0] % std::size(signatures) : 0;
  std::vector<uint8_t> bytes(signatures[which]);
  if (size) bytes.insert(bytes.end(), data + 1, data + size);
  Node* n = decode_memory(bytes);
  if (!n) return 0;
  if (n->width < 1 || n->height < 1 || n->width > SIDE_MAX || n->height > SIDE_MAX) std::abort();
  if (uint64_t(n->width) * n->height * 4 > PIXEL_BYTES_MAX) std::abort();
  Lock l = lock(n, false);
  uint32_t sum = 0;
  for (uint32_t y = 0; y < n->height; y++)
    for (size_t x = 0; x < size_t(n->width) * 4; x++) sum += l.data[y * l.stride + x];
  unlock(l);
  if (uint64_t(n->width) * n->height <= 4096) {
    std::vector<uint8_t> out;
    for (int f = 0; f < FORMAT_COUNT; f++)
      if (!encode(n, Format(f), out)) std::abort();
  }
  release_node(n);
  return sum == 0xFFFFFFFFu ? 1 : 0;
}
