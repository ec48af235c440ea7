// The imaging backend of the Windows build, over the Windows Imaging
// Component. A node's pixels live in WIC bitmaps (image_wic.h says which
// and when each is rebuilt); every COM object an operation makes for its
// own use is released before it returns, raising or not.
//
// Decoding reads the whole first frame into memory at once, so that
// corrupt or truncated data fails the decode instead of a later pixel
// access, and nodes made from other nodes (copy, clip, resize, flip) own
// their pixels rather than a view of the source that later writes to the
// source would show through.
#include "datatypes/image_wic.h"

#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>

#include "byteorder.h"
#include "datatypes/image_formats.h"
#include "errors.h"
#include "platform/platform.h"

namespace vel::image {

// A node's WIC side.
struct Backend {
  IWICBitmapSource* main = nullptr;  // null while the pixels are all there is
  IWICBitmap* pixels = nullptr;      // 32bppBGRA, null until needed
  IWICBitmapLock* lock = nullptr;    // held while any Lock on the node is open
  int lock_count = 0;
};

namespace {

// The component's well-known identifiers, as constants rather than parsed.
constexpr CLSID FACTORY_CLSID = {0xcacaf262, 0x9370, 0x4615, {0xa1, 0x3b, 0x9f, 0x55, 0x39, 0xda, 0x4c, 0x0a}};
constexpr IID FACTORY_IID = {0xec5ec8a9, 0xc395, 0x4314, {0x9c, 0x77, 0x54, 0xd7, 0xa9, 0x35, 0xff, 0x70}};
constexpr GUID FORMAT_BGRA = {0x6fddc324, 0x4e03, 0x4bfe, {0xb1, 0x85, 0x3d, 0x77, 0x76, 0x8d, 0xc9, 0x0f}};
constexpr GUID FORMAT_PBGRA = {0x6fddc324, 0x4e03, 0x4bfe, {0xb1, 0x85, 0x3d, 0x77, 0x76, 0x8d, 0xc9, 0x10}};
constexpr GUID FORMAT_INDEXED8 = {0x6fddc324, 0x4e03, 0x4bfe, {0xb1, 0x85, 0x3d, 0x77, 0x76, 0x8d, 0xc9, 0x04}};
// In the order of the format codes: BMP, PNG, GIF, JPEG, TIFF.
constexpr GUID CONTAINERS[FORMAT_COUNT] = {
    {0x0af1d87e, 0xfcfe, 0x4188, {0xbd, 0xeb, 0xa7, 0x90, 0x64, 0x71, 0xcb, 0xe3}},
    {0x1b7cfaf4, 0x713f, 0x473c, {0xbb, 0xcd, 0x61, 0x37, 0x42, 0x5f, 0xae, 0xaf}},
    {0x1f8a5601, 0x7d4d, 0x4cbd, {0x9c, 0x82, 0x1b, 0xc8, 0xd4, 0xee, 0xb9, 0xa5}},
    {0x19e4a5aa, 0x5662, 0x4fc5, {0xa0, 0xc0, 0x17, 0x58, 0x02, 0x8e, 0x10, 0x57}},
    {0x163bcc30, 0xe2e9, 0x4f0b, {0x96, 0x1d, 0xa3, 0xe9, 0xfd, 0xb7, 0x88, 0xa3}},
};

// An owned COM reference.
template <typename T>
class Com {
 public:
  Com() = default;
  explicit Com(T* p) : p_(p) {}
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  Com(Com&& o) noexcept : p_(o.release()) {}
  Com& operator=(Com&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = o.release();
    }
    return *this;
  }
  ~Com() { reset(); }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For a call that hands back a new reference.
  T** out() {
    reset();
    return &p_;
  }
  T* release() { return std::exchange(p_, nullptr); }
  void reset() {
    if (p_) std::exchange(p_, nullptr)->Release();
  }

