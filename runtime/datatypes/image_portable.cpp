// The portable imaging backend (the native build): a node owns one
// B, G, R, A pixel buffer with rows of width * 4 bytes. BMP is our own;
// PNG, JPEG, GIF and TIFF go through libpng, libjpeg-turbo, giflib and
// libtiff, each read from and written to memory. Every decoder checks the
// declared size before it allocates, and fails (null) rather than raise:
// the datatype turns a failed decode into the error its caller wants.
//
// The C libraries report errors by longjmp (libpng, libjpeg) or by return
// codes; each longjmp target sits in a function whose own locals are
// trivial, so no destructor is skipped.
#include "datatypes/image_node.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <gif_lib.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include "byteorder.h"
#include "datatypes/image_formats.h"
#include "errors.h"

namespace vel::image {

struct Backend {
  uint8_t* pixels = nullptr;
};

namespace {

inline bool size_ok(uint64_t w, uint64_t h) {
  return w >= 1 && h >= 1 && w <= SIDE_MAX && h <= SIDE_MAX && w * h * 4 <= PIXEL_BYTES_MAX;
}

// A node with an uninitialised buffer, or null when the size is out of
// bounds or memory is short.
Node* try_create(uint32_t w, uint32_t h) {
  if (!size_ok(w, h)) return nullptr;
  auto* pixels = static_cast<uint8_t*>(std::malloc(size_t(w) * h * 4));
  if (!pixels) return nullptr;
  Node* n = new (std::nothrow) Node;
  Backend* b = new (std::nothrow) Backend;
  if (!n || !b) {
    delete n;
    delete b;
    std::free(pixels);
    return nullptr;
  }
  b->pixels = pixels;
  n->backend = b;
  n->width = w;
  n->height = h;
  n->flags = NODE_PIXELS_CURRENT;
  return n;
}

// Owns a node until it is handed out, so every failure path frees it.
struct NodeHolder {
  Node* n = nullptr;
  ~NodeHolder() {
    if (n) release_node(n);
  }
  Node* take() {
    Node* r = n;
    n = nullptr;
    return r;
  }
  uint8_t* row(size_t y) const { return n->backend->pixels + y * size_t(n->width) * 4; }
};


// ---------------------------------------------------------------- BMP

// The value of a masked channel scaled to 8 bits.
inline uint8_t channel(uint32_t px, uint32_t mask) {
  if (!mask) return 0;
  int shift = __builtin_ctz(mask);
  uint32_t m = mask >> shift;
  uint32_t v = (px & mask) >> shift;
  return uint8_t(m == 255 ? v : (uint64_t(v) * 255 + m / 2) / m);
}

Node* bmp_decode(std::span<const uint8_t> s) {
  if (s.size() < 26 || s[0] != 'B' || s[1] != 'M') return nullptr;
  uint32_t data_at = load_le32(&s[10]);
  uint32_t hsize = load_le32(&s[14]);
  int64_t w, h;
  uint32_t bpp, compression = 0, colors = 0;
  uint32_t masks[4] = {0, 0, 0, 0};
  bool has_alpha_mask = false;
  size_t pal_at = 14 + size_t(hsize);
  size_t pal_entry = 4;
  if (hsize == 12) {
    w = load_le16(&s[18]);
    h = int16_t(load_le16(&s[20]));
    bpp = load_le16(&s[24]);
    pal_entry = 3;
  } else if (hsize >= 40 && hsize <= 124 && s.size() >= 14 + size_t(hsize)) {
    w = int32_t(load_le32(&s[18]));
    h = int32_t(load_le32(&s[22]));
    bpp = load_le16(&s[28]);
    compression = load_le32(&s[30]);
    colors = load_le32(&s[46]);
    if (compression == 3 || compression == 6) {
      // Bit fields follow a 40-byte header, or sit inside a larger one.
      size_t at = 54;
      size_t n = compression == 6 ? 4 : 3;
      if (s.size() < at + 4 * n) return nullptr;
      for (size_t i = 0; i < n; i++) masks[i] = load_le32(&s[at + 4 * i]);
      if (hsize >= 56) {
        masks[3] = load_le32(&s[54 + 12]);
        has_alpha_mask = masks[3] != 0;
      } else if (n == 4) {
        has_alpha_mask = masks[3] != 0;
      }
      if (hsize == 40) pal_at += 4 * n;
    }
  } else {
    return nullptr;
  }
  bool top_down = h < 0;
  if (top_down) h = -h;
  if (w <= 0 || h <= 0 || !size_ok(uint64_t(w), uint64_t(h))) return nullptr;
  if (compression != 0 && compression != 3 && compression != 6) return nullptr;  // no RLE, no embedded PNG/JPEG
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return nullptr;
  if ((compression == 3 || compression == 6) && bpp != 16 && bpp != 32) return nullptr;
  if (compression == 0) {
    if (bpp == 16) {
      masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    } else if (bpp == 32) {
      masks[0] = 0xFF0000, masks[1] = 0xFF00, masks[2] = 0xFF;
    }
  }
  uint32_t palette[256] = {};
  if (bpp <= 8) {
    size_t count = colors ? colors : (1u << bpp);
    if (count > (1u << bpp)) return nullptr;
    if (pal_at + count * pal_entry > s.size()) return nullptr;
    for (size_t i = 0; i < count; i++) {
      const uint8_t* p = &s[pal_at + i * pal_entry];
      palette[i] = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | 0xFF000000u;
    }
  }
  uint64_t stride = ((uint64_t(w) * bpp + 31) / 32) * 4;
  if (data_at > s.size() || stride * uint64_t(h) > s.size() - data_at) return nullptr;
  NodeHolder out{try_create(uint32_t(w), uint32_t(h))};
  if (!out.n) return nullptr;
  for (int64_t y = 0; y < h; y++) {
    const uint8_t* src = &s[data_at + size_t(stride) * size_t(top_down ? y : h - 1 - y)];
    uint8_t* dst = out.row(size_t(y));
    for (int64_t x = 0; x < w; x++, dst += 4) {
      uint32_t px;
      switch (bpp) {
        case 1: px = palette[(src[x >> 3] >> (7 - (x & 7))) & 1]; break;
        case 4: px = palette[(src[x >> 1] >> (x & 1 ? 0 : 4)) & 15]; break;
        case 8: px = palette[src[x]]; break;
        case 24: px = uint32_t(src[3 * x]) | uint32_t(src[3 * x + 1]) << 8 | uint32_t(src[3 * x + 2]) << 16 | 0xFF000000u; break;
        default: {
          uint32_t raw = bpp == 16 ? load_le16(&src[2 * x]) : load_le32(&src[4 * x]);
          px = uint32_t(channel(raw, masks[2])) | uint32_t(channel(raw, masks[1])) << 8 |
               uint32_t(channel(raw, masks[0])) << 16 |
               uint32_t(has_alpha_mask ? channel(raw, masks[3]) : 255) << 24;
        }
      }
      std::memcpy(dst, &px, 4);
    }
  }
  return out.take();
}

void bmp_encode(const Node* n, std::vector<uint8_t>& o) {
  bmp_write(n->width, n->height, n->backend->pixels, size_t(n->width) * 4, o);
}

// ---------------------------------------------------------------- PNG

struct PngSource {
  const uint8_t* data;
  size_t size, pos;
};

void png_read_mem(png_structp png, png_bytep out, png_size_t n) {
  auto* src = static_cast<PngSource*>(png_get_io_ptr(png));
  if (n > src->size - src->pos) png_error(png, "truncated");
  std::memcpy(out, src->data + src->pos, n);
  src->pos += n;
}

void png_quiet(png_structp, png_const_charp) {}
// libpng prints an error whose handler returns; this one jumps at once.
[[noreturn]] void png_fail(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// Reads the header and sets the transformations to 8-bit B, G, R, A.
// false on any libpng error.
bool png_header(png_structp png, png_infop info, png_uint_32* w, png_uint_32* h) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_info(png, info);
  int depth, color, interlace;
  png_get_IHDR(png, info, w, h, &depth, &color, &interlace, nullptr, nullptr);
  if (!size_ok(*w, *h)) return false;
  if (color == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (color == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (depth == 16) png_set_strip_16(png);
  if (color == PNG_COLOR_TYPE_GRAY || color == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
  png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  png_set_bgr(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  return png_get_rowbytes(png, info) == size_t(*w) * 4;
}

bool png_body(png_structp png, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_read_image(png, rows);
  return true;
}

Node* png_decode(std::span<const uint8_t> s) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, png_fail, png_quiet);
  if (!png) return nullptr;
  png_infop info = png_create_info_struct(png);
  PngSource src{s.data(), s.size(), 0};
  png_set_read_fn(png, &src, png_read_mem);
  // Chunks past the image data are never read; ancillary chunks cannot
  // make libpng allocate without bound.
  png_set_chunk_malloc_max(png, 8u << 20);
  Node* result = nullptr;
  png_uint_32 w = 0, h = 0;
  if (info && png_header(png, info, &w, &h)) {
    NodeHolder out{try_create(w, h)};
    std::vector<png_bytep> rows;
    if (out.n) {
      rows.resize(h);
      for (png_uint_32 y = 0; y < h; y++) rows[y] = out.row(y);
      if (png_body(png, rows.data())) result = out.take();
    }
  }
  png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
  return result;
}

void png_write_mem(png_structp png, png_bytep data, png_size_t n) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}
void png_flush_mem(png_structp) {}

bool png_write_all(png_structp png, png_infop info, const Node* n, png_bytepp rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, n->width, n->height, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_set_bgr(png);
  png_write_image(png, rows);
  png_write_end(png, info);
  return true;
}

bool png_encode(const Node* n, std::vector<uint8_t>& o) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_fail, png_quiet);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  std::vector<png_bytep> rows(n->height);
  for (uint32_t y = 0; y < n->height; y++) rows[y] = n->backend->pixels + size_t(y) * n->width * 4;
  png_set_write_fn(png, &o, png_write_mem, png_flush_mem);
  bool ok = info && png_write_all(png, info, n, rows.data());
  png_destroy_write_struct(&png, info ? &info : nullptr);
  return ok;
}

// ---------------------------------------------------------------- JPEG

struct JpegError {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};

void jpeg_fail(j_common_ptr c) { std::longjmp(reinterpret_cast<JpegError*>(c->err)->jump, 1); }
void jpeg_quiet(j_common_ptr) {}

bool jpeg_header(jpeg_decompress_struct* d, JpegError* err, const uint8_t* data, size_t size) {
  if (setjmp(err->jump)) return false;
  jpeg_create_decompress(d);
  jpeg_mem_src(d, data, (unsigned long)size);
  if (jpeg_read_header(d, TRUE) != JPEG_HEADER_OK) return false;
  if (!size_ok(d->image_width, d->image_height)) return false;
  d->out_color_space = JCS_EXT_BGRA;
  return true;
}

bool jpeg_body(jpeg_decompress_struct* d, JpegError* err, Node* n) {
  if (setjmp(err->jump)) return false;
  jpeg_start_decompress(d);
  if (d->output_width != n->width || d->output_height != n->height || d->output_components != 4) return false;
  while (d->output_scanline < d->output_height) {
    JSAMPROW row = n->backend->pixels + size_t(d->output_scanline) * n->width * 4;
    if (jpeg_read_scanlines(d, &row, 1) != 1) return false;
  }
  jpeg_finish_decompress(d);
  return true;
}

Node* jpeg_decode(std::span<const uint8_t> s) {
  jpeg_decompress_struct d{};
  JpegError err{};
  d.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = jpeg_fail;
  err.mgr.output_message = jpeg_quiet;
  Node* result = nullptr;
  if (jpeg_header(&d, &err, s.data(), s.size())) {
    NodeHolder out{try_create(d.image_width, d.image_height)};
    if (out.n && jpeg_body(&d, &err, out.n)) result = out.take();
  }
  jpeg_destroy_decompress(&d);
  return result;
}

bool jpeg_write_all(jpeg_compress_struct* c, JpegError* err, const Node* n, unsigned char** buf, unsigned long* size) {
  if (setjmp(err->jump)) return false;
  jpeg_create_compress(c);
  jpeg_mem_dest(c, buf, size);
  c->image_width = n->width;
  c->image_height = n->height;
  c->input_components = 4;
  c->in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(c);
  jpeg_start_compress(c, TRUE);
  while (c->next_scanline < c->image_height) {
    JSAMPROW row = n->backend->pixels + size_t(c->next_scanline) * n->width * 4;
    jpeg_write_scanlines(c, &row, 1);
  }
  jpeg_finish_compress(c);
  return true;
}

bool jpeg_encode(const Node* n, std::vector<uint8_t>& o) {
  jpeg_compress_struct c{};
  JpegError err{};
  c.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = jpeg_fail;
  err.mgr.output_message = jpeg_quiet;
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  bool ok = jpeg_write_all(&c, &err, n, &buf, &size);
  jpeg_destroy_compress(&c);
  if (ok) o.assign(buf, buf + size);
  std::free(buf);
  return ok;
}

// ---------------------------------------------------------------- GIF

int gif_read_mem(GifFileType* g, GifByteType* out, int n) {
  auto* src = static_cast<PngSource*>(g->UserData);
  size_t k = std::min(size_t(n < 0 ? 0 : n), src->size - src->pos);
  std::memcpy(out, src->data + src->pos, k);
  src->pos += k;
  return int(k);
}

// The first frame only: frames after it are never read, so a file of many
// frames costs no more than its first.
Node* gif_decode(std::span<const uint8_t> s) {
  PngSource src{s.data(), s.size(), 0};
  int error = 0;
  GifFileType* g = DGifOpen(&src, gif_read_mem, &error);
  if (!g) return nullptr;
  int transparent = -1;
  Node* result = nullptr;
  for (;;) {
    GifRecordType type;
    if (DGifGetRecordType(g, &type) == GIF_ERROR || type == TERMINATE_RECORD_TYPE) break;
    if (type == EXTENSION_RECORD_TYPE) {
      int code;
      GifByteType* ext;
      if (DGifGetExtension(g, &code, &ext) == GIF_ERROR) break;
      bool bad = false;
      while (ext) {
        if (code == GRAPHICS_EXT_FUNC_CODE && ext[0] >= 4) {
          GraphicsControlBlock gcb;
          DGifExtensionToGCB(ext[0], ext + 1, &gcb);
          transparent = gcb.TransparentColor;
        }
        if (DGifGetExtensionNext(g, &ext) == GIF_ERROR) {
          bad = true;
          break;
        }
      }
      if (bad) break;
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE || DGifGetImageDesc(g) == GIF_ERROR) break;
    const GifImageDesc& d = g->Image;
    const ColorMapObject* map = d.ColorMap ? d.ColorMap : g->SColorMap;
    if (!map || d.Width <= 0 || d.Height <= 0) break;
    NodeHolder out{try_create(uint32_t(d.Width), uint32_t(d.Height))};
    if (!out.n) break;
    std::vector<GifPixelType> line(size_t(d.Width));
    bool ok = true;
    auto put_row = [&](int y) {
      if (DGifGetLine(g, line.data(), d.Width) == GIF_ERROR) return false;
      uint8_t* dst = out.row(size_t(y));
      for (int x = 0; x < d.Width; x++, dst += 4) {
        int i = line[size_t(x)];
        const GifColorType c = i < map->ColorCount ? map->Colors[i] : GifColorType{0, 0, 0};
        dst[0] = c.Blue, dst[1] = c.Green, dst[2] = c.Red;
        dst[3] = i == transparent ? 0 : 255;
      }
      return true;
    };
    if (d.Interlace) {
      static const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4 && ok; pass++)
        for (int y = start[pass]; y < d.Height && ok; y += step[pass]) ok = put_row(y);
    } else {
      for (int y = 0; y < d.Height && ok; y++) ok = put_row(y);
    }
    if (ok) result = out.take();
    break;
  }
  DGifCloseFile(g, &error);
  return result;
}

