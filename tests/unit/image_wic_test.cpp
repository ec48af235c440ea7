// The Windows imaging backend below what scripts reach: the two bitmaps of
// a node and the flags that rebuild one from the other, the GUI cache, the
// GDI edges, and locks shared within one node.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "datatypes/image_wic.h"
#include "error_of.h"

#include <gdiplus.h>
#include <psapi.h>  // after windows.h, which image_wic.h includes

namespace vel::image {
namespace {

struct NodeDeleter {
  void operator()(Node* n) const { release_node(n); }
};
using NodePtr = std::unique_ptr<Node, NodeDeleter>;

// B | G << 8 | R << 16 | A << 24 of pixel i of a test pattern, some of it
// translucent.
uint32_t pattern(uint32_t i) { return (i * 37u & 0xFF) | (i * 91u & 0xFF) << 8 | (255 - i) << 16 | uint32_t(i % 3 ? 255 : 128) << 24; }

NodePtr patterned(uint32_t w, uint32_t h) {
  NodePtr n(create(w, h));
  for (uint32_t i = 0; i < w * h; i++) set_pixel(n.get(), i, pattern(i));
  return n;
}

std::vector<uint32_t> pixels_of(Node* n) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < size_t(n->width) * n->height; i++) out.push_back(get_pixel(n, i));
  return out;
}

ULONG ref_count(IUnknown* p) {
  p->AddRef();
  return p->Release();
}

class ImageWic : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(backend_ready()) << "the WIC factory did not start"; }
};

TEST_F(ImageWic, WrittenPixelsRebuildTheMainBitmapInTheAskedForm) {
  NodePtr n = patterned(3, 2);
  EXPECT_EQ(n->flags & (NODE_PIXELS_CURRENT | NODE_PIXELS_WRITTEN), NODE_PIXELS_CURRENT | NODE_PIXELS_WRITTEN);

  IWICBitmapSource* straight = get_bitmap(n.get(), false);
  ASSERT_NE(straight, nullptr);
  EXPECT_EQ(n->flags & (NODE_PIXELS_WRITTEN | NODE_MAIN_PREMULTIPLIED), 0u);
  EXPECT_EQ(get_bitmap(n.get(), false), straight) << "an unchanged node keeps its main bitmap";

  std::vector<uint32_t> read(6);
  ASSERT_TRUE(SUCCEEDED(straight->CopyPixels(nullptr, 12, 24, reinterpret_cast<BYTE*>(read.data()))));
  for (uint32_t i = 0; i < 6; i++) EXPECT_EQ(read[i], pattern(i)) << i;

  set_pixel(n.get(), 4, 0xFF010203);
  EXPECT_TRUE(n->flags & NODE_PIXELS_WRITTEN);
  IWICBitmapSource* premultiplied = get_bitmap(n.get(), true);
  EXPECT_TRUE(n->flags & NODE_MAIN_PREMULTIPLIED);
  EXPECT_FALSE(n->flags & NODE_PIXELS_WRITTEN);
  WICPixelFormatGUID format{};
  ASSERT_TRUE(SUCCEEDED(premultiplied->GetPixelFormat(&format)));
  EXPECT_TRUE(IsEqualGUID(format, GUID_WICPixelFormat32bppPBGRA));
  ASSERT_TRUE(SUCCEEDED(premultiplied->CopyPixels(nullptr, 12, 24, reinterpret_cast<BYTE*>(read.data()))));
  EXPECT_EQ(read[4], 0xFF010203u) << "the written pixel reaches the rebuilt bitmap";
  // Pixel 0 has opacity 128: premultiplied channels are scaled by it.
  EXPECT_EQ(read[0] >> 24, 128u);
  EXPECT_LE(read[0] >> 16 & 0xFF, 128u);
}