 private:
  T* p_ = nullptr;
};

template <typename T>
void drop(T*& p) {
  if (p) std::exchange(p, nullptr)->Release();
}

bool fits(uint32_t width, uint32_t height) {
  return width >= 1 && height >= 1 && width <= SIDE_MAX && height <= SIDE_MAX &&
         uint64_t(width) * height * 4 <= PIXEL_BYTES_MAX;
}

IWICImagingFactory* g_factory = nullptr;
bool g_factory_tried = false;

// Every operation starts here: without the factory it raises, never calls
// through a null pointer.
IWICImagingFactory* factory() {
  IWICImagingFactory* f = wic_factory();
  if (!f) fire(ErrId::BAD_MEDIA);
  return f;
}

Node* new_node(uint32_t width, uint32_t height, IWICBitmapSource* main, IWICBitmap* pixels, uint32_t flags) {
  auto* node = new Node;
  node->width = width;
  node->height = height;
  node->flags = flags;
  node->backend = new Backend;
  node->backend->main = main;
  node->backend->pixels = pixels;
  return node;
}

// A converter from any source to 32bppBGRA or 32bppPBGRA: no dithering, no
// palette, alpha threshold 0.
Com<IWICFormatConverter> convert(IWICBitmapSource* source, bool premultiplied) {
  Com<IWICFormatConverter> converter;
  if (FAILED(factory()->CreateFormatConverter(converter.out())) ||
      FAILED(converter->Initialize(source, premultiplied ? FORMAT_PBGRA : FORMAT_BGRA, WICBitmapDitherTypeNone,
                                   nullptr, 0.0, WICBitmapPaletteTypeCustom)))
    converter.reset();
  return converter;
}

// An in-memory 32bppBGRA copy of a source, read in full now; a source
// already in that form is copied without a converter between.
Com<IWICBitmap> load_bgra(IWICBitmapSource* source) {
  Com<IWICBitmap> bitmap;
  WICPixelFormatGUID format{};
  Com<IWICFormatConverter> converter;
  if (FAILED(source->GetPixelFormat(&format)) || !IsEqualGUID(format, FORMAT_BGRA)) {
    converter = convert(source, false);
    if (!converter) return bitmap;
    source = converter.get();
  }
  if (FAILED(factory()->CreateBitmapFromSource(source, WICBitmapCacheOnLoad, bitmap.out()))) bitmap.reset();
  return bitmap;
}

// A node owning an in-memory copy of a source's pixels; null on failure.
Node* node_from_source(IWICBitmapSource* source) {
  UINT width = 0, height = 0;
  if (FAILED(source->GetSize(&width, &height)) || !fits(width, height)) return nullptr;
  Com<IWICBitmap> bitmap = load_bgra(source);
  if (!bitmap) return nullptr;
  return new_node(width, height, nullptr, bitmap.release(), NODE_PIXELS_CURRENT | NODE_PIXELS_WRITTEN);
}

// Frame 0 of a decoder, read in full. The declared size is checked before
// the pixels are read, so that a small file declaring a huge image fails
// without the allocation.
Node* decode_first_frame(IWICBitmapDecoder* decoder) {
  UINT count = 0;
  Com<IWICBitmapFrameDecode> frame;
  if (FAILED(decoder->GetFrameCount(&count)) || count < 1 || FAILED(decoder->GetFrame(0, frame.out())))
    return nullptr;
  Node* node = node_from_source(frame.get());
  // Decoded pixels are what the file holds: nothing written since.
  if (node) node->flags = NODE_PIXELS_CURRENT;
  return node;
}

bool starts(std::span<const uint8_t> s, std::initializer_list<uint8_t> sig) {
  return s.size() >= sig.size() && std::equal(sig.begin(), sig.end(), s.begin());
}

// A declared side of 0 is left to the codec to refuse.
bool declared_ok(uint64_t w, uint64_t h) {
  return w <= SIDE_MAX && h <= SIDE_MAX && w * h * 4 <= PIXEL_BYTES_MAX;
}

// Some versions of the component's codecs size their buffers from the
// declared width and height in 32-bit arithmetic and write past them when
// the product overflows, so the sizes a file declares are checked here
// before the codec sees it. False for a file none of the five formats, or
// one that declares an image beyond the bounds of create.
bool header_ok(std::span<const uint8_t> s) {
  size_t n = s.size();
  const uint8_t* p = s.data();
  if (starts(s, {0x89, 'P', 'N', 'G'})) return n >= 24 && declared_ok(load_be32(p + 16), load_be32(p + 20));
  if (starts(s, {'B', 'M'})) {
    if (n < 26) return false;
    if (load_le32(p + 14) == 12) return declared_ok(load_le16(p + 18), load_le16(p + 20));
    int64_t h = int32_t(load_le32(p + 22));
    return declared_ok(uint64_t(std::abs(int64_t(int32_t(load_le32(p + 18))))), uint64_t(h < 0 ? -h : h));
  }
  if (starts(s, {'G', 'I', 'F', '8'})) {
    // Every image of the file; the logical screen is not allocated.
    if (n < 13) return false;
    size_t at = 13;
    if (p[10] & 0x80) at += size_t(3) << ((p[10] & 7) + 1);
    while (at < n && p[at] != 0x3B) {
      if (p[at] == 0x2C) {
        if (at + 10 > n || !declared_ok(load_le16(p + at + 5), load_le16(p + at + 7))) return false;
        uint8_t flags = p[at + 9];
        at += 10;
        if (flags & 0x80) at += size_t(3) << ((flags & 7) + 1);
        at++;  // the LZW code size
      } else if (p[at] == 0x21) {
        at += 2;
      } else {
        return false;
      }
      while (at < n && p[at] != 0) at += size_t(p[at]) + 1;
      at++;
    }
    return true;
  }
  if (starts(s, {0xFF, 0xD8, 0xFF})) {
    // The frame header (SOFn) before the first scan.
    size_t at = 2;
    while (at + 4 <= n) {
      if (p[at] != 0xFF) return false;
      uint8_t marker = p[at + 1];
      if (marker == 0xFF) {
        at++;
        continue;
      }
      if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
        at += 2;
        continue;
      }
      if (marker == 0xDA || marker == 0xD9) return false;
      bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
      if (frame) return at + 9 <= n && declared_ok(load_be16(p + at + 7), load_be16(p + at + 5));
      at += 2 + load_be16(p + at + 2);
    }
    return false;
  }
  bool intel = starts(s, {'I', 'I', '*', 0});
  if (intel || starts(s, {'M', 'M', 0, '*'})) {
    // The first directory's ImageWidth and ImageLength.
    auto u16 = [&](size_t at) { return intel ? load_le16(p + at) : load_be16(p + at); };
    auto u32 = [&](size_t at) { return intel ? load_le32(p + at) : load_be32(p + at); };
    if (n < 8) return false;
    size_t dir = u32(4);
    if (dir > n || n - dir < 2) return false;
    size_t count = u16(dir);
    if ((n - dir - 2) / 12 < count) return false;
    uint64_t w = 0, h = 0;
    for (size_t i = 0; i < count; i++) {
      size_t e = dir + 2 + 12 * i;
      uint32_t tag = u16(e), type = u16(e + 2);
      uint64_t v = type == 3 ? u16(e + 8) : type == 4 ? u32(e + 8) : 0;
      if (tag == 256) w = v;
      if (tag == 257) h = v;
    }
    return declared_ok(w, h);
  }
  return false;
}

