// The parts of the image formats that both imaging backends write the same
// way, so that the two builds give the same bytes and pixels: the BMP file
// and the GIF frame's palette and indexes. Pixels are B, G, R, A rows,
// top row first, `stride` bytes apart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vel::image {

// 32 bits per pixel with an alpha mask in a version-5 header, bottom-up
// rows: lossless for every pixel, opacity included.
void bmp_write(uint32_t width, uint32_t height, const uint8_t* pixels, size_t stride, std::vector<uint8_t>& out);

// A GIF holds at most 256 colours: the image's own colours when they fit
// (pixels under half opacity share one transparent entry, the last), else
// a uniform 6 x 7 x 6 palette with each pixel taking its nearest entry.
struct GifFrame {
  std::vector<uint32_t> colors;  // 0xRRGGBB, without the transparent entry
  std::vector<uint8_t> indexes;  // one per pixel, rows top first
  int transparent = -1;          // the transparent entry, or -1
};
GifFrame gif_index(uint32_t width, uint32_t height, const uint8_t* pixels, size_t stride);

}  // namespace vel::image