TEST_F(ImageWic, DrawingIntoTheLoadedBitmapReachesPixelReads) {
  NodePtr n = patterned(4, 4);
  IWICBitmapSource* loaded = get_loaded_bitmap(n.get());
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(n->flags, NODE_MAIN_LOADED | NODE_MAIN_PREMULTIPLIED) << "the drawing copy is the only bitmap left";
  EXPECT_EQ(get_loaded_bitmap(n.get()), loaded) << "a loaded bitmap is not copied again";

  // Opaque pixels read back unchanged from the premultiplied copy.
  EXPECT_EQ(get_pixel(n.get(), 1), pattern(1));
  EXPECT_TRUE(n->flags & NODE_PIXELS_CURRENT);

  // Draw: write straight into the loaded bitmap, then say so.
  IWICBitmap* target = nullptr;
  ASSERT_TRUE(SUCCEEDED(loaded->QueryInterface(IID_IWICBitmap, reinterpret_cast<void**>(&target))));
  {
    IWICBitmapLock* l = nullptr;
    WICRect r{0, 0, 4, 4};
    ASSERT_TRUE(SUCCEEDED(target->Lock(&r, WICBitmapLockWrite, &l)));
    UINT size = 0, stride = 0;
    BYTE* data = nullptr;
    ASSERT_TRUE(SUCCEEDED(l->GetDataPointer(&size, &data)));
    ASSERT_TRUE(SUCCEEDED(l->GetStride(&stride)));
    uint32_t drawn = 0xFF405060;
    std::memcpy(data + stride * 2 + 3 * 4, &drawn, 4);
    l->Release();
  }
  target->Release();
  EXPECT_NE(get_pixel(n.get(), 11), 0xFF405060u) << "before invalidate the pixel bitmap is still current";
  invalidate(n.get());
  EXPECT_EQ(get_pixel(n.get(), 11), 0xFF405060u);
  EXPECT_FALSE(n->flags & NODE_DRAWN);
}

TEST_F(ImageWic, GuiCacheIsCountedFetchedAndDroppedWithTheMainBitmap) {
  NodePtr n = patterned(2, 2);
  NodePtr other = patterned(1, 1);
  IUnknown* cache = get_pixel_bitmap(other.get());
  ULONG base = ref_count(cache);

  set_cached_bitmap(n.get(), cache);
  EXPECT_EQ(ref_count(cache), base + 1);
  EXPECT_FALSE(n->flags & NODE_CACHE_FETCHED);
  IUnknown* fetched = get_cached_bitmap(n.get());
  EXPECT_EQ(fetched, cache);
  EXPECT_TRUE(n->flags & NODE_CACHE_FETCHED);
  EXPECT_EQ(ref_count(cache), base + 2);
  fetched->Release();

  set_cached_bitmap(n.get(), cache);  // the same one again keeps one reference
  EXPECT_EQ(ref_count(cache), base + 1);

  // A rebuilt main bitmap no longer matches the cache: it is dropped.
  set_pixel(n.get(), 0, 0xFF000000);
  get_bitmap(n.get(), true);
  EXPECT_EQ(n->gui_cache, nullptr);
  EXPECT_EQ(ref_count(cache), base);

  set_cached_bitmap(n.get(), cache);
  invalidate(n.get());
  EXPECT_EQ(ref_count(cache), base);
  EXPECT_EQ(get_cached_bitmap(n.get()), nullptr);

  set_cached_bitmap(n.get(), cache);
  n.reset();  // releasing the node releases its cache
  EXPECT_EQ(ref_count(cache), base);
}

TEST_F(ImageWic, HbitmapRoundTripKeepsSizeAndPixels) {
  NodePtr n = patterned(7, 3);
  HBITMAP h = to_hbitmap(n.get());
  ASSERT_NE(h, nullptr);
  BITMAP info{};
  ASSERT_EQ(GetObjectW(h, sizeof info, &info), int(sizeof info));
  EXPECT_EQ(info.bmWidth, 7);
  EXPECT_EQ(info.bmHeight, 3);
  EXPECT_EQ(info.bmBitsPixel, 32);
  NodePtr back(from_hbitmap(h));
  DeleteObject(h);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->width, 7u);
  EXPECT_EQ(back->height, 3u);
  EXPECT_EQ(pixels_of(back.get()), pixels_of(n.get()));
  EXPECT_EQ(from_hbitmap(nullptr), nullptr);
}