// The node's lock over its pixel bitmap, taken once however many Locks
// share it: a read and a write lock on the same image (change of an image
// into itself) must not refuse each other.
bool acquire(Node* node) {
  Backend* b = node->backend;
  if (b->lock_count == 0) {
    IWICBitmap* pixels = get_pixel_bitmap(node);
    WICRect whole{0, 0, INT(node->width), INT(node->height)};
    if (!pixels || FAILED(pixels->Lock(&whole, WICBitmapLockRead | WICBitmapLockWrite, &b->lock))) {
      b->lock = nullptr;
      return false;
    }
  }
  b->lock_count++;
  return true;
}

void release_lock(Node* node) {
  Backend* b = node->backend;
  if (b->lock_count > 0 && --b->lock_count == 0) drop(b->lock);
}

// BMP is written here rather than by the component: its encoder drops the
// alpha channel unless asked for a version-5 header, which not every
// version honours.
bool bmp_encode(Node* node, std::vector<uint8_t>& o) {
  Lock l = lock(node, false);
  bmp_write(node->width, node->height, l.data, l.stride, o);
  unlock(l);
  return true;
}

// The component's own reduction of a 32-bit image to 256 colours differs
// between its versions; the frame is indexed as the portable build does it,
// so that both builds write the same pixels.
Com<IWICBitmap> gif_indexed(Node* node, int& transparent_index) {
  size_t count = size_t(node->width) * node->height;
  Lock l = lock(node, false);
  GifFrame f = gif_index(node->width, node->height, l.data, l.stride);
  unlock(l);
  // The palette in the component's 0xAARRGGBB, the transparent entry black
  // with no opacity.
  std::vector<WICColor> entries;
  for (uint32_t c : f.colors) entries.push_back(0xFF000000u | c);
  if (f.transparent >= 0) entries.push_back(0);
  transparent_index = f.transparent;
  Com<IWICPalette> palette;
  Com<IWICBitmap> bitmap;
  if (FAILED(factory()->CreatePalette(palette.out())) ||
      FAILED(palette->InitializeCustom(entries.data(), UINT(entries.size()))) ||
      FAILED(factory()->CreateBitmapFromMemory(node->width, node->height, FORMAT_INDEXED8, node->width,
                                               UINT(count), f.indexes.data(), bitmap.out())) ||
      FAILED(bitmap->SetPalette(palette.get())))
    bitmap.reset();
  return bitmap;
}

