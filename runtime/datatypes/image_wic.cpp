// The imaging backend of the Windows build. Until the Windows Imaging
// Component does the work here, the pixels live in a plain B, G, R, A
// buffer: every in-memory operation works, while decoding fails (null) and
// encoding reports no encoder.
#include "datatypes/image_node.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "errors.h"

namespace vel::image {

struct Backend {
  uint8_t* pixels = nullptr;
};

namespace {

uint8_t* px(Node* n, size_t index) { return n->backend->pixels + index * 4; }
uint8_t* row(Node* n, uint32_t y) { return n->backend->pixels + size_t(y) * n->width * 4; }

}  // namespace

bool backend_ready() { return true; }

Node* create(uint32_t w, uint32_t h) {
  if (w < 1 || h < 1 || w > SIDE_MAX || h > SIDE_MAX || uint64_t(w) * h * 4 > PIXEL_BYTES_MAX) fire(ErrId::NO_MEMORY);
  auto* pixels = static_cast<uint8_t*>(std::malloc(size_t(w) * h * 4));
  Node* n = pixels ? new (std::nothrow) Node : nullptr;
  Backend* b = n ? new (std::nothrow) Backend : nullptr;
  if (!b) {
    delete n;
    std::free(pixels);
    fire(ErrId::NO_MEMORY);
  }
  b->pixels = pixels;
  n->backend = b;
  n->width = w;
  n->height = h;
  n->flags = NODE_PIXELS_CURRENT;
  return n;
}

Node* decode_memory(std::span<const uint8_t>) { return nullptr; }
Node* decode_file(const std::string&) { return nullptr; }
bool encode(Node*, Format, std::vector<uint8_t>&) { return false; }

Node* copy(Node* n) { return clip(n, 0, 0, n->width, n->height); }

Node* clip(Node* n, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
  Node* r = create(w, h);
  for (uint32_t k = 0; k < h; k++) std::memcpy(row(r, k), row(n, y + k) + size_t(x) * 4, size_t(w) * 4);
  return r;
}

Node* resize(Node* n, uint32_t w, uint32_t h) {
  Node* r = create(w, h);
  for (uint32_t y = 0; y < h; y++)
    for (uint32_t x = 0; x < w; x++)
      std::memcpy(row(r, y) + size_t(x) * 4, row(n, uint32_t(uint64_t(y) * n->height / h)) + (uint64_t(x) * n->width / w) * 4, 4);
  return r;
}

Node* flip_vertical(Node* n) {
  Node* r = create(n->width, n->height);
  for (uint32_t y = 0; y < n->height; y++) std::memcpy(row(r, n->height - 1 - y), row(n, y), size_t(n->width) * 4);
  return r;
}

Lock lock(Node* n, bool write) {
  if (!n || !n->backend || !n->backend->pixels) fire(ErrId::BAD_MEDIA);
  if (write) n->flags |= NODE_PIXELS_WRITTEN;
  return Lock{n->backend->pixels, size_t(n->width) * 4, n, nullptr, write};
}

void unlock(Lock& l) { l = Lock{}; }

uint32_t get_pixel(Node* n, size_t index) {
  uint32_t v;
  std::memcpy(&v, px(n, index), 4);
  return v;
}

void set_pixel(Node* n, size_t index, uint32_t bgra) {
  std::memcpy(px(n, index), &bgra, 4);
  n->flags |= NODE_PIXELS_WRITTEN;
}

void release_node(Node* n) {
  if (!n) return;
  if (n->backend) std::free(n->backend->pixels);
  delete n->backend;
  delete n;
}

}  // namespace vel::image