// GDI+ reads the image's pixels and what it draws lands in them, reaching
// pixel reads and the next encoding after the release.
TEST_F(ImageWic, GdiplusBitmapSharesThePixels) {
  NodePtr n = patterned(3, 2);
  std::vector<uint8_t> before;
  ASSERT_TRUE(encode(n.get(), Format::PNG, before));  // the main bitmap now exists
  Lock l;
  void* bitmap = to_gdiplus_bitmap(n.get(), l);
  ASSERT_NE(bitmap, nullptr);
  auto* gp = static_cast<Gdiplus::GpBitmap*>(bitmap);
  UINT w = 0, h = 0;
  ASSERT_EQ(Gdiplus::DllExports::GdipGetImageWidth(gp, &w), Gdiplus::Ok);
  ASSERT_EQ(Gdiplus::DllExports::GdipGetImageHeight(gp, &h), Gdiplus::Ok);
  EXPECT_EQ(w, 3u);
  EXPECT_EQ(h, 2u);
  Gdiplus::ARGB argb = 0;
  ASSERT_EQ(Gdiplus::DllExports::GdipBitmapGetPixel(gp, 1, 1, &argb), Gdiplus::Ok);
  EXPECT_EQ(argb, pattern(4));
  ASSERT_EQ(Gdiplus::DllExports::GdipBitmapSetPixel(gp, 2, 0, 0x80102030), Gdiplus::Ok);
  release_gdiplus_bitmap(bitmap, l);
  EXPECT_EQ(l.node, nullptr);
  EXPECT_EQ(get_pixel(n.get(), 2), 0x80102030u);
  std::vector<uint8_t> after;
  ASSERT_TRUE(encode(n.get(), Format::PNG, after));
  NodePtr back(decode_memory(after));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(get_pixel(back.get(), 2), 0x80102030u);
  EXPECT_EQ(get_pixel(back.get(), 4), pattern(4));
}

TEST_F(ImageWic, FromPixelsCopiesRowsOfAnyStride) {
  // Two rows of 3 pixels, each row padded to 5 pixels.
  std::vector<uint32_t> buffer(10, 0xDEADBEEF);
  for (uint32_t y = 0; y < 2; y++)
    for (uint32_t x = 0; x < 3; x++) buffer[y * 5 + x] = pattern(y * 3 + x);
  NodePtr n(from_pixels(3, 2, 20, reinterpret_cast<const uint8_t*>(buffer.data())));
  ASSERT_NE(n, nullptr);
  buffer.assign(10, 0);  // the node holds its own copy
  for (uint32_t i = 0; i < 6; i++) EXPECT_EQ(get_pixel(n.get(), i), pattern(i)) << i;

  std::vector<uint32_t> packed = {1, 2, 3, 4};
  NodePtr tight(from_pixels(2, 2, 0, reinterpret_cast<const uint8_t*>(packed.data())));
  ASSERT_NE(tight, nullptr);
  EXPECT_EQ(pixels_of(tight.get()), packed);

  const uint8_t* any = reinterpret_cast<const uint8_t*>(packed.data());
  struct Bad {
    uint32_t w, h;
    size_t stride;
  };
  for (Bad b : {Bad{0, 2, 0}, Bad{2, 0, 0}, Bad{70000, 1, 0}, Bad{3, 2, 8}, Bad{40000, 40000, 0}})
    EXPECT_EQ(from_pixels(b.w, b.h, b.stride, any), nullptr) << b.w << "x" << b.h << " stride " << b.stride;
}