// The component's GIF encoder may leave out the graphic control extension
// that names the transparent entry; it is set, or added before the first
// image, in the encoded bytes. False when the file is not laid out as a
// GIF.
bool gif_set_transparent(std::vector<uint8_t>& gif, uint8_t index) {
  if (gif.size() < 13) return false;
  size_t at = 13;
  if (gif[10] & 0x80) at += size_t(3) << ((gif[10] & 7) + 1);
  while (at < gif.size()) {
    if (gif[at] == 0x2C) {
      const uint8_t gce[8] = {0x21, 0xF9, 4, 1, 0, 0, index, 0};
      gif.insert(gif.begin() + std::ptrdiff_t(at), gce, gce + 8);
      return true;
    }
    if (gif[at] != 0x21 || at + 2 > gif.size()) return false;
    if (gif[at + 1] == 0xF9 && at + 7 < gif.size() && gif[at + 2] == 4) {
      gif[at + 3] |= 1;
      gif[at + 6] = index;
      return true;
    }
    at += 2;  // the extension's sub-blocks, up to the empty one
    while (at < gif.size() && gif[at] != 0) at += size_t(gif[at]) + 1;
    at++;
  }
  return false;
}

}  // namespace

IWICImagingFactory* wic_factory() {
  if (!g_factory_tried) {
    g_factory_tried = true;
    HRESULT hr = CoCreateInstance(FACTORY_CLSID, nullptr, CLSCTX_INPROC_SERVER, FACTORY_IID,
                                  reinterpret_cast<void**>(&g_factory));
    if (hr == CO_E_NOTINITIALIZED) {
      // A thread of its own that the start-up did not set up for COM.
      CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      hr = CoCreateInstance(FACTORY_CLSID, nullptr, CLSCTX_INPROC_SERVER, FACTORY_IID,
                            reinterpret_cast<void**>(&g_factory));
    }
    if (FAILED(hr)) g_factory = nullptr;
  }
  return g_factory;
}

bool backend_ready() { return wic_factory() != nullptr; }

Node* create(uint32_t width, uint32_t height) {
  if (!fits(width, height)) fire(ErrId::NO_MEMORY);
  Com<IWICBitmap> bitmap;
  if (FAILED(factory()->CreateBitmap(width, height, FORMAT_BGRA, WICBitmapCacheOnLoad, bitmap.out())))
    fire(ErrId::NO_MEMORY);
  return new_node(width, height, nullptr, bitmap.release(), NODE_PIXELS_CURRENT | NODE_PIXELS_WRITTEN);
}

Node* decode_memory(std::span<const uint8_t> bytes) {
  IWICImagingFactory* f = factory();
  if (!header_ok(bytes)) return nullptr;
  // The stream owns a movable copy of the bytes and frees it when released.
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  if (!block) return nullptr;
  void* at = GlobalLock(block);
  if (!at) {
    GlobalFree(block);
    return nullptr;
  }
  std::memcpy(at, bytes.data(), bytes.size());
  GlobalUnlock(block);
  Com<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(block, TRUE, stream.out()))) {
    GlobalFree(block);
    return nullptr;
  }
  Com<IWICBitmapDecoder> decoder;
  if (FAILED(f->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand, decoder.out())))
    return nullptr;
  return decode_first_frame(decoder.get());
}