int gif_write_mem(GifFileType* g, const GifByteType* data, int n) {
  auto* out = static_cast<std::vector<uint8_t>*>(g->UserData);
  out->insert(out->end(), data, data + n);
  return n;
}

// One frame of at most 256 colours: the image's own colours when they fit
// (pixels under half opacity share one transparent entry), else a uniform
// 6 x 7 x 6 palette with each pixel taking its nearest entry.
bool gif_encode(const Node* n, std::vector<uint8_t>& o) {
  GifFrame f = gif_index(n->width, n->height, n->backend->pixels, size_t(n->width) * 4);
  int transparent = f.transparent;
  int entries = int(f.colors.size()) + (transparent >= 0 ? 1 : 0);
  int bits = 1;
  while ((1 << bits) < entries) bits++;
  ColorMapObject* map = GifMakeMapObject(1 << bits, nullptr);
  if (!map) return false;
  for (size_t i = 0; i < f.colors.size(); i++)
    map->Colors[i] = GifColorType{uint8_t(f.colors[i] >> 16), uint8_t(f.colors[i] >> 8), uint8_t(f.colors[i])};
  int error = 0;
  GifFileType* g = EGifOpen(&o, gif_write_mem, &error);
  bool ok = g != nullptr;
  if (ok) {
    EGifSetGifVersion(g, true);
    ok = EGifPutScreenDesc(g, int(n->width), int(n->height), bits, 0, map) != GIF_ERROR;
    if (ok && transparent >= 0) {
      GraphicsControlBlock gcb{};
      gcb.DisposalMode = DISPOSAL_UNSPECIFIED;
      gcb.TransparentColor = transparent;
      GifByteType ext[4];
      size_t len = EGifGCBToExtension(&gcb, ext);
      ok = EGifPutExtension(g, GRAPHICS_EXT_FUNC_CODE, int(len), ext) != GIF_ERROR;
    }
    ok = ok && EGifPutImageDesc(g, 0, 0, int(n->width), int(n->height), false, nullptr) != GIF_ERROR;
    for (uint32_t y = 0; ok && y < n->height; y++)
      ok = EGifPutLine(g, f.indexes.data() + size_t(y) * n->width, int(n->width)) != GIF_ERROR;
    if (EGifCloseFile(g, &error) == GIF_ERROR) ok = false;
  }
  GifFreeMapObject(map);
  return ok;
}