TEST_F(ImageWic, LocksOnOneNodeShareTheBitmapLock) {
  NodePtr n = patterned(4, 2);
  Lock reading = lock(n.get(), false);
  Lock writing = lock(n.get(), true);  // as a change of an image into itself takes them
  EXPECT_EQ(reading.data, writing.data);
  EXPECT_GE(writing.stride, 16u);
  std::memcpy(writing.data + writing.stride, reading.data, 16);  // row 0 over row 1
  unlock(writing);
  unlock(reading);
  for (uint32_t x = 0; x < 4; x++) EXPECT_EQ(get_pixel(n.get(), 4 + x), pattern(x));
  // After both unlocks the node locks afresh.
  Lock again = lock(n.get(), true);
  EXPECT_NE(again.data, nullptr);
  unlock(again);
}

TEST_F(ImageWic, DerivedNodesOwnTheirPixels) {
  NodePtr n = patterned(4, 4);
  get_bitmap(n.get(), false);  // the main bitmap is now a view of the pixels
  NodePtr resized(resize(n.get(), 2, 2));
  NodePtr flipped(flip_vertical(n.get()));
  NodePtr clipped(clip(n.get(), 1, 1, 2, 2));
  NodePtr copied(copy(n.get()));
  std::vector<uint32_t> r = pixels_of(resized.get()), f = pixels_of(flipped.get()), c = pixels_of(clipped.get()),
                        k = pixels_of(copied.get());
  for (uint32_t i = 0; i < 16; i++) set_pixel(n.get(), i, 0xFF00FF00);
  get_bitmap(n.get(), false);
  EXPECT_EQ(pixels_of(resized.get()), r);
  EXPECT_EQ(pixels_of(flipped.get()), f);
  EXPECT_EQ(pixels_of(clipped.get()), c);
  EXPECT_EQ(pixels_of(copied.get()), k);
  EXPECT_EQ(f[0], pattern(12));
  EXPECT_EQ(c[0], pattern(5));
  EXPECT_EQ(k, (std::vector<uint32_t>{pattern(0), pattern(1), pattern(2), pattern(3), pattern(4), pattern(5),
                                      pattern(6), pattern(7), pattern(8), pattern(9), pattern(10), pattern(11),
                                      pattern(12), pattern(13), pattern(14), pattern(15)}));
}

TEST_F(ImageWic, OutOfBoundsSizesRaiseBeforeAllocating) {
  NodePtr n = patterned(2, 2);
  EXPECT_EQ(error_of([] { release_node(create(65536, 1)); }), ErrId::NO_MEMORY);
  EXPECT_EQ(error_of([] { release_node(create(40000, 40000)); }), ErrId::NO_MEMORY);
  EXPECT_EQ(error_of([&] { release_node(resize(n.get(), 1, 70000)); }), ErrId::NO_MEMORY);
  std::vector<uint8_t> out;
  EXPECT_FALSE(encode(n.get(), Format(5), out));
  EXPECT_TRUE(out.empty());
}

// Failed decodes leave nothing behind: the stream over the copied bytes, the
// decoder and its partial frame are all released. A leak of any of them
// would hold megabytes per try.
TEST_F(ImageWic, FailedDecodesReleaseEverything) {
  NodePtr noise(create(1024, 1024));
  {
    Lock l = lock(noise.get(), true);
    uint32_t x = 2463534242u;
    for (uint32_t y = 0; y < 1024; y++)
      for (uint32_t i = 0; i < 1024 * 4; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        l.data[y * l.stride + i] = uint8_t(x);
      }
    unlock(l);
  }
  std::vector<uint8_t> png;
  ASSERT_TRUE(encode(noise.get(), Format::PNG, png));
  ASSERT_GT(png.size(), size_t(3) << 20);
  std::vector<uint8_t> truncated(png.begin(), png.begin() + std::ptrdiff_t(png.size() * 9 / 10));
  auto private_bytes = [] {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage;
  };
  EXPECT_EQ(decode_memory(truncated), nullptr);  // the first try may set up the codec's own state
  size_t before = private_bytes();
  for (int i = 0; i < 100; i++) ASSERT_EQ(decode_memory(truncated), nullptr) << i;
  size_t grown = private_bytes() - std::min(before, private_bytes());
  EXPECT_LT(grown, size_t(64) << 20) << "100 failed decodes kept " << grown << " bytes";
}