// The file is read whole and decoded as bytes are, so that its header is
// checked the same way.
Node* decode_file(const std::string& local_path) {
  factory();
  std::string bytes;
  try {
    if (!platform::read_file(local_path, bytes)) return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return decode_memory({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
}

bool encode(Node* node, Format format, std::vector<uint8_t>& out) {
  out.clear();
  int code = int(format);
  if (code < 0 || code >= FORMAT_COUNT) return false;
  IWICImagingFactory* f = factory();
  if (format == Format::BMP) return bmp_encode(node, out);
  Com<IWICBitmap> indexed;
  IWICBitmapSource* source = nullptr;
  int transparent = -1;
  if (format == Format::GIF) {
    indexed = gif_indexed(node, transparent);
    source = indexed.get();
  } else {
    source = get_bitmap(node, false);
  }
  if (!source) return false;
  Com<IStream> stream;
  Com<IWICBitmapEncoder> encoder;
  Com<IWICBitmapFrameEncode> frame;
  Com<IPropertyBag2> options;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.out())) ||
      FAILED(f->CreateEncoder(CONTAINERS[code], nullptr, encoder.out())) ||
      FAILED(encoder->Initialize(stream.get(), WICBitmapEncoderNoCache)) ||
      FAILED(encoder->CreateNewFrame(frame.out(), options.out())) || FAILED(frame->Initialize(options.get())) ||
      FAILED(frame->SetSize(node->width, node->height)))
    return false;
  WICPixelFormatGUID stored = indexed ? FORMAT_INDEXED8 : FORMAT_BGRA;
  if (FAILED(frame->SetPixelFormat(&stored))) return false;
  if (indexed) {
    Com<IWICPalette> palette;
    if (FAILED(f->CreatePalette(palette.out())) || FAILED(indexed->CopyPalette(palette.get())) ||
        FAILED(frame->SetPalette(palette.get())))
      return false;
  }
  if (FAILED(frame->WriteSource(source, nullptr)) ||
      FAILED(frame->Commit()) || FAILED(encoder->Commit()))
    return false;
  STATSTG stat{};
  if (FAILED(stream->Stat(&stat, STATFLAG_NONAME)) || stat.cbSize.QuadPart > 0x7fffffff) return false;
  out.resize(size_t(stat.cbSize.QuadPart));
  LARGE_INTEGER start{};
  ULONG read = 0;
  if (FAILED(stream->Seek(start, STREAM_SEEK_SET, nullptr)) ||
      (!out.empty() && FAILED(stream->Read(out.data(), ULONG(out.size()), &read))) || read != out.size()) {
    out.clear();
    return false;
  }
  if (transparent >= 0 && !gif_set_transparent(out, uint8_t(transparent))) {
    out.clear();
    return false;
  }
  return true;
}

Node* copy(Node* node) {
  IWICBitmapSource* source = get_bitmap(node, false);
  Node* result = source ? node_from_source(source) : nullptr;
  if (!result) fire(ErrId::NO_MEMORY);
  return result;
}

Node* clip(Node* node, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
  IWICBitmapSource* source = get_bitmap(node, false);
  Com<IWICBitmapClipper> clipper;
  WICRect rect{INT(x), INT(y), INT(w), INT(h)};
  Node* result = nullptr;
  if (source && SUCCEEDED(factory()->CreateBitmapClipper(clipper.out())) &&
      SUCCEEDED(clipper->Initialize(source, &rect)))
    result = node_from_source(clipper.get());
  if (!result) fire(ErrId::NO_MEMORY);
  return result;
}

Node* resize(Node* node, uint32_t w, uint32_t h) {
  if (!fits(w, h)) fire(ErrId::NO_MEMORY);
  IWICBitmapSource* source = get_bitmap(node, false);
  Com<IWICBitmapScaler> scaler;
  Node* result = nullptr;
  if (source && SUCCEEDED(factory()->CreateBitmapScaler(scaler.out())) &&
      SUCCEEDED(scaler->Initialize(source, w, h, WICBitmapInterpolationModeNearestNeighbor)))
    result = node_from_source(scaler.get());
  if (!result) fire(ErrId::NO_MEMORY);
  return result;
}

