// The image node: the record behind every image! value, and the operations
// that each imaging backend provides over it. The portable backend
// (image_portable.cpp, the system's own BMP and Debian's PNG, JPEG, GIF and
// TIFF libraries) builds natively; the WIC backend (image_wic.cpp) builds on
// Windows. The image datatype (image.cpp) uses only what this header
// declares, so both builds run the same image scripts.
//
// Pixels are 32 bits, B, G, R, A in memory, A the opacity (255 opaque),
// rows top-down, stride at least width * 4. A node is a C++ object owned by
// the external-resource table (class "image"): the collector releases it
// through release_node when no value reaches its record.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vel::image {

// The width and height live in 16 bits each in values and VELBIN records.
constexpr uint32_t SIDE_MAX = 65535;
// width * height * 4 above this is refused (internal no-memory) before any
// allocation, so a tiny file that declares a huge size cannot take the
// process down.
constexpr uint64_t PIXEL_BYTES_MAX = uint64_t(1) << 31;

// Encoder format codes, as the codecs pass them.
enum class Format : int { BMP = 0, PNG = 1, GIF = 2, JPEG = 3, TIFF = 4 };
constexpr int FORMAT_COUNT = 5;

// Node state bits. The datatype reads and sets NODE_PIXELS_WRITTEN; the
// others belong to the backend and the GUI.
constexpr uint32_t NODE_PIXELS_CURRENT = 0x01;    // the pixel store is present and current
constexpr uint32_t NODE_PIXELS_WRITTEN = 0x02;    // written since the backend's main bitmap was derived
constexpr uint32_t NODE_MAIN_LOADED = 0x08;       // the main bitmap is an in-memory copy for drawing
constexpr uint32_t NODE_MAIN_PREMULTIPLIED = 0x10;
constexpr uint32_t NODE_DRAWN = 0x20;             // drawn into: the pixel store must be rebuilt
constexpr uint32_t NODE_CACHE_FETCHED = 0x40;     // the GUI cache was fetched since the last collection

struct Backend;  // each backend's own part of a node (its bitmaps)

struct Node {
  uint32_t flags = 0;
  uint32_t width = 0, height = 0;  // 1 .. SIDE_MAX each
  int32_t resource = -1;           // the record in g_externals, once adopted
  Backend* backend = nullptr;
  void* gui_cache = nullptr;       // the GUI's bitmap for drawing; null until the GUI sets it
};

// Direct pixel access over the whole image. A write lock marks the node
// written. Every lock is released by unlock before anything that may raise.
struct Lock {
  uint8_t* data = nullptr;
  size_t stride = 0;  // bytes per row
  Node* node = nullptr;
  void* token = nullptr;  // the backend's lock object
  bool write = false;
};

// Whether the backend could start (the WIC factory); when not, every
// operation below raises access bad-media instead of calling through it.
bool backend_ready();

// A new node of width x height, each 1 .. SIDE_MAX, pixels unspecified
// until the caller fills them through a write lock. Raises internal
// no-memory when the size is out of bounds or the bitmap cannot be made.
Node* create(uint32_t width, uint32_t height);
// Decodes the first frame of an image file (BMP, PNG, JPEG, GIF, TIFF)
// given as bytes in memory or as a local path (UTF-8); null on any failure,
// with nothing left allocated. A declared size beyond the bounds of create
// fails without allocating.
Node* decode_memory(std::span<const uint8_t> bytes);
Node* decode_file(const std::string& local_path);
// The encoded file of the whole image in `out`; false when the format has
// no encoder or encoding failed.
bool encode(Node* node, Format format, std::vector<uint8_t>& out);
// New nodes from an existing one: an independent copy; the rectangle at
// x, y of w x h (inside the image, w and h at least 1); a nearest-neighbour
// scaling to w x h (each 1 .. SIDE_MAX); the vertical mirror image.
Node* copy(Node* node);
Node* clip(Node* node, uint32_t x, uint32_t y, uint32_t w, uint32_t h);
Node* resize(Node* node, uint32_t w, uint32_t h);
Node* flip_vertical(Node* node);
// Raises access bad-media when the pixels cannot be locked.
Lock lock(Node* node, bool write);
void unlock(Lock& lock);
// One pixel (row-major index below width * height) as B | G << 8 | R << 16 | A << 24.
uint32_t get_pixel(Node* node, size_t index);
void set_pixel(Node* node, size_t index, uint32_t bgra);
// Releases the node's bitmaps and the GUI cache, then the node: the
// release callback of the "image" resource class.
void release_node(Node* node);

}  // namespace vel::image
