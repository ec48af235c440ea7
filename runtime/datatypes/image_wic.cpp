// The imaging backend of the Windows build, over the Windows Imaging
// Component. Until it is filled in, the backend reports itself not ready
// and every image operation raises access bad-media.
#include "datatypes/image_node.h"

#include "errors.h"

namespace vel::image {

namespace {
[[noreturn]] void unavailable() { fire(ErrId::BAD_MEDIA); }
}  // namespace

bool backend_ready() { return false; }
Node* create(uint32_t, uint32_t) { unavailable(); }
Node* decode_memory(std::span<const uint8_t>) { return nullptr; }
Node* decode_file(const std::string&) { return nullptr; }
bool encode(Node*, Format, std::vector<uint8_t>&) { return false; }
Node* copy(Node*) { unavailable(); }
Node* clip(Node*, uint32_t, uint32_t, uint32_t, uint32_t) { unavailable(); }
Node* resize(Node*, uint32_t, uint32_t) { unavailable(); }
Node* flip_vertical(Node*) { unavailable(); }
Lock lock(Node*, bool) { unavailable(); }
void unlock(Lock&) {}
uint32_t get_pixel(Node*, size_t) { unavailable(); }
void set_pixel(Node*, size_t, uint32_t) { unavailable(); }
void release_node(Node* node) { delete node; }

}  // namespace vel::image