Node* flip_vertical(Node* node) {
  IWICBitmapSource* source = get_bitmap(node, false);
  Com<IWICBitmapFlipRotator> flipper;
  Node* result = nullptr;
  if (source && SUCCEEDED(factory()->CreateBitmapFlipRotator(flipper.out())) &&
      SUCCEEDED(flipper->Initialize(source, WICBitmapTransformFlipVertical)))
    result = node_from_source(flipper.get());
  if (!result) fire(ErrId::NO_MEMORY);
  return result;
}

Lock lock(Node* node, bool write) {
  if (!acquire(node)) fire(ErrId::BAD_MEDIA);
  Backend* b = node->backend;
  UINT stride = 0, size = 0;
  BYTE* data = nullptr;
  if (FAILED(b->lock->GetStride(&stride)) || FAILED(b->lock->GetDataPointer(&size, &data)) || !data) {
    release_lock(node);
    fire(ErrId::BAD_MEDIA);
  }
  if (write) node->flags |= NODE_PIXELS_WRITTEN;
  Lock l;
  l.data = data;
  l.stride = stride;
  l.node = node;
  l.token = b->lock;
  l.write = write;
  return l;
}

void unlock(Lock& l) {
  if (!l.node) return;
  release_lock(l.node);
  l = Lock{};
}

uint32_t get_pixel(Node* node, size_t index) {
  Lock l = lock(node, false);
  uint32_t pixel;
  std::memcpy(&pixel, l.data + (index / node->width) * l.stride + (index % node->width) * 4, 4);
  unlock(l);
  return pixel;
}

void set_pixel(Node* node, size_t index, uint32_t bgra) {
  Lock l = lock(node, true);
  std::memcpy(l.data + (index / node->width) * l.stride + (index % node->width) * 4, &bgra, 4);
  unlock(l);
}

void release_node(Node* node) {
  if (!node) return;
  if (Backend* b = node->backend) {
    drop(b->lock);
    drop(b->main);
    drop(b->pixels);
    delete b;
  }
  release_cache(node);
  delete node;
}

IWICBitmap* get_pixel_bitmap(Node* node) {
  Backend* b = node->backend;
  if (node->flags & NODE_DRAWN) node->flags &= ~(NODE_DRAWN | NODE_PIXELS_CURRENT);
  if ((node->flags & NODE_PIXELS_CURRENT) && b->pixels) return b->pixels;
  if (!b->main) return b->pixels;
  Com<IWICBitmap> copy = load_bgra(b->main);
  if (!copy) return nullptr;
  drop(b->pixels);
  b->pixels = copy.release();
  node->flags |= NODE_PIXELS_CURRENT;
  return b->pixels;
}

IWICBitmapSource* get_bitmap(Node* node, bool premultiplied) {
  Backend* b = node->backend;
  bool is_premultiplied = node->flags & NODE_MAIN_PREMULTIPLIED;
  if (b->main && !(node->flags & NODE_PIXELS_WRITTEN) && is_premultiplied == premultiplied) return b->main;
  IWICBitmapSource* from = b->pixels ? static_cast<IWICBitmapSource*>(b->pixels) : b->main;
  if (!from) return nullptr;
  Com<IWICFormatConverter> converter = convert(from, premultiplied);
  if (!converter) return nullptr;
  drop(b->main);
  b->main = converter.release();
  release_cache(node);
  node->flags &= ~(NODE_PIXELS_WRITTEN | NODE_MAIN_LOADED | NODE_MAIN_PREMULTIPLIED);
  if (premultiplied) node->flags |= NODE_MAIN_PREMULTIPLIED;
  return b->main;
}