// ---------------------------------------------------------------- TIFF

struct TiffMem {
  std::vector<uint8_t>* out;  // when writing
  const uint8_t* data;
  size_t size, pos;
};

tmsize_t tiff_read(thandle_t h, void* buf, tmsize_t n) {
  auto* m = static_cast<TiffMem*>(h);
  if (n < 0 || m->pos > m->size) return 0;
  size_t k = std::min(size_t(n), m->size - m->pos);
  std::memcpy(buf, m->data + m->pos, k);
  m->pos += k;
  return tmsize_t(k);
}
tmsize_t tiff_write(thandle_t h, void* buf, tmsize_t n) {
  auto* m = static_cast<TiffMem*>(h);
  if (!m->out || n < 0) return 0;
  size_t end = m->pos + size_t(n);
  if (end > m->out->size()) m->out->resize(end);
  std::memcpy(m->out->data() + m->pos, buf, size_t(n));
  m->pos = end;
  m->size = m->out->size();
  return n;
}
toff_t tiff_seek(thandle_t h, toff_t off, int whence) {
  auto* m = static_cast<TiffMem*>(h);
  int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? int64_t(m->pos) : int64_t(m->size);
  int64_t p = base + int64_t(off);
  if (p < 0) return toff_t(-1);
  m->pos = size_t(p);
  return toff_t(p);
}
int tiff_close(thandle_t) { return 0; }
toff_t tiff_size(thandle_t h) { return static_cast<TiffMem*>(h)->size; }
int tiff_map(thandle_t, void**, toff_t*) { return 0; }
void tiff_unmap(thandle_t, void*, toff_t) {}

