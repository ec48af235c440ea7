// The routines behind the codec objects of system/codecs: VELBIN over the
// encoder and decoder, and the image formats over the image backend.
#include "io/codecs.h"

#include <cstdint>
#include <string>
#include <vector>

#include "action_frames.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/function.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/word.h"
#include "errors.h"
#include "frame.h"
#include "routine_frames.h"
#include "io/velbin.h"
#include "roots.h"

namespace vel::codecs {

namespace {

// velbin-encode data compact?: the compact or the fixed-width image.
may_gc Status velbin_encode(Cell* base) {
  using enum rtn::velbin_encode::Frame;
  std::vector<uint8_t> image = velbin::encode(base[DATA], truthy(base[COMPACT_Q]));
  base[RESULT] = binary::load(image.data(), image.size());
  return Status::OK;
}

// velbin-decode payload: a file or URL is read first; one decoded value
// comes back alone, any other number as the block.
may_gc Status velbin_decode(Cell* base) {
  using enum rtn::velbin_decode::Frame;
  RootedCell payload(base[PAYLOAD]);
  RootedCell data(base[PAYLOAD]);
  if (payload->is(TYPE_FILE) || payload->is(TYPE_URL)) {
    using namespace act::read;
    *data = call_action(SHAPE, {{SOURCE, *payload}, {BINARY, logic_cell(true)}});
  }
  if (!data->is(TYPE_BINARY)) fire(ErrId::INVALID_DATA, *payload);
  // The decoder builds values while it reads: it reads a private copy.
  std::string holder;
  binary::Bytes b = binary::bytes_of(*data, holder);
  if (b.n <= 10) fire(ErrId::INVALID_DATA, *payload);
  std::vector<uint8_t> image(b.p, b.p + b.n);
  Cell out = velbin::decode(image, payload.get());
  Buffer* decoded = node_buffer(out.node());
  base[RESULT] = decoded->used() == sizeof(Cell) ? decoded->cells()[0] : out;
  return Status::OK;
}

// Where no image backend registered the image routines, every image
// format answers that it has no codec, naming the format.
template <const char* Format>
Status image_unavailable(Cell* base) {
  base[RESULT] = word::load(Format);
  fire(ErrId::NO_CODEC, base[RESULT]);
}

constexpr char kBmp[] = "bmp", kPng[] = "png", kGif[] = "gif", kJpeg[] = "jpeg", kTiff[] = "tiff",
               kImage[] = "image";

}  // namespace

void register_routines() {
  struct Entry {
    const char* name;
    func::RoutineFn fn;
  } entries[] = {
      {rtn::image_encode_bmp::NAME, image_unavailable<kBmp>},
      {rtn::image_encode_png::NAME, image_unavailable<kPng>},
      {rtn::image_encode_gif::NAME, image_unavailable<kGif>},
      {rtn::image_encode_jpeg::NAME, image_unavailable<kJpeg>},
      {rtn::image_encode_tiff::NAME, image_unavailable<kTiff>},
      {rtn::image_decode::NAME, image_unavailable<kImage>},
  };
  func::routine_register(rtn::velbin_encode::NAME, velbin_encode);
  func::routine_register(rtn::velbin_decode::NAME, velbin_decode);
  for (const Entry& e : entries)
    if (!func::routine_find(e.name)) func::routine_register(e.name, e.fn);
}

}  // namespace vel::codecs