IWICBitmapSource* get_loaded_bitmap(Node* node) {
  IWICBitmapSource* main = get_bitmap(node, true);
  if (!main || (node->flags & NODE_MAIN_LOADED)) return main;
  Backend* b = node->backend;
  Com<IWICBitmap> loaded;
  if (FAILED(factory()->CreateBitmapFromSource(main, WICBitmapCacheOnLoad, loaded.out()))) return nullptr;
  // The drawing copy is now the one bitmap: pixel access rebuilds from it.
  if (b->pixels && b->lock_count == 0) {
    drop(b->pixels);
    node->flags = NODE_MAIN_LOADED | NODE_MAIN_PREMULTIPLIED;
  }
  drop(b->main);
  b->main = loaded.release();
  return b->main;
}

void invalidate(Node* node) {
  node->flags |= NODE_DRAWN;
  release_cache(node);
}

IUnknown* get_cached_bitmap(Node* node) {
  auto* cache = static_cast<IUnknown*>(node->gui_cache);
  if (cache) {
    cache->AddRef();
    node->flags |= NODE_CACHE_FETCHED;
  }
  return cache;
}

void set_cached_bitmap(Node* node, IUnknown* bitmap) {
  if (bitmap) bitmap->AddRef();
  release_cache(node);
  node->gui_cache = bitmap;
}

void release_cache(Node* node) {
  if (auto* cache = static_cast<IUnknown*>(std::exchange(node->gui_cache, nullptr))) cache->Release();
}

HBITMAP to_hbitmap(Node* node) {
  Lock l = lock(node, false);
  HBITMAP result = nullptr;
  if (l.stride == size_t(node->width) * 4) {
    result = CreateBitmap(int(node->width), int(node->height), 1, 32, l.data);
  } else {
    std::vector<uint8_t> rows(size_t(node->width) * node->height * 4);
    for (uint32_t y = 0; y < node->height; y++)
      std::memcpy(rows.data() + size_t(y) * node->width * 4, l.data + y * l.stride, size_t(node->width) * 4);
    result = CreateBitmap(int(node->width), int(node->height), 1, 32, rows.data());
  }
  unlock(l);
  return result;
}

Node* from_hbitmap(HBITMAP bitmap) {
  IWICImagingFactory* f = factory();
  Com<IWICBitmap> source;
  if (!bitmap || FAILED(f->CreateBitmapFromHBITMAP(bitmap, nullptr, WICBitmapUseAlpha, source.out()))) return nullptr;
  return node_from_source(source.get());
}

namespace {

// GDI+ is started on first use and kept for the process.
bool gdiplus_started() {
  static bool started = [] {
    Gdiplus::GdiplusStartupInput input{};
    input.GdiplusVersion = 1;
    ULONG_PTR token = 0;
    return Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
  }();
  return started;
}

}  // namespace

// The write lock stands for what GDI+ draws: the pixels it writes are the
// node's own, so the main bitmap is rebuilt from them, not they from it.
void* to_gdiplus_bitmap(Node* node, Lock& l) {
  l = Lock{};
  if (!gdiplus_started()) return nullptr;
  l = lock(node, true);
  Gdiplus::GpBitmap* bitmap = nullptr;
  if (Gdiplus::DllExports::GdipCreateBitmapFromScan0(INT(node->width), INT(node->height), INT(l.stride),
                                                     PixelFormat32bppARGB, l.data, &bitmap) != Gdiplus::Ok) {
    unlock(l);
    return nullptr;
  }
  return bitmap;
}

void release_gdiplus_bitmap(void* bitmap, Lock& l) {
  if (bitmap) Gdiplus::DllExports::GdipDisposeImage(static_cast<Gdiplus::GpImage*>(bitmap));
  unlock(l);
}

Node* from_pixels(uint32_t width, uint32_t height, size_t stride, const uint8_t* pixels) {
  IWICImagingFactory* f = factory();
  if (!fits(width, height) || !pixels) return nullptr;
  if (stride == 0) stride = size_t(width) * 4;
  if (stride < size_t(width) * 4 || uint64_t(stride) * height > PIXEL_BYTES_MAX) return nullptr;
  Com<IWICBitmap> bitmap;
  if (FAILED(f->CreateBitmapFromMemory(width, height, FORMAT_BGRA, UINT(stride), UINT(stride * height),
                                       const_cast<BYTE*>(pixels), bitmap.out())))
    return nullptr;
  return new_node(width, height, nullptr, bitmap.release(), NODE_PIXELS_CURRENT | NODE_PIXELS_WRITTEN);
}

}  // namespace vel::image