struct TiffQuiet {
  TiffQuiet() {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
  }
};

void tiff_quiet() { static TiffQuiet once; }

// The common layout read row by row: 8-bit RGB or RGBA, contiguous, in
// strips. Anything else goes through libtiff's general RGBA reader.
bool tiff_read_rows(TIFF* t, Node* n, uint16_t spp, bool premultiplied) {
  std::vector<uint8_t> line(size_t(TIFFScanlineSize(t)));
  if (line.size() < size_t(n->width) * spp) return false;
  for (uint32_t y = 0; y < n->height; y++) {
    if (TIFFReadScanline(t, line.data(), y, 0) < 0) return false;
    uint8_t* dst = n->backend->pixels + size_t(y) * n->width * 4;
    const uint8_t* src = line.data();
    for (uint32_t x = 0; x < n->width; x++, dst += 4, src += spp) {
      uint8_t a = spp == 4 ? src[3] : 255;
      uint8_t r = src[0], g = src[1], b = src[2];
      if (premultiplied && a && a < 255) {
        r = uint8_t(std::min(255, (r * 255 + a / 2) / a));
        g = uint8_t(std::min(255, (g * 255 + a / 2) / a));
        b = uint8_t(std::min(255, (b * 255 + a / 2) / a));
      }
      dst[0] = b, dst[1] = g, dst[2] = r, dst[3] = a;
    }
  }
  return true;
}

