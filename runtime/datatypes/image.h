// image!: a rectangle of 32-bit pixels, a series whose position walks the
// pixels in row order.
//
//   header  type 53; bit 16 = owned (ownership.h); bit 30 = new line
//   w1      index: the pixel position, 0-based, row-major
//   w2      node of a small byte buffer holding the width and height (two
//           32-bit words); the image's identity for ownership and sameness
//   w3      the external record of the pixels' image node (image_node.h),
//           -1 when the image has no pixels (a zero width or height)
//
// A pixel as a value is the tuple R.G.B.T, T the transparency (255 minus
// the stored opacity).
#pragma once
#include <cstdint>
#include <vector>

#include "cell.h"
#include "datatypes/image_node.h"
#include "memory.h"
#include "status.h"

namespace vel::img {

constexpr int32_t NO_NODE = -1;

struct Size {
  uint32_t w, h;
};
Size size_of(const Cell& c);
// The node of an image value; null when it has no pixels.
image::Node* node_of(const Cell& c);

// *c becomes an image! at index 0 over the node (adopted by the external
// table), or an image of no pixels and the given size when node is null.
may_gc void make_at(Cell* c, image::Node* node, uint32_t w = 0, uint32_t h = 0);

// The encoded file of the image in a new binary! (format codes 0 BMP,
// 1 PNG, 2 GIF, 3 JPEG, 4 TIFF). An empty image raises access bad-media; an
// unknown code prints "Cannot find image encoder" and answers none.
may_gc Cell encode(const Cell& image, int format);
// A binary! from its position: an image! when it starts with a known
// signature and decodes, none without a signature, access bad-media when a
// signature's bytes do not decode. A file!: the decoded image, or access
// cannot-open with the file.
may_gc Cell decode(const Cell& source);

// VELBIN: the pixels as stored (B, G, R, A, row by row) and an image from
// them; the byte count must be w * h * 4.
std::vector<uint8_t> pixels(const Cell& c);
may_gc void make_from_pixels(Cell* c, uint32_t w, uint32_t h, const uint8_t* bgra);

// The routines of the image codecs: encode (image, where) in a format,
// decode (a binary! or a file!).
may_gc Status encode_routine(Cell* base, const Cell& image, const Cell& where, int format);
may_gc Status decode_routine(Cell* base);

}  // namespace vel::img
