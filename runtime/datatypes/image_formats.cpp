#include "datatypes/image_formats.h"

#include <algorithm>

namespace vel::image {

namespace {

void put16(std::vector<uint8_t>& o, uint32_t v) {
  o.push_back(uint8_t(v));
  o.push_back(uint8_t(v >> 8));
}

void put32(std::vector<uint8_t>& o, uint32_t v) {
  put16(o, v & 0xFFFF);
  put16(o, v >> 16);
}

}  // namespace

void bmp_write(uint32_t w, uint32_t h, const uint8_t* pixels, size_t stride, std::vector<uint8_t>& o) {
  uint32_t data = uint32_t(size_t(w) * h * 4);
  o.reserve(o.size() + 14 + 124 + size_t(data));
  o.push_back('B');
  o.push_back('M');
  put32(o, 14 + 124 + data);
  put32(o, 0);
  put32(o, 14 + 124);
  put32(o, 124);
  put32(o, w);
  put32(o, h);
  put16(o, 1);
  put16(o, 32);
  put32(o, 3);  // bit fields
  put32(o, data);
  put32(o, 2835);  // 72 dpi
  put32(o, 2835);
  put32(o, 0);
  put32(o, 0);
  put32(o, 0x00FF0000);
  put32(o, 0x0000FF00);
  put32(o, 0x000000FF);
  put32(o, 0xFF000000);
  put32(o, 0x73524742);           // sRGB
  o.insert(o.end(), 36 + 12, 0);  // end points, gamma
  put32(o, 4);                    // intent: images
  put32(o, 0);
  put32(o, 0);
  put32(o, 0);
  for (uint32_t y = h; y-- > 0;) {
    const uint8_t* row = pixels + size_t(y) * stride;
    o.insert(o.end(), row, row + size_t(w) * 4);
  }
}

GifFrame gif_index(uint32_t w, uint32_t h, const uint8_t* pixels, size_t stride) {
  GifFrame f;
  std::vector<uint32_t>& colors = f.colors;
  bool any_transparent = false;
  colors.reserve(size_t(w) * h);
  for (uint32_t y = 0; y < h; y++) {
    const uint8_t* p = pixels + size_t(y) * stride;
    for (uint32_t x = 0; x < w; x++, p += 4) {
      if (p[3] < 128) any_transparent = true;
      else colors.push_back(uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]);
    }
  }
  std::sort(colors.begin(), colors.end());
  colors.erase(std::unique(colors.begin(), colors.end()), colors.end());
  bool exact = colors.size() + (any_transparent ? 1 : 0) <= 256;
  if (!exact) {
    colors.clear();
    for (int r = 0; r < 6; r++)
      for (int g = 0; g < 7; g++)
        for (int b = 0; b < 6; b++) colors.push_back(uint32_t(r * 51) << 16 | uint32_t(g * 255 / 6) << 8 | uint32_t(b * 51));
  }
  colors.shrink_to_fit();
  if (any_transparent) f.transparent = int(colors.size());
  f.indexes.resize(size_t(w) * h);
  uint8_t* out = f.indexes.data();
  for (uint32_t y = 0; y < h; y++) {
    const uint8_t* p = pixels + size_t(y) * stride;
    for (uint32_t x = 0; x < w; x++, p += 4) {
      if (p[3] < 128 && any_transparent) {
        *out++ = uint8_t(f.transparent);
      } else if (exact) {
        uint32_t c = uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
        *out++ = uint8_t(std::lower_bound(colors.begin(), colors.end(), c) - colors.begin());
      } else {
        int r = (p[2] + 25) / 51, g = (p[1] * 6 + 127) / 255, b = (p[0] + 25) / 51;
        *out++ = uint8_t((r * 7 + g) * 6 + b);
      }
    }
  }
  return f;
}

}  // namespace vel::image