bool tiff_read_general(TIFF* t, Node* n) {
  // The general reader answers associated (premultiplied) colours.
  size_t count = size_t(n->width) * n->height;
  auto* raster = static_cast<uint32_t*>(_TIFFmalloc(tmsize_t(count * 4)));
  if (!raster) return false;
  bool ok = TIFFReadRGBAImageOriented(t, n->width, n->height, raster, ORIENTATION_TOPLEFT, 0) == 1;
  for (size_t i = 0; ok && i < count; i++) {
    uint32_t v = raster[i];
    uint8_t r = uint8_t(v), g = uint8_t(v >> 8), b = uint8_t(v >> 16), a = uint8_t(v >> 24);
    if (a && a < 255) {
      r = uint8_t(std::min(255, (r * 255 + a / 2) / a));
      g = uint8_t(std::min(255, (g * 255 + a / 2) / a));
      b = uint8_t(std::min(255, (b * 255 + a / 2) / a));
    }
    uint8_t* dst = n->backend->pixels + 4 * i;
    dst[0] = b, dst[1] = g, dst[2] = r, dst[3] = a;
  }
  _TIFFfree(raster);
  return ok;
}

Node* tiff_decode(std::span<const uint8_t> s) {
  tiff_quiet();
  TiffMem m{nullptr, s.data(), s.size(), 0};
  TIFF* t = TIFFClientOpen("memory", "rm", &m, tiff_read, tiff_write, tiff_seek, tiff_close, tiff_size, tiff_map, tiff_unmap);
  if (!t) return nullptr;
  Node* result = nullptr;
  uint32_t w = 0, h = 0;
  TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
  if (size_ok(w, h)) {
    NodeHolder out{try_create(w, h)};
    if (out.n) {
      uint16_t bps = 0, spp = 0, photometric = 0, planar = PLANARCONFIG_CONTIG, extra_count = 0;
      uint16_t* extra = nullptr;
      TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bps);
      TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
      TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
      TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
      TIFFGetFieldDefaulted(t, TIFFTAG_EXTRASAMPLES, &extra_count, &extra);
      bool simple = bps == 8 && photometric == PHOTOMETRIC_RGB && planar == PLANARCONFIG_CONTIG && !TIFFIsTiled(t) &&
                    (spp == 3 || (spp == 4 && extra_count == 1));
      bool premultiplied = spp == 4 && extra_count == 1 && extra && extra[0] == EXTRASAMPLE_ASSOCALPHA;
      bool ok = simple ? tiff_read_rows(t, out.n, spp, premultiplied) : tiff_read_general(t, out.n);
      if (ok) result = out.take();
    }
  }
  TIFFClose(t);
  return result;
}

