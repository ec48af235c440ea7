// url!: a string! whose mold percent-encodes it, whose paths join
// segments and whose make builds it from a block; the percent codec that
// dehex, enhex and the lexer use.
#include "datatypes/url.h"

#include <string>

#include "action_frames.h"
#include "datatypes/string.h"
#include "datatypes/string_impl.h"
#include "datatypes/strout.h"
#include "errors.h"
#include "roots.h"
#include "series_ops.h"
#include "unicode.h"

namespace vel::url {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// A string value's index within [0, length].
inline uint32_t clamped_index(Cell s) { return string::detail::clamp_index(&s); }

inline int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The byte of a "%XX" escape at p, or -1.
inline int escape_at(const uint8_t* p, const uint8_t* e) {
  if (e - p < 3 || p[0] != '%') return -1;
  int hi = hex_value(p[1]), lo = hex_value(p[2]);
  return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

}  // namespace

bool in_unreserved_set(uint32_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

bool in_url_set(uint32_t c) {
  if (in_unreserved_set(c)) return true;
  switch (c) {
    case '!': case '#': case '$': case '&': case '\'': case '(': case ')': case '*':
    case '+': case ',': case '/': case ':': case '=': case '?': case '@':
      return true;
    default:
      return false;
  }
}

Decoded decode_bytes(const uint8_t* s, const uint8_t* e, bool strict, std::vector<uint32_t>* out) {
  for (const uint8_t* p = s; p < e;) {
    uint8_t c = *p;
    if (c == '%') {
      int b = escape_at(p, e);
      if (b < 0 && strict) return Decoded::BAD_ESCAPE;
      uint32_t more = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
      uint8_t bytes[4] = {uint8_t(b), 0, 0, 0};
      bool whole = b >= 0;
      for (uint32_t k = 1; k <= more && whole; k++) {
        int x = escape_at(p + 3 * k, e);
        whole = x >= 0;
        bytes[k] = uint8_t(x);
      }
      if (!whole) {  // not an escape: the "%" stands for itself
        out->push_back('%');
        p++;
        continue;
      }
      uint32_t cp = uint32_t(b);
      if (more) {
        uint32_t n = 0;
        int32_t r = decode_utf8_loading(bytes, more + 1, &n);
        if (r < 0 || n != more + 1) return Decoded::BAD_UTF8;
        cp = uint32_t(r);
      }
      out->push_back(cp);
      p += 3 * (more + 1);
    } else if (c < 0x80) {
      out->push_back(c);
      p++;
    } else {
      uint32_t n = 0;
      int32_t r = decode_utf8_checked(p, size_t(e - p), &n);
      if (r < 0) return Decoded::BAD_UTF8;
      out->push_back(uint32_t(r));
      p += n;
    }
  }
  return Decoded::OK;
}

may_gc Cell decode(const Cell& text) {
  std::string utf8 = to_utf8(text.node(), clamped_index(text));
  std::vector<uint32_t> cps;
  cps.reserve(utf8.size());
  const uint8_t* s = reinterpret_cast<const uint8_t*>(utf8.data());
  if (decode_bytes(s, s + utf8.size(), false, &cps) != Decoded::OK) fire(ErrId::INVALID_UTF8, text);
  RootedNode out(make_string(uint32_t(cps.size() ? cps.size() : 1)));
  append_code_points(out, cps.data(), cps.size());
  return series_cell(TYPE_STRING, out, 0);
}

may_gc Cell encode(const Cell& text, bool unreserved_only) {
  std::string utf8 = to_utf8(text.node(), clamped_index(text));
  std::string enc;
  enc.reserve(utf8.size());
  for (unsigned char c : utf8) {
    if (c < 128 && (unreserved_only ? in_unreserved_set(c) : in_url_set(c))) {
      enc += char(c);
    } else {
      enc += '%';
      enc += kHexDigits[c >> 4];
      enc += kHexDigits[c & 15];
    }
  }
  RootedNode out(make_string(uint32_t(enc.size() ? enc.size() : 1)));
  append_latin1(out, enc);
  return series_cell(TYPE_STRING, out, 0);
}

}  // namespace vel::url

// --- actions ---------------------------------------------------------------------------------

namespace vel {

namespace {

using string::detail::View;
using url::clamped_index;

// Each UTF-8 byte outside the URL set as "%XX", and "(" and ")" too: they
// would end the URL token. A /part limit stops after exactly that many
// characters written.
may_gc int32_t url_mold(Cell value, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  RootedNode keep(out);
  std::string utf8 = to_utf8(value.node(), clamped_index(value));
  std::string enc;
  enc.reserve(utf8.size());
  for (unsigned char c : utf8) {
    if (c < 128 && url::in_url_set(c) && c != '(' && c != ')') {
      enc += char(c);
    } else {
      enc += '%';
      enc += url::kHexDigits[c >> 4];
      enc += url::kHexDigits[c & 15];
    }
  }
  int64_t n = std::min<int64_t>(int64_t(enc.size()), std::max(part, 0));
  append_latin1(out, std::string_view(enc.data(), size_t(n)));
  return int32_t(int64_t(part) - int64_t(enc.size()));
}

// [scheme host port? segment...]: scheme://host:port/a/b, an issue! after
// the host written after "#" instead of "/".
may_gc Cell url_from_block(const Cell& spec) {
  RootedCell blk(spec);
  uint32_t at = clamped_index(spec);
  uint32_t n = uint32_t(node_buffer(spec.node())->used() >> 4) - at;
  if (n == 0) fire(ErrId::BAD_TO_ARG, datatype_cell(TYPE_URL), spec);
  RootedNode out(make_string(32));
  auto elem = [&](uint32_t i) { return node_buffer(blk->node())->cells()[at + i]; };
  form_value(elem(0), out);
  append_latin1(out, "://");
  if (n >= 2) form_value(elem(1), out);
  uint32_t i = 2;
  if (n >= 3 && elem(2).is(TYPE_INTEGER)) {
    append_char(out, ':');
    form_value(elem(2), out);
    i = 3;
  }
  if (i < n) {
    append_char(out, '/');
    for (; i < n; i++) {
      form_value(elem(i), out);
      if (i + 1 < n) append_char(out, elem(i + 1).is(TYPE_ISSUE) ? '#' : '/');
    }
  }
  return series_cell(TYPE_URL, out, 0);
}

// make and to: only url! itself builds from a block; file! (which inherits
// these slots) and every other spec take string!'s conversion.
Status url_make(Cell* base) {
  using enum act::make::Frame;
  TypeId target = base[TYPE].is(TYPE_DATATYPE) ? TypeId(base[TYPE].w1) : base[TYPE].type();
  TypeId st = base[SPEC].type();
  if (target == TYPE_URL && (st == TYPE_BLOCK || st == TYPE_PAREN || st == TYPE_HASH)) {
    base[RESULT] = url_from_block(base[SPEC]);
    return Status::OK;
  }
  return string::detail::make_action(base);
}

Status url_to(Cell* base) {
  using enum act::to::Frame;
  TypeId target = base[TYPE].is(TYPE_DATATYPE) ? TypeId(base[TYPE].w1) : base[TYPE].type();
  TypeId st = base[SPEC].type();
  if (target == TYPE_URL && (st == TYPE_BLOCK || st == TYPE_PAREN || st == TYPE_HASH)) {
    base[RESULT] = url_from_block(base[SPEC]);
    return Status::OK;
  }
  return string::detail::to_action(base);
}

// The base's text followed by the element formed, with one "/" between
// them; the base is not changed. Setting is an error. file! inherits it.
may_gc Cell join_path(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step) {
  if (set_value) fire(ErrId::BAD_PATH_SET, step.path ? *step.path : value, selector);
  RootedCell base(value), sel(selector);
  RootedNode seg(make_string(16));
  form_value(*sel, seg);
  View b = string::detail::view_of(*base);
  bool base_slash = b.len > 0 && b.at(b.len - 1) == '/';
  bool seg_slash = node_buffer(seg)->length() > 0 && string::rs_abs_at(series_cell(TYPE_STRING, seg), 0) == '/';
  uint32_t bi = clamped_index(*base);
  RootedNode out(make_string(b.len + node_buffer(seg)->length() + 1));
  append_chars(out, base->node(), bi, b.len);
  uint32_t skip = 0;
  if (base_slash && seg_slash) skip = 1;
  else if (!base_slash && !seg_slash) append_char(out, '/');
  append_chars(out, seg, skip, node_buffer(seg)->length() - skip);
  return series_cell(base->type(), out, 0);
}

}  // namespace

void register_type_URL() {
  TypeBuilder b(TYPE_URL);
  b.action(ACT_MAKE, url_make).action(ACT_TO, url_to).mold(url_mold).eval_path(join_path);
  // read, write and open: the HTTP client's (http::register_url_actions).
  for (ActionId a : {ACT_FORM, ACT_COMPARE, ACT_APPEND, ACT_AT, ACT_BACK, ACT_CHANGE, ACT_CLEAR, ACT_COPY, ACT_FIND,
                     ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q, ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE,
                     ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP, ACT_SWAP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY})
    b.inherit(a);
  b.done();
}

}  // namespace vel
