// image!: the value, its actions, path words and text form, and the entry
// points of the codecs. The pixels live in an image node of the imaging
// backend (image_node.h); this file reaches them only through its
// operations, so it is the same on both builds.
#include "datatypes/image.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "action_frames.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/file.h"
#include "datatypes/pair.h"
#include "datatypes/series_actions.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "errors.h"
#include "families.h"
#include "externals.h"
#include "frame.h"
#include "routine_frames.h"
#include "output.h"
#include "platform/files.h"
#include "ownership.h"
#include "roots.h"
#include "series_ops.h"

namespace vel::img {

namespace {

int g_class = 0;  // the "image" resource class

void release_record(ExternalHandle h) { image::release_node(reinterpret_cast<image::Node*>(h)); }

inline uint32_t count_of(Size s) { return s.w * s.h; }

// A pixel as the tuple R.G.B.T.
inline Cell pixel_tuple(uint32_t bgra) {
  uint8_t b[4] = {uint8_t(bgra >> 16), uint8_t(bgra >> 8), uint8_t(bgra), uint8_t(255 - (bgra >> 24))};
  return tuple_from_bytes(4, b);
}
// A tuple as a stored pixel: a 3-byte tuple is opaque.
inline uint32_t tuple_pixel(const Cell& t) {
  uint32_t r = tuple_byte(t, 0), g = tuple_byte(t, 1), b = tuple_byte(t, 2);
  uint32_t tr = tuple_count(t) >= 4 ? tuple_byte(t, 3) : 0;
  return b | g << 8 | r << 16 | (255 - tr) << 24;
}

[[noreturn]] void bad_media() { fire(ErrId::BAD_MEDIA); }

void need_backend() {
  if (!image::backend_ready()) bad_media();
}

// A lock released on every way out, errors included.
struct ScopedLock {
  image::Lock l;
  ScopedLock(image::Node* n, bool write) : l(image::lock(n, write)) {}
  ~ScopedLock() { image::unlock(l); }
  uint8_t* px(size_t i, uint32_t width) const { return l.data + (i / width) * l.stride + (i % width) * 4; }
  uint8_t* row(uint32_t y) const { return l.data + size_t(y) * l.stride; }
};

// The sides of a new image: negative counts as 0; a side above the 16-bit
// limit is refused, never wrapped.
Size checked_size(const Cell& pair) {
  int64_t w = std::max<int64_t>(pair_x(pair), 0), h = std::max<int64_t>(pair_y(pair), 0);
  if (w > image::SIDE_MAX || h > image::SIDE_MAX) fire(ErrId::OUT_OF_RANGE, pair);
  if (uint64_t(w) * uint64_t(h) * 4 > image::PIXEL_BYTES_MAX) fire(ErrId::NO_MEMORY);
  return {uint32_t(w), uint32_t(h)};
}

// A node of the size filled with a colour, or with rgb and alpha bytes
// (white and opaque where they run out).
image::Node* make_filled(Size s, const Cell* color, const Cell* rgb, const Cell* alpha) {
  if (!s.w || !s.h) return nullptr;
  need_backend();
  image::Node* n = image::create(s.w, s.h);
  ScopedLock lk(n, true);
  size_t count = size_t(s.w) * s.h;
  if (color) {
    uint32_t v = tuple_pixel(*color);
    for (uint32_t y = 0; y < s.h; y++) {
      uint8_t* p = lk.row(y);
      for (uint32_t x = 0; x < s.w; x++) std::memcpy(p + 4 * x, &v, 4);
    }
    return n;
  }
  const uint8_t* rp = nullptr;
  size_t rn = 0, an = 0;
  const uint8_t* ap = nullptr;
  if (rgb) {
    Cell r = *rgb;
    rn = size_t(binary::rs_length(&r)) / 3;
    rp = binary::rs_head(&r);
  }
  if (alpha) {
    Cell a = *alpha;
    an = size_t(binary::rs_length(&a));
    ap = binary::rs_head(&a);
  }
  for (size_t i = 0; i < count; i++) {
    uint8_t* p = lk.px(i, s.w);
    if (i < rn) p[0] = rp[3 * i + 2], p[1] = rp[3 * i + 1], p[2] = rp[3 * i];
    else p[0] = p[1] = p[2] = 255;
    p[3] = i < an ? uint8_t(255 - ap[i]) : 255;
  }
  return n;
}

// Index resolution of pick, poke and at (base 1) and skip (base 0): the
// position, clamped to 0 .. count, and whether the request was in range.
struct Resolved {
  int64_t pos;
  bool in_range;
};

Resolved resolve(const Cell& img, const Cell& arg, int base) {
  Size s = size_of(img);
  int64_t count = count_of(s);
  int64_t off;
  bool in_range = true;
  if (arg.is(TYPE_INTEGER)) {
    off = arg.i2();
  } else if (arg.is(TYPE_PAIR)) {
    int64_t x = pair_x(arg), y = pair_y(arg);
    if (base == 1) {
      if (x > s.w || x <= 0 || y > s.h || y <= 0) in_range = false;
      off = x + int64_t(s.w) * (y > 0 ? y - 1 : y);
    } else {
      if (x >= s.w || x < 0 || y >= s.h || y < 0) in_range = false;
      off = x + int64_t(s.w) * y;
    }
  } else {
    fire(ErrId::INVALID_ARG, arg);
  }
  int64_t pos = off + std::max<int64_t>(img.index(), 0) - base;
  if (base == 1 && off <= 0) pos += 1;
  if ((base == 1 && off == 0) || pos < 0 || pos >= count) in_range = false;
  return {std::clamp<int64_t>(pos, 0, count), in_range};
}

Cell pick_at(const Cell& img, const Cell& arg) {
  Resolved r = resolve(img, arg, 1);
  image::Node* n = node_of(img);
  if (!r.in_range || !n) return none_cell();
  return pixel_tuple(image::get_pixel(n, size_t(r.pos)));
}

may_gc void poke_at(const Cell& img_in, const Cell& arg, const Cell& value_in) {
  RootedCell img(img_in), value(value_in), index(arg);
  Resolved r = resolve(*img, arg, 1);
  if (!r.in_range || !node_of(*img)) fire(ErrId::OUT_OF_RANGE, arg);
  if (!value->is(TYPE_TUPLE)) fire(ErrId::INVALID_ARG, *value);
  bool told = report_change(*img, ChangeWord::POKE, *value, int32_t(r.pos), 1);
  image::Node* n = node_of(*img);
  if (!n) return;
  image::set_pixel(n, size_t(r.pos), tuple_pixel(*value));
  if (told) (void)report_change(*img, ChangeWord::POKED, *value, int32_t(r.pos), 1);
}

// --- channels ----------------------------------------------------------------

enum Channel { CH_ALPHA = 0, CH_RGB = 1, CH_ARGB = 2 };

may_gc Cell extract(const Cell& img_in, Channel ch) {
  RootedCell img(img_in);
  Size s = size_of(*img);
  size_t count = count_of(s);
  size_t per = ch == CH_ALPHA ? 1 : ch == CH_RGB ? 3 : 4;
  if (uint64_t(count) * per > 0x7FFFFFF0u) fire(ErrId::NO_MEMORY);
  RootedCell out(none_cell());
  binary::make_at(out.get(), uint32_t(count * per));
  image::Node* n = node_of(*img);
  if (!n || !count) return *out;
  Buffer* b = node_buffer(out->node());
  uint8_t* dst = b->head_ptr();
  ScopedLock lk(n, false);
  for (size_t i = 0; i < count; i++) {
    const uint8_t* p = lk.px(i, s.w);
    switch (ch) {
      case CH_ALPHA: *dst++ = uint8_t(255 - p[3]); break;
      case CH_RGB: *dst++ = p[2], *dst++ = p[1], *dst++ = p[0]; break;
      case CH_ARGB: std::memcpy(dst, p, 4), dst += 4; break;
    }
  }
  b->tail = b->head + uint32_t(count * per);
  return *out;
}

may_gc void set_data(const Cell& img_in, const Cell& value_in, Channel ch) {
  RootedCell img(img_in), value(value_in);
  if (!value->is(TYPE_BINARY) && !value->is(TYPE_TUPLE) && !value->is(TYPE_INTEGER)) fire(ErrId::INVALID_ARG, *value);
  Size s = size_of(*img);
  size_t count = count_of(s);
  image::Node* n = node_of(*img);
  bool told = report_change(*img, ChangeWord::CHANGE, *value, 0, int32_t(count));
  n = node_of(*img);
  if (n && count) {
    ScopedLock lk(n, true);
    if (value->is(TYPE_BINARY)) {
      Cell v = *value;
      size_t len = size_t(binary::rs_length(&v));
      const uint8_t* src = binary::rs_head(&v);
      size_t per = ch == CH_ALPHA ? 1 : ch == CH_RGB ? 3 : 4;
      size_t k = std::min(count, len / per);
      for (size_t i = 0; i < k; i++) {
        uint8_t* p = lk.px(i, s.w);
        const uint8_t* q = src + i * per;
        switch (ch) {
          case CH_ALPHA: p[3] = uint8_t(255 - q[0]); break;
          case CH_RGB: p[0] = q[2], p[1] = q[1], p[2] = q[0]; break;
          case CH_ARGB: std::memcpy(p, q, 4); break;
        }
      }
      // A partial last pixel of raw bytes is written too.
      if (ch == CH_ARGB && k < count && len % 4 && len / 4 == k) std::memcpy(lk.px(k, s.w), src + 4 * k, len % 4);
    } else {
      uint8_t r, g, b, t;
      if (value->is(TYPE_TUPLE)) {
        r = tuple_byte(*value, 0), g = tuple_byte(*value, 1), b = tuple_byte(*value, 2);
        t = tuple_count(*value) >= 4 ? tuple_byte(*value, 3) : 0;
      } else {
        uint32_t v = value->w2;
        r = uint8_t(v), g = uint8_t(v >> 8), b = uint8_t(v >> 16), t = uint8_t(v >> 24);
      }
      for (size_t i = 0; i < count; i++) {
        uint8_t* p = lk.px(i, s.w);
        switch (ch) {
          case CH_ALPHA: p[3] = uint8_t(255 - r); break;
          case CH_RGB: p[0] = b, p[1] = g, p[2] = r; break;
          case CH_ARGB: p[0] = b, p[1] = g, p[2] = r, p[3] = uint8_t(255 - t); break;
        }
      }
    }
  }
  if (told) (void)report_change(*img, ChangeWord::CHANGED, *value, 0, int32_t(count));
}

// --- make and to ---------------------------------------------------------------

may_gc void copy_whole(Cell* out, const Cell& img) {
  image::Node* n = node_of(img);
  Size s = size_of(img);
  if (!n) {
    make_at(out, nullptr, 0, 0);
    return;
  }
  need_backend();
  make_at(out, image::copy(n), s.w, s.h);
}

Status image_make(Cell* base) {
  using enum act::make::Frame;
  RootedCell spec(base[SPEC]);
  if (spec->is(TYPE_PAIR)) {
    Size s = checked_size(*spec);
    Cell white = tuple_cell(3, 0, 0, 0);
    for (int i = 0; i < 3; i++) tuple_set_byte(&white, i, 255);
    make_at(&base[RESULT], make_filled(s, &white, nullptr, nullptr), s.w, s.h);
    return Status::OK;
  }
  if (spec->is(TYPE_BLOCK)) {
    Buffer* b = node_buffer(spec->node());
    uint32_t len = b->length(), at = uint32_t(std::clamp<int64_t>(spec->index(), 0, len));
    uint32_t n = len - at;
    if (n == 0) {
      if (!base[TYPE].is(TYPE_IMAGE)) fire(ErrId::INVALID_ARG, *spec);
      RootedCell proto(base[TYPE]);
      copy_whole(&base[RESULT], *proto);
      return Status::OK;
    }
    RootedCell first(b->cells()[at]);
    RootedCell second(n > 1 ? b->cells()[at + 1] : none_cell());
    RootedCell third(n > 2 ? b->cells()[at + 2] : none_cell());
    if (!first->is(TYPE_PAIR)) fire(ErrId::INVALID_ARG, *first);
    if (n > 1 && !second->is(TYPE_BINARY) && !second->is(TYPE_TUPLE)) fire(ErrId::INVALID_ARG, *second);
    if (n > 2 && !third->is(TYPE_BINARY)) fire(ErrId::INVALID_ARG, *third);
    Size s = checked_size(*first);
    const Cell* color = n > 1 && second->is(TYPE_TUPLE) ? second.get() : nullptr;
    const Cell* rgb = n > 1 && second->is(TYPE_BINARY) ? second.get() : nullptr;
    const Cell* alpha = n > 2 ? third.get() : nullptr;
    make_at(&base[RESULT], make_filled(s, color, rgb, alpha), s.w, s.h);
    return Status::OK;
  }
  if (spec->is(TYPE_IMAGE)) {
    copy_whole(&base[RESULT], *spec);
    return Status::OK;
  }
  fire(ErrId::BAD_TO_ARG, datatype_cell(TYPE_IMAGE), *spec);
}

Status image_to(Cell* base) {
  using enum act::to::Frame;
  RootedCell spec(base[SPEC]);
  if (!spec->is(TYPE_IMAGE)) fire(ErrId::BAD_TO_ARG, datatype_cell(TYPE_IMAGE), *spec);
  copy_whole(&base[RESULT], *spec);
  return Status::OK;
}

// --- text ----------------------------------------------------------------------

may_gc int32_t serialize(Cell value, NodeId out_in, uint32_t flags, int32_t part, int32_t level) {
  static const char kDigits[] = "0123456789ABCDEF";
  RootedNode out(out_in);
  RootedCell v(value);
  bool only = flags & MOLD_ONLY, flat = flags & MOLD_FLAT;
  bool limited = part != NO_PART_LIMIT;
  Size s = size_of(*v);
  std::string text;
  auto flush = [&] {
    append_latin1(out, text);
    text.clear();
  };
  auto newline = [&](int32_t lv) {
    text += '\n';
    text.append(size_t(std::max(lv, 0)) * 4, ' ');
  };
  if (!only) text += "make image! [";
  text += std::to_string(s.w) + "x" + std::to_string(s.h);
  part = spend(part, int64_t(text.size()));
  image::Node* n = node_of(*v);
  if (!n) {
    text += " #{}";
    part = spend(part, 4);
    if (!only) text += ']', part = spend(part, 1);
    flush();
    return part;
  }
  size_t count = count_of(s);
  size_t from = size_t(std::clamp<int64_t>(v->index(), 0, int64_t(count)));
  size_t pixels = count - from;
  bool lines = !flat && pixels * 4 > 30;
  text += " #{";
  part = spend(part, 3);
  level++;
  if (lines) newline(level);
  bool translucent = false;
  {
    // Pixels are read into C++ memory first: appending may move buffers.
    std::vector<uint8_t> bgra(pixels * 4);
    {
      ScopedLock lk(n, false);
      for (size_t i = 0; i < pixels; i++) std::memcpy(&bgra[4 * i], lk.px(from + i, s.w), 4);
    }
    size_t i = 0;
    for (; i < pixels; i++) {
      if (limited && part <= 0) {
        flush();
        return part;
      }
      const uint8_t* p = &bgra[4 * i];
      for (int c : {2, 1, 0}) text += kDigits[p[c] >> 4], text += kDigits[p[c] & 15];
      part = spend(part, 6);
      if (!flat && (i + 1) % 10 == 0) newline(level);
      if (text.size() >= 4096) flush();
    }
    level--;
    if (lines && pixels % 10) newline(level);
    text += '}';
    for (size_t k = 0; k < pixels; k++)
      if (bgra[4 * k + 3] != 255) translucent = true;
    if (translucent) {
      text += " #{";
      if (!flat) newline(level + 1);
      for (size_t k = 0; k < pixels; k++) {
        uint8_t t = uint8_t(255 - bgra[4 * k + 3]);
        text += kDigits[t >> 4], text += kDigits[t & 15];
        if (!flat && (k + 1) % 10 == 0) newline(level + 1);
        if (text.size() >= 4096) flush();
      }
      // Closed like the colour part: a line feed first only when the last
      // line is not full, so no line holds nothing but indentation.
      if (!flat && pixels % 10) newline(level);
      text += '}';
    }
  }
  if (!only) text += ']';
  flush();
  return part;
}

int32_t image_form(Cell v, NodeId out, const Cell*, int32_t part) { return serialize(v, out, 0, part, 0); }
int32_t image_mold(Cell v, NodeId out, uint32_t flags, const Cell*, int32_t part, int32_t indent) {
  return serialize(v, out, flags, part, indent);
}

// --- comparison -------------------------------------------------------------------

int32_t image_compare(const Cell* a, const Cell* b, int op) {
  if (!b->is(TYPE_IMAGE)) return CMP_INCOMPARABLE;
  bool same = a->w2 == b->w2 && a->index() == b->index();
  if (op == CMP_SAME) return same ? 0 : -1;
  switch (op) {
    case CMP_EQUAL:
    case CMP_NOT_EQUAL:
    case CMP_STRICT_EQUAL:
    case CMP_FIND:
    case CMP_SORT:
    case CMP_CASE_SORT:
      break;
    default:
      return CMP_INCOMPARABLE;
  }
  if (same) return 0;
  Size sa = size_of(*a), sb = size_of(*b);
  uint64_t ca = count_of(sa), cb = count_of(sb);
  if (ca != cb) return ca < cb ? -1 : 1;
  image::Node* na = node_of(*a);
  image::Node* nb = node_of(*b);
  if (!ca || !na || !nb) return 0;
  // Equal pixel counts in different shapes still compare byte by byte, in
  // row order.
  image::Lock la = image::lock(na, false);
  image::Lock lb = image::lock(nb, false);
  int r = 0;
  for (uint64_t i = 0; i < ca && !r; i++) {
    const uint8_t* pa = la.data + (i / sa.w) * la.stride + (i % sa.w) * 4;
    const uint8_t* pb = lb.data + (i / sb.w) * lb.stride + (i % sb.w) * 4;
    r = std::memcmp(pa, pb, 4);
  }
  image::unlock(lb);
  image::unlock(la);
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

// --- positions ---------------------------------------------------------------------

Status image_at(Cell* base) {
  using enum act::at::Frame;
  base[SERIES].w1 = uint32_t(resolve(base[SERIES], base[INDEX], 1).pos);
  return Status::OK;
}

Status image_skip(Cell* base) {
  using enum act::skip::Frame;
  base[SERIES].w1 = uint32_t(resolve(base[SERIES], base[OFFSET], 0).pos);
  return Status::OK;
}

Status image_next(Cell* base) {
  using enum act::next::Frame;
  int64_t i = std::max<int64_t>(base[SERIES].index(), 0);
  if (i + 1 <= int64_t(count_of(size_of(base[SERIES])))) base[SERIES].w1 = uint32_t(i + 1);
  return Status::OK;
}

Status image_tail(Cell* base) {
  using enum act::tail::Frame;
  base[SERIES].w1 = count_of(size_of(base[SERIES]));
  return Status::OK;
}

Status image_tail_q(Cell* base) {
  using enum act::tail_q::Frame;
  base[RESULT] = logic_cell(base[SERIES].index() >= int64_t(count_of(size_of(base[SERIES]))));
  return Status::OK;
}

Status image_length_q(Cell* base) {
  using enum act::length_q::Frame;
  base[RESULT] = integer_cell(int32_t(count_of(size_of(base[SERIES]))));
  return Status::OK;
}

Status image_pick(Cell* base) {
  using enum act::pick::Frame;
  base[RESULT] = pick_at(base[SERIES], base[INDEX]);
  return Status::OK;
}

Status image_poke(Cell* base) {
  using enum act::poke::Frame;
  poke_at(base[SERIES], base[INDEX], base[VALUE]);
  base[RESULT] = base[VALUE];
  return Status::OK;
}

// --- copy and change ------------------------------------------------------------------

struct Rect {
  int64_t x, y, w, h;
};

// copy: image, /part length, /deep, /types kind.
Status image_copy(Cell* base) {
  using enum act::copy::Frame;
  RootedCell img(base[VALUE]);
  Size s = size_of(*img);
  int64_t count = count_of(s);
  image::Node* n = node_of(*img);
  if (!n || !count) {
    make_at(&base[RESULT], nullptr, 0, 0);
    return Status::OK;
  }
  int64_t idx = std::clamp<int64_t>(img->index(), 0, count);
  int64_t col = idx % s.w, row = idx / s.w;
  Rect r{col, row, int64_t(s.w) - col, int64_t(s.h) - row};
  if (used(base[PART])) {
    const Cell& part = base[LENGTH];
    if (part.is(TYPE_INTEGER)) fire(ErrId::NOT_DONE);
    if (part.is(TYPE_PAIR)) {
      int64_t pw = pair_x(part), ph = pair_y(part);
      if (pw > 0 && ph > 0) {
        r.w = std::min(pw, r.w), r.h = std::min(ph, r.h);
      } else if (pw < 0 && ph < 0 && idx >= 1) {
        int64_t x0 = std::max<int64_t>(0, col + pw), y0 = std::max<int64_t>(0, row + ph);
        r = Rect{x0, y0, col - x0, row - y0};
      } else {
        r.w = r.h = 0;
      }
    } else if (part.is(TYPE_IMAGE)) {
      if (part.w3 != img->w3) fire_refine_arg("part", part);
      // From the smaller position: the rows between the two positions, and
      // the columns between their two columns.
      int64_t other = std::clamp<int64_t>(part.index(), 0, count);
      int64_t p1 = std::min(idx, other), p2 = std::max(idx, other);
      int64_t c1 = p1 % s.w, c2 = p2 % s.w;
      r = Rect{std::min(c1, c2), p1 / s.w, std::abs(c2 - c1), p2 / s.w - p1 / s.w};
    } else {
      fire_refine_arg("part", part);
    }
  } else if (idx == 0) {
    copy_whole(&base[RESULT], *img);
    return Status::OK;
  }
  if (r.w <= 0 || r.h <= 0) {
    make_at(&base[RESULT], nullptr, 0, 0);
    return Status::OK;
  }
  need_backend();
  make_at(&base[RESULT], image::clip(node_of(*img), uint32_t(r.x), uint32_t(r.y), uint32_t(r.w), uint32_t(r.h)),
          uint32_t(r.w), uint32_t(r.h));
  return Status::OK;
}

// change: series, value, /part range, /only, /dup count.
Status image_change(Cell* base) {
  using enum act::change::Frame;
  auto above_one = [](const Cell& c) { return !c.is(TYPE_INTEGER) || c.i2() > 1; };
  if ((used(base[PART]) && above_one(base[RANGE])) || (used(base[DUP]) && above_one(base[COUNT])))
    fire(ErrId::NOT_DONE);
  RootedCell img(base[SERIES]), value(base[VALUE]);
  Size s = size_of(*img);
  int64_t count = count_of(s);
  int64_t idx = std::clamp<int64_t>(img->index(), 0, count);
  if (value->is(TYPE_TUPLE)) {
    if (idx >= count || !node_of(*img)) fire(ErrId::OUT_OF_RANGE, integer_cell(int32_t(idx + 1)));
    bool told = report_change(*img, ChangeWord::CHANGE, *value, int32_t(idx), 1);
    image::set_pixel(node_of(*img), size_t(idx), tuple_pixel(*value));
    if (told) (void)report_change(*img, ChangeWord::CHANGED, *value, int32_t(idx), 1);
    base[RESULT] = *img;
    base[RESULT].w1 = uint32_t(idx + 1);
    return Status::OK;
  }
  if (!value->is(TYPE_IMAGE)) fire(ErrId::INVALID_TYPE, datatype_cell(value->type()));
  base[RESULT] = *img;
  image::Node* dst = node_of(*img);
  image::Node* src = node_of(*value);
  if (idx >= count || !dst || !src) return Status::OK;
  Size ss = size_of(*value);
  uint32_t col = uint32_t(idx % s.w), row = uint32_t(idx / s.w);
  uint32_t cw = std::min(ss.w, s.w - col), ch = std::min(ss.h, s.h - row);
  bool told = report_change(*img, ChangeWord::CHANGE, *value, int32_t(idx), int32_t(cw * ch));
  dst = node_of(*img);
  src = node_of(*value);
  {
    if (src == dst) {
      // The same pixels on both sides: copy through C++ memory.
      std::vector<uint8_t> tmp(size_t(ss.w) * ss.h * 4);
      {
        ScopedLock ls(src, false);
        for (uint32_t y = 0; y < ss.h; y++) std::memcpy(&tmp[size_t(y) * ss.w * 4], ls.row(y), size_t(ss.w) * 4);
      }
      ScopedLock ld(dst, true);
      for (uint32_t y = 0; y < ch; y++) std::memcpy(ld.row(row + y) + size_t(col) * 4, &tmp[size_t(y) * ss.w * 4], size_t(cw) * 4);
    } else {
      ScopedLock ld(dst, true);
      ScopedLock ls(src, false);
      for (uint32_t y = 0; y < ch; y++) std::memcpy(ld.row(row + y) + size_t(col) * 4, ls.row(y), size_t(cw) * 4);
    }
  }
  if (told) (void)report_change(*img, ChangeWord::CHANGED, *value, int32_t(idx), int32_t(cw * ch));
  base[SERIES].w1 = (row + ch - 1) * s.w + col + cw;
  return Status::OK;
}

// --- paths ------------------------------------------------------------------------------

bool is_word_named(const Cell& w, const char* name) {
  if (!w.is(TYPE_WORD)) return false;
  std::string_view text = symbol::text(w.w2);
  return text.size() == std::strlen(name) &&
         std::equal(text.begin(), text.end(), name, [](char a, char b) { return (a | 0x20) == b; });
}

may_gc Cell image_eval_path(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step) {
  Cell path = step.path ? *step.path : none_cell();
  if (selector.is(TYPE_INTEGER) || selector.is(TYPE_PAIR)) {
    if (!set_value) return pick_at(value, selector);
    RootedCell v(*set_value);
    poke_at(value, selector, *v);
    return *v;
  }
  if (is_word_named(selector, "size")) {
    if (set_value) fire(ErrId::INVALID_PATH, path, selector);
    Size s = size_of(value);
    return pair_cell(int32_t(s.w), int32_t(s.h));
  }
  Channel ch;
  if (is_word_named(selector, "argb")) ch = CH_ARGB;
  else if (is_word_named(selector, "rgb")) ch = CH_RGB;
  else if (is_word_named(selector, "alpha")) ch = CH_ALPHA;
  else fire(ErrId::INVALID_PATH, path, selector);
  if (!set_value) return extract(value, ch);
  RootedCell v(*set_value);
  set_data(value, *v, ch);
  return *v;
}

// --- foreach ------------------------------------------------------------------------------

// words is one word (a single loop word) or the block of the loop words.
may_gc bool image_foreach_step(const Cell& words_in, uint32_t n, Cell* it) {
  RootedCell words(words_in);
  Size s = size_of(*it);
  int64_t count = count_of(s);
  int64_t idx = std::max<int64_t>(it->index(), 0);
  if (idx >= count) return false;
  for (uint32_t i = 0; i < n; i++) {
    Cell word = words->is(TYPE_BLOCK) ? block::rs_abs_at(*words, uint32_t(series_index(*words) + i))[0] : *words;
    if (!is_word_form(word.type())) fire(ErrId::INVALID_ARG, word);
  }
  it->w1 = uint32_t(std::min<int64_t>(idx + n, count));
  for (uint32_t i = 0; i < n; i++) {
    image::Node* node = node_of(*it);
    Cell v = idx + i < count && node ? pixel_tuple(image::get_pixel(node, size_t(idx + i))) : none_cell();
    Cell word = words->is(TYPE_BLOCK) ? block::rs_abs_at(*words, uint32_t(series_index(*words) + i))[0] : *words;
    word.set_type(TYPE_WORD);
    word::set_any(&word, v);
  }
  return true;
}

}  // namespace

Size size_of(const Cell& c) {
  Size s;
  std::memcpy(&s, node_buffer(c.w2)->head_ptr(), sizeof s);
  return s;
}

image::Node* node_of(const Cell& c) {
  if (c.i3() == NO_NODE) return nullptr;
  return reinterpret_cast<image::Node*>(g_externals.handle(c.i3()));
}

may_gc void make_at(Cell* c, image::Node* node, uint32_t w, uint32_t h) {
  if (node) w = node->width, h = node->height;
  // The size buffer comes first: the record is stored only when nothing
  // more is allocated before the cell holds it, so no collection can sweep
  // it unmarked.
  Cell tmp;
  try {
    binary::make_at(&tmp, sizeof(Size));
  } catch (...) {
    image::release_node(node);
    throw;
  }
  Buffer* b = node_buffer(tmp.node());
  Size s{w, h};
  std::memcpy(b->head_ptr(), &s, sizeof s);
  b->tail = b->head + sizeof s;
  int32_t record = NO_NODE;
  if (node) {
    record = g_externals.store(reinterpret_cast<ExternalHandle>(node), g_class);
    node->resource = record;
  }
  *c = make_cell(TYPE_IMAGE, 0, tmp.node(), uint32_t(record));
}

may_gc Cell encode(const Cell& image_in, int format) {
  RootedCell img(image_in);
  if (format < 0 || format >= image::FORMAT_COUNT) {
    print_cstring("Cannot find image encoder\n");
    return none_cell();
  }
  image::Node* n = node_of(*img);
  if (!n) bad_media();
  need_backend();
  std::vector<uint8_t> bytes;
  if (!image::encode(n, image::Format(format), bytes)) bad_media();
  return binary::load(bytes.data(), bytes.size());
}

may_gc Cell decode(const Cell& source) {
  RootedCell src(source);
  RootedCell out(none_cell());
  if (src->is(TYPE_BINARY)) {
    Cell b = *src;
    size_t len = size_t(binary::rs_length(&b));
    const uint8_t* p = binary::rs_head(&b);
    auto starts = [&](std::initializer_list<uint8_t> sig) {
      return len >= sig.size() && std::equal(sig.begin(), sig.end(), p);
    };
    bool known = starts({0x89, 'P', 'N', 'G'}) || starts({0xFF, 0xD8, 0xFF}) || starts({'B', 'M'}) ||
                 starts({'G', 'I', 'F', '8', '7', 'a'}) || starts({'G', 'I', 'F', '8', '9', 'a'}) ||
                 starts({'I', 'I', '*', 0}) || starts({'M', 'M', 0, '*'});
    if (!known) return none_cell();
    need_backend();
    // The bytes are copied out: decoding does not allocate Vel memory, but
    // the copy keeps the backend away from a buffer the collector may move.
    std::vector<uint8_t> bytes(p, p + len);
    image::Node* n = image::decode_memory(bytes);
    if (!n) bad_media();
    make_at(out.get(), n);
    return *out;
  }
  if (src->is(TYPE_FILE)) {
    need_backend();
    RootedNode path(make_string(64));
    file::to_local_path(*src, path, true);
    image::Node* n = image::decode_file(string_text(path));
    if (!n) fire(ErrId::CANNOT_OPEN, *src);
    make_at(out.get(), n);
    return *out;
  }
  fire(ErrId::INVALID_ARG, *src);
}

std::vector<uint8_t> pixels(const Cell& c) {
  Size s = size_of(c);
  image::Node* n = node_of(c);
  std::vector<uint8_t> out;
  if (!n || !count_of(s)) return out;
  out.resize(size_t(count_of(s)) * 4);
  ScopedLock lk(n, false);
  for (uint32_t y = 0; y < s.h; y++) std::memcpy(&out[size_t(y) * s.w * 4], lk.row(y), size_t(s.w) * 4);
  return out;
}

may_gc void make_from_pixels(Cell* c, uint32_t w, uint32_t h, const uint8_t* bgra) {
  if (!w || !h) {
    make_at(c, nullptr, w, h);
    return;
  }
  need_backend();
  image::Node* n = image::create(w, h);
  {
    ScopedLock lk(n, true);
    for (uint32_t y = 0; y < h; y++) std::memcpy(lk.row(y), bgra + size_t(y) * w * 4, size_t(w) * 4);
  }
  make_at(c, n);
}

// The codecs' routines. encode: image, where (none: a new binary!; a
// binary!: replaced by the encoded bytes; a file!: written with them).
may_gc Status encode_routine(Cell* base, const Cell& image, const Cell& where_to, int format) {
  if (!image.is(TYPE_IMAGE)) fire(ErrId::INVALID_ARG, image);
  RootedCell where(where_to);
  RootedCell bin(encode(image, format));
  if (bin->is(TYPE_NONE) || where->is(TYPE_NONE)) {
    base[RESULT] = *bin;
    return Status::OK;
  }
  if (where->is(TYPE_BINARY)) {
    Cell b = *bin;
    uint32_t n = uint32_t(binary::rs_length(&b));
    Cell w = *where;
    NodeId node = w.node();
    Buffer* wb = node_buffer(node);
    wb->tail = wb->head + uint32_t(std::clamp<int64_t>(w.index(), 0, wb->used()));
    uint32_t at = reserve_tail(node, n);
    std::memcpy(node_buffer(node)->data() + at, node_buffer(bin->node())->head_ptr(), n);
    base[RESULT] = *where;
    return Status::OK;
  }
  if (where->is(TYPE_FILE)) {
    RootedNode path(make_string(64));
    file::to_local_path(*where, path, true);
    platform::FileHandle f = platform::file_open(string_text(path), platform::OPEN_WRITE);
    if (f == platform::BAD_FILE) fire(ErrId::CANNOT_OPEN, *where);
    Cell b = *bin;
    uint32_t n = uint32_t(binary::rs_length(&b));
    bool ok = platform::file_write(f, binary::rs_head(&b), n) == int64_t(n);
    ok = platform::file_close(f) && ok;
    if (!ok) fire(ErrId::CANNOT_OPEN, *where);
    base[RESULT] = *where;
    return Status::OK;
  }
  fire(ErrId::INVALID_ARG, *where);
}

may_gc Status decode_routine(Cell* base) {
  using enum rtn::image_decode::Frame;
  base[RESULT] = decode(base[DATA]);
  return Status::OK;
}

}  // namespace vel::img

namespace vel {

void register_type_IMAGE() {
  img::g_class = g_externals.register_class("image", img::release_record);
  TypeBuilder(TYPE_IMAGE)
      .action(ACT_MAKE, img::image_make)
      .action(ACT_TO, img::image_to)
      .form(img::image_form)
      .mold(img::image_mold)
      .eval_path(img::image_eval_path)
      .compare(img::image_compare)
      .foreach_step(img::image_foreach_step)
      .action(ACT_AT, img::image_at)
      .action(ACT_CHANGE, img::image_change)
      .action(ACT_COPY, img::image_copy)
      .action(ACT_LENGTH_Q, img::image_length_q)
      .action(ACT_NEXT, img::image_next)
      .action(ACT_PICK, img::image_pick)
      .action(ACT_POKE, img::image_poke)
      .action(ACT_SKIP, img::image_skip)
      .action(ACT_TAIL, img::image_tail)
      .action(ACT_TAIL_Q, img::image_tail_q)
      .inherit(ACT_BACK)
      .inherit(ACT_HEAD)
      .inherit(ACT_HEAD_Q)
      .inherit(ACT_INDEX_Q)
      .inherit(ACT_MODIFY)
      .done();
}

}  // namespace vel