bool tiff_encode(const Node* n, std::vector<uint8_t>& o) {
  tiff_quiet();
  TiffMem m{&o, nullptr, 0, 0};
  TIFF* t = TIFFClientOpen("memory", "w", &m, tiff_read, tiff_write, tiff_seek, tiff_close, tiff_size, tiff_map, tiff_unmap);
  if (!t) return false;
  uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, n->width);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, n->height);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 4);
  TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  std::vector<uint8_t> line(size_t(n->width) * 4);
  bool ok = true;
  for (uint32_t y = 0; ok && y < n->height; y++) {
    const uint8_t* src = n->backend->pixels + size_t(y) * n->width * 4;
    for (uint32_t x = 0; x < n->width; x++) {
      line[4 * x] = src[4 * x + 2];
      line[4 * x + 1] = src[4 * x + 1];
      line[4 * x + 2] = src[4 * x];
      line[4 * x + 3] = src[4 * x + 3];
    }
    ok = TIFFWriteScanline(t, line.data(), y, 0) >= 0;
  }
  ok = TIFFFlush(t) == 1 && ok;
  TIFFClose(t);
  return ok;
}

inline bool starts(std::span<const uint8_t> s, std::initializer_list<uint8_t> sig) {
  return s.size() >= sig.size() && std::equal(sig.begin(), sig.end(), s.begin());
}