void put_be16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  b[at] = uint8_t(v >> 8);
  b[at + 1] = uint8_t(v);
}
void put_le32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// A file whose header declares an image beyond the bounds never reaches the
// codec (some versions of it overflow their buffer sizes and crash): each
// format's own encoding of a small image, its declared size patched.
TEST_F(ImageWic, DeclaredSizesBeyondTheBoundsAreRefused) {
  NodePtr small = patterned(16, 16);
  auto encoded = [&](Format f) {
    std::vector<uint8_t> out;
    EXPECT_TRUE(encode(small.get(), f, out));
    return out;
  };
  struct Case {
    const char* name;
    Format format;
    void (*patch)(std::vector<uint8_t>&, uint32_t side);
  };
  const Case cases[] = {
      {"PNG", Format::PNG, [](std::vector<uint8_t>& b, uint32_t side) {
         put_be16(b, 16, 0), put_be16(b, 18, side), put_be16(b, 20, 0), put_be16(b, 22, side);
       }},
      {"BMP", Format::BMP, [](std::vector<uint8_t>& b, uint32_t side) { put_le32(b, 18, side), put_le32(b, 22, side); }},
      {"GIF", Format::GIF, [](std::vector<uint8_t>& b, uint32_t side) {
         // The first image's descriptor, past the colour table and any
         // extensions.
         size_t at = 13 + ((b[10] & 0x80) ? size_t(3) << ((b[10] & 7) + 1) : 0);
         while (at < b.size() && b[at] == 0x21) {
           at += 2;
           while (at < b.size() && b[at] != 0) at += size_t(b[at]) + 1;
           at++;
         }
         ASSERT_LT(at + 9, b.size());
         ASSERT_EQ(b[at], 0x2C);
         b[at + 5] = b[at + 7] = uint8_t(side), b[at + 6] = b[at + 8] = uint8_t(side >> 8);
       }},
      {"JPEG", Format::JPEG, [](std::vector<uint8_t>& b, uint32_t side) {
         for (size_t i = 2; i + 9 < b.size(); i++)
           if (b[i] == 0xFF && (b[i + 1] == 0xC0 || b[i + 1] == 0xC2)) {
             put_be16(b, i + 5, side), put_be16(b, i + 7, side);
             return;
           }
       }},
      {"TIFF", Format::TIFF, [](std::vector<uint8_t>& b, uint32_t side) {
         // Little-endian: the first directory's width and height, stored
         // as LONG.
         size_t dir = size_t(b[4] | b[5] << 8 | b[6] << 16 | b[7] << 24), count = size_t(b[dir] | b[dir + 1] << 8);
         for (size_t i = 0; i < count; i++) {
           size_t e = dir + 2 + 12 * i;
           if ((b[e] | b[e + 1] << 8) == 256 || (b[e] | b[e + 1] << 8) == 257) {
             b[e + 2] = 4, b[e + 3] = 0;
             put_le32(b, e + 8, side);
           }
         }
       }},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> file = encoded(c.format);
    NodePtr fine(decode_memory(file));
    EXPECT_NE(fine, nullptr) << c.name << " as encoded";
    // 65000 fits 16 bits but not the pixel budget; 65535 is the largest
    // side that the 16-bit fields of GIF and JPEG can say.
    for (uint32_t side : {65000u, 65535u}) {
      std::vector<uint8_t> bomb = file;
      c.patch(bomb, side);
      EXPECT_EQ(decode_memory(bomb), nullptr) << c.name << " declaring " << side << "x" << side;
    }
  }
  // Nor do the first 1-3 bytes of each format reach it.
  for (Format f : {Format::PNG, Format::BMP, Format::GIF, Format::JPEG, Format::TIFF}) {
    std::vector<uint8_t> file = encoded(f);
    for (size_t n = 1; n <= 3; n++)
      EXPECT_EQ(decode_memory(std::span(file.data(), n)), nullptr) << int(f) << " cut to " << n;
  }
}

}  // namespace
}  // namespace vel::image
#endif