[[noreturn]] void no_memory() { fire(ErrId::NO_MEMORY); }

Node* must(Node* n) {
  if (!n) no_memory();
  return n;
}

}  // namespace

bool backend_ready() { return true; }

Node* create(uint32_t width, uint32_t height) { return must(try_create(width, height)); }

Node* decode_memory(std::span<const uint8_t> s) {
  if (starts(s, {0x89, 'P', 'N', 'G'})) return png_decode(s);
  if (starts(s, {0xFF, 0xD8, 0xFF})) return jpeg_decode(s);
  if (starts(s, {'B', 'M'})) return bmp_decode(s);
  if (starts(s, {'G', 'I', 'F', '8'})) return gif_decode(s);
  if (starts(s, {'I', 'I', '*', 0}) || starts(s, {'M', 'M', 0, '*'})) return tiff_decode(s);
  return nullptr;
}

Node* decode_file(const std::string& local_path) {
  std::FILE* f = std::fopen(local_path.c_str(), "rb");
  if (!f) return nullptr;
  std::vector<uint8_t> bytes;
  uint8_t buf[65536];
  size_t k;
  bool ok = true;
  try {
    while ((k = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + k);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (std::ferror(f)) ok = false;
  std::fclose(f);
  return ok ? decode_memory(bytes) : nullptr;
}

bool encode(Node* n, Format format, std::vector<uint8_t>& out) {
  out.clear();
  switch (format) {
    case Format::BMP: bmp_encode(n, out); return true;
    case Format::PNG: return png_encode(n, out);
    case Format::GIF: return gif_encode(n, out);
    case Format::JPEG: return jpeg_encode(n, out);
    case Format::TIFF: return tiff_encode(n, out);
  }
  return false;
}

Node* copy(Node* n) {
  Node* r = create(n->width, n->height);
  std::memcpy(r->backend->pixels, n->backend->pixels, size_t(n->width) * n->height * 4);
  return r;
}

Node* clip(Node* n, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
  if (x >= n->width || y >= n->height || w > n->width - x || h > n->height - y) no_memory();
  Node* r = create(w, h);
  for (uint32_t row = 0; row < h; row++)
    std::memcpy(r->backend->pixels + size_t(row) * w * 4, n->backend->pixels + (size_t(y + row) * n->width + x) * 4,
                size_t(w) * 4);
  return r;
}

Node* resize(Node* n, uint32_t w, uint32_t h) {
  Node* r = create(w, h);
  const auto* src = reinterpret_cast<const uint8_t*>(n->backend->pixels);
  for (uint32_t y = 0; y < h; y++) {
    size_t sy = size_t(uint64_t(y) * n->height / h);
    for (uint32_t x = 0; x < w; x++) {
      size_t sx = size_t(uint64_t(x) * n->width / w);
      std::memcpy(r->backend->pixels + (size_t(y) * w + x) * 4, src + (sy * n->width + sx) * 4, 4);
    }
  }
  return r;
}

Node* flip_vertical(Node* n) {
  Node* r = create(n->width, n->height);
  size_t row = size_t(n->width) * 4;
  for (uint32_t y = 0; y < n->height; y++)
    std::memcpy(r->backend->pixels + size_t(n->height - 1 - y) * row, n->backend->pixels + size_t(y) * row, row);
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
  std::memcpy(&v, n->backend->pixels + index * 4, 4);
  return v;
}

void set_pixel(Node* n, size_t index, uint32_t bgra) {
  std::memcpy(n->backend->pixels + index * 4, &bgra, 4);
  n->flags |= NODE_PIXELS_WRITTEN;
}

void release_node(Node* n) {
  if (!n) return;
  if (n->backend) std::free(n->backend->pixels);
  delete n->backend;
  delete n;
}

}  // namespace vel::image
