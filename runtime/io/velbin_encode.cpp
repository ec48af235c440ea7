// VELBIN encoder: one value (and all it reaches) to a compact or fixed image.
//
// The payload is built in C++ memory: the encoder reads cells but never
// allocates Vel series, so no buffer moves under it.
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>

#include "families.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/tuple.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/image.h"
#include "datatypes/money.h"
#include "datatypes/symbol.h"
#include "errors.h"
#include "io/velbin.h"
#include "io/velbin_internal.h"

namespace vel::velbin {

namespace {

class Encoder {
 public:
  explicit Encoder(bool compact) : compact_(compact) {}

  std::vector<uint8_t> run(const Cell& value) {
    value_record(value);
    return assemble();
  }

 private:
  bool compact_;
  std::vector<uint8_t> out_;  // the payload
  // Symbols in first-use order.
  std::vector<uint32_t> syms_;
  std::unordered_map<uint32_t, uint32_t> sym_index_;
  std::vector<uint32_t> sym_offsets_;
  std::string strings_;
  // Reference detection: the path of the container being written, the
  // record count at the current level, and the path of each node's first
  // occurrence (full-width node keys).
  std::vector<uint32_t> path_;
  uint32_t counter_ = 0;
  std::unordered_map<NodeId, std::vector<uint32_t>> refs_;

  // Registers a node at the current path: where it is met again, a
  // reference to this place is written.
  void register_here(NodeId node) {
    path_.push_back(counter_);
    refs_.emplace(node, path_);
    path_.pop_back();
  }

  // A record whose parts make a level of their own: registered at the
  // current path, its parts counted from 0 below it, the outer count back
  // when the record ends.
  class Level {
   public:
    Level(Encoder& e, NodeId node) : e_(e), saved_(e.counter_) {
      e_.path_.push_back(saved_);
      e_.refs_.emplace(node, e_.path_);
      e_.counter_ = 0;
    }
    ~Level() {
      e_.path_.pop_back();
      e_.counter_ = saved_;
    }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;

   private:
    Encoder& e_;
    uint32_t saved_;
  };

  void byte(uint8_t b) { out_.push_back(b); }
  void varint(uint32_t v) { put_varint(out_, v); }
  void zigzag(int32_t v) { varint(zigzag_encode(v)); }
  void word(uint32_t v) { put_le32(out_, v); }
  void bytes(const uint8_t* p, size_t n) { out_.insert(out_.end(), p, p + n); }
  void pad_to(size_t multiple) {
    while (out_.size() % multiple) byte(0);
  }

  uint32_t symbol_index(uint32_t sym) {
    auto it = sym_index_.find(sym);
    if (it != sym_index_.end()) return it->second;
    uint32_t i = uint32_t(syms_.size());
    syms_.push_back(sym);
    sym_index_.emplace(sym, i);
    sym_offsets_.push_back(uint32_t(strings_.size()));
    std::string_view text = symbol::text(sym);
    strings_.append(text.data(), text.size());
    strings_.push_back('\0');
    if (!compact_)
      while (strings_.size() % 8) strings_.push_back('\0');
    return i;
  }

  // Compact: the tag byte (type ids from 63 on take the escape and a varint).
  void tag(uint32_t type, bool variant) {
    byte(uint8_t(type | (variant ? 0x40 : 0)));
  }
  uint32_t fixed_header(const Cell& c, uint32_t extra = 0) {
    return uint32_t(c.type()) | extra | (c.new_line() ? FIXED_NEW_LINE : 0);
  }

  void write_path_items(const std::vector<uint32_t>& p) {
    varint(uint32_t(p.size()));
    for (uint32_t e : p) varint(e);
  }

  void write_path(const std::vector<uint32_t>& p) {
    if (compact_) {
      varint(uint32_t(p.size()));
      for (uint32_t e : p) varint(e);
    } else {
      word(FIXED_REFERENCE);
      word(uint32_t(p.size()));
      for (uint32_t e : p) word(e);
    }
  }

  // Writes one record; the caller counts it.
  void value_record(const Cell& c) {
    WalkDepth guard;
    TypeId t = c.type();
    if (compact_ && c.new_line()) byte(0xC0);
    switch (t) {
      case TYPE_UNSET:
      case TYPE_NONE:
        if (compact_) tag(t, false);
        else word(fixed_header(c));
        return;
      case TYPE_LOGIC:
        if (compact_) byte(c.w1 ? 0xC2 : 0xC3);
        else word(fixed_header(c)), word(c.w1 ? 1 : 0);
        return;
      case TYPE_DATATYPE:
        if (compact_) tag(t, false), varint(c.w1);
        else word(fixed_header(c)), word(c.w1);
        return;
      case TYPE_INTEGER:
        if (compact_) {
          int32_t v = c.i2();
          if (v >= 0 && v <= 63) byte(uint8_t(0x80 | v));
          else tag(t, false), zigzag(v);
        } else {
          word(fixed_header(c)), word(c.w2);
        }
        return;
      case TYPE_CHAR:
        if (compact_) tag(t, false), varint(c.w2);
        else word(fixed_header(c)), word(c.w2);
        return;
      case TYPE_FLOAT:
      case TYPE_TIME:
      case TYPE_PERCENT:
        write_float(c);
        return;
      case TYPE_TYPESET:
        write_typeset(c);
        return;
      case TYPE_DATE:
        // The packed date word, then the time only when the date has one.
        if (compact_) {
          bool timed = c.w1 & date::TIME_FLAG;
          tag(t, timed), word(c.w1);
          uint64_t bits = c.u64();
          if (timed)
            for (int i = 0; i < 8; i++) byte(uint8_t(bits >> (8 * i)));
        } else {
          word(fixed_header(c)), word(c.w1), word(c.w3), word(c.w2);
        }
        return;
      case TYPE_PAIR:
        if (compact_) tag(t, false), zigzag(c.i2()), zigzag(c.i3());
        else word(fixed_header(c)), word(c.w2), word(c.w3);
        return;
      case TYPE_POINT2D:
      case TYPE_POINT3D:
        if (compact_) tag(t, false);
        else word(fixed_header(c));
        word(c.w1), word(c.w2);
        if (t == TYPE_POINT3D) word(c.w3);
        return;
      case TYPE_MONEY:
        // The currency byte and the packed digits as the cell keeps them;
        // the sign goes to the variant flag or the fixed header.
        if (compact_) tag(t, money::get_sign(c) != 0);
        else word(fixed_header(c, money::get_sign(c) ? FIXED_MONEY_NEGATIVE : 0));
        word(c.w1), word(c.w2), word(c.w3);
        return;
      case TYPE_TUPLE: {
        int n = tuple_count(c);
        if (compact_) {
          tag(t, n != 3);
          if (n != 3) byte(uint8_t(n));
          for (int i = 0; i < n; i++) byte(tuple_byte(c, i));
        } else {
          word(fixed_header(c, uint32_t(n) << 8)), word(c.w1), word(c.w2), word(c.w3);
        }
        return;
      }
      case TYPE_BITSET:
        write_bitset(c);
        return;
      case TYPE_MAP:
        write_map(c);
        return;
      case TYPE_IMAGE:
        write_image(c);
        return;
      case TYPE_ISSUE:
        if (compact_) tag(t, false), varint(symbol_index(c.w2));
        else word(fixed_header(c)), word(symbol_index(c.w2));
        return;
      case TYPE_OBJECT:
        write_object(c);
        return;
      case TYPE_ERROR:
        write_error(c);
        return;
      case TYPE_NATIVE:
      case TYPE_ACTION:
        // The number, then the spec block at this same position: a path
        // that enters the native enters its spec.
        if (compact_) tag(t, false), varint(c.w1);
        else word(fixed_header(c)), word(c.w1);
        value_record(series_cell(TYPE_BLOCK, c.w2, 0));
        return;
      case TYPE_FUNCTION:
        write_function(c);
        return;
      case TYPE_OP: {
        // Written as the value it wraps; the user's cell is never retyped.
        TypeId src = TypeId((c.header >> 16) & 0xFF);
        if (src == TYPE_ROUTINE) fire(ErrId::NO_CODEC, c);
        if (src != TYPE_NATIVE && src != TYPE_ACTION && src != TYPE_FUNCTION) fire(ErrId::NOT_DONE, datatype_cell(src));
        if (compact_) tag(t, false);
        else word(fixed_header(c, uint32_t(src) << 16));
        value_record(make_cell(src, c.w1, c.w2, c.w3));
        return;
      }
      case TYPE_WORD:
      case TYPE_SET_WORD:
      case TYPE_LIT_WORD:
      case TYPE_GET_WORD:
      case TYPE_REFINEMENT:
        write_word(c);
        return;
      default:
        break;
    }
    if (is_any_block(t) || is_any_string(t) || t == TYPE_BINARY || t == TYPE_VECTOR) {
      write_series(c);
      return;
    }
    if (is_no_codec(t)) fire(ErrId::NO_CODEC, c);
    fire(ErrId::NOT_DONE, datatype_cell(t));
  }

  void write_float(const Cell& c) {
    double d = c.f64();
    if (compact_) {
      int32_t n;
      if (integral_form(c.type(), d, &n)) {
        tag(c.type(), true), zigzag(n);
      } else {
        tag(c.type(), false);
        uint64_t bits = c.u64();
        for (int i = 0; i < 8; i++) byte(uint8_t(bits >> (8 * i)));
      }
    } else {
      pad_to(8);
      word(fixed_header(c)), word(c.w3), word(c.w2);
    }
  }

  void write_typeset(const Cell& c) {
    uint8_t bits[12];
    typeset_bytes(c, bits);
    if (compact_) {
      int n = 12;
      while (n > 0 && bits[n - 1] == 0) n--;
      tag(TYPE_TYPESET, false), byte(uint8_t(n)), bytes(bits, size_t(n));
    } else {
      word(fixed_header(c)), word(c.w1), word(c.w2), word(c.w3);
    }
  }

  void write_word(const Cell& c) {
    NodeId ctx = c.w1;
    Cell owner = ctx && ctx != context::g_global ? context::owner(ctx) : none_cell();
    uint32_t s = symbol_index(c.w2);
    // Unbound words, and words of a context without an object or function
    // owner, travel as global ones (the decoder binds them there).
    if (!owner.is(TYPE_OBJECT) && !owner.is(TYPE_FUNCTION)) {
      if (compact_) tag(c.type(), false), varint(s);
      else word(fixed_header(c, FIXED_WORD_GLOBAL)), word(s), word(c.w3);
      return;
    }
    auto found = refs_.find(ctx);
    if (compact_) {
      tag(c.type(), true), varint(s), zigzag(c.i3());
      if (found != refs_.end()) {
        byte(0xC1);
        write_path_items(found->second);
        return;
      }
    } else {
      word(fixed_header(c, found != refs_.end() ? FIXED_REF_BIT : 0)), word(s), word(c.w3);
      if (found != refs_.end()) {
        write_path(found->second);
        return;
      }
    }
    // The holder written in place, registered at the word's position:
    // paths into it go through the word.
    owner.w1 = ctx;
    if (owner.is(TYPE_FUNCTION)) write_function_body(owner);
    else write_object_body(owner);
  }

  // A function or object already written: a reference to the path where
  // it stands. False when it is new.
  bool write_ref(const Cell& c) {
    auto found = refs_.find(c.w1);
    if (found == refs_.end()) return false;
    if (compact_) {
      byte(0xC1), tag(c.type(), false);
      write_path_items(found->second);
    } else {
      word(fixed_header(c, FIXED_REF_BIT));
      write_path(found->second);
    }
    return true;
  }

  void write_function(const Cell& c) {
    if (!write_ref(c)) write_function_body(c);
  }

  // The full function record: the lengths, the context record (values on
  // the stack: none follow), then spec and body at positions 0 and 1 of a
  // level of their own.
  void write_function_body(const Cell& f) {
    NodeId ctx = f.w1;
    Cell body = *func::more_cell(f, func::MORE_BODY);
    if (!body.is(TYPE_BLOCK)) fire(ErrId::NOT_DONE, datatype_cell(TYPE_FUNCTION));
    body.header = TYPE_BLOCK;
    Cell spec = series_cell(TYPE_BLOCK, f.w2, 0);
    uint32_t n = context::word_count(ctx);
    bool self = context::cell(ctx).header & context::SELF_FLAG;
    uint32_t spec_len = node_buffer(spec.node())->length(), body_len = node_buffer(body.node())->length();
    if (compact_) {
      tag(TYPE_FUNCTION, false), varint(spec_len), varint(body_len);
      byte(TYPE_CONTEXT), byte(uint8_t(context::KIND_FUNCTION | 4 | (self ? 8 : 0))), varint(n);
    } else {
      word(fixed_header(f)), word(spec_len), word(body_len);
      word(TYPE_CONTEXT | context::KIND_FUNCTION << 26 | (self ? 1u << 28 : 0) | 1u << 29), word(n);
    }
    for (uint32_t i = 0; i < n; i++) {
      uint32_t s = symbol_index(context::word_at(ctx, i)->w2);
      if (compact_) varint(s);
      else word(s);
    }
    Level level(*this, ctx);
    value_record(spec);
    counter_++;
    value_record(body);
  }

  void write_object(const Cell& c) {
    if (!write_ref(c)) write_object_body(c);
  }

  // The full object record at the current position: class id, event record,
  // context record and the values, which make a level of their own.
  void write_object_body(const Cell& o) {
    NodeId ctx = o.w1;
    Level level(*this, ctx);
    bool event = o.w3 != 0;
    uint32_t n = context::word_count(ctx);
    bool values = false;
    for (uint32_t i = 0; i < n && !values; i++) {
      Cell* v = context::value_at(ctx, i);
      values = v && !v->is(TYPE_UNSET);
    }
    uint32_t kind = context::kind(ctx);
    bool self = context::cell(ctx).header & context::SELF_FLAG;
    if (compact_) {
      tag(TYPE_OBJECT, event), zigzag(o.i2());
      if (event) zigzag(handler(o, 0)), zigzag(handler(o, 1));
      byte(TYPE_CONTEXT);
      byte(uint8_t(kind | (self ? 8 : 0) | (values ? 16 : 0)));
      varint(n);
    } else {
      word(fixed_header(o, event ? FIXED_EVENT : 0)), word(o.w2);
      if (event) word(uint32_t(handler(o, 0))), word(uint32_t(handler(o, 1)));
      word(TYPE_CONTEXT | kind << 26 | (self ? 1u << 28 : 0) | (values ? 1u << 30 : 0));
      word(n);
    }
    for (uint32_t i = 0; i < n; i++) {
      uint32_t s = symbol_index(context::word_at(ctx, i)->w2);
      if (compact_) varint(s);
      else word(s);
    }
    if (values)
      for (uint32_t i = 0; i < n; i++) {
        Cell* v = context::value_at(ctx, i);
        Cell copy = v ? *v : unset_cell();
        value_record(copy);
        counter_++;
      }
  }

  // error!: the code and arg1 to stack, a level of their own. A repeated
  // error is a reference, so an error holding itself is written once.
  void write_error(const Cell& c) {
    if (write_ref(c)) return;
    NodeId ctx = c.w1;
    Cell code = error::field(c, error::CODE);
    if (compact_) tag(TYPE_ERROR, false), varint(code.w2);
    else word(fixed_header(c)), word(code.w2);
    Level level(*this, ctx);
    for (uint32_t f = error::ARG1; f <= error::STACK; f++) {
      value_record(error::field(c, error::Field(f)));
      counter_++;
    }
  }

  static int32_t handler(const Cell& o, uint32_t i) {
    Buffer* b = node_buffer(o.w3);
    return i < (b->used() >> 4) ? b->cells()[i].i2() : -1;
  }

  // The bytes of the bit array; the complement flag is the variant bit
  // (fixed form: header bit 23). A bitset met again is a reference.
  void write_bitset(const Cell& c) {
    NodeId node = c.node();
    auto found = refs_.find(node);
    bool ref = found != refs_.end();
    const Buffer* b = node_buffer(node);
    bool flag = b->flags & BUF_BITSET_NOT;
    if (compact_) {
      if (ref) byte(0xC1);
      tag(TYPE_BITSET, flag);
    } else {
      word(fixed_header(c, (ref ? FIXED_REF_BIT : 0) | (flag ? FIXED_BITSET_NOT : 0)));
    }
    if (ref) {
      write_path(found->second);
      return;
    }
    register_here(node);
    uint32_t n = b->used();
    if (compact_) varint(n);
    else word(n);
    bytes(b->data() + b->head, n);
    if (!compact_) pad_to(4);
  }

  void write_series(const Cell& c) {
    TypeId t = c.type();
    NodeId node = c.node();
    uint32_t head = c.index() > 0 ? uint32_t(c.index()) : 0;
    auto found = refs_.find(node);
    bool ref = found != refs_.end();
    Buffer* b = node_buffer(node);
    uint32_t unit = b->unit();
    if (compact_) {
      if (ref) byte(0xC1);
      tag(t, head != 0);
      if (head) varint(head);
    } else {
      uint32_t extra = ref ? FIXED_REF_BIT : 0;
      if (is_any_string(t) || t == TYPE_BINARY || t == TYPE_VECTOR) extra |= unit << 8;
      word(fixed_header(c, extra)), word(head);
    }
    if (ref) {
      write_path(found->second);
      return;
    }
    Level level(*this, node);
    if (is_any_block(t)) {
      uint32_t n = b->length();
      if (compact_) varint(n);
      else word(n);
      // Elements by position: each nested record may grow out_, never the
      // series, but re-read the buffer anyway in case a later writer does.
      for (uint32_t i = 0; i < n; i++) {
        Cell e = node_buffer(node)->cells()[i];
        value_record(e);
        counter_++;
      }
    } else {
      uint32_t n = b->length();
      if (n > 0x3FFFFFFF) fire(ErrId::NO_MEMORY);
      uint32_t w = b->unit_shift();
      if (t == TYPE_VECTOR) {
        // The element size and type in one byte, then the element count.
        if (compact_) byte(uint8_t(w | (c.w3 << 2))), varint(n);
        else word(n), word(c.w3);
      } else if (t == TYPE_BINARY && compact_) {
        varint(n);  // bytes need no unit
      } else if (compact_) {
        varint((n << 2) | w);
      } else {
        word(n);
      }
      bytes(b->head_ptr(), size_t(n) << w);
      if (!compact_) pad_to(4);
    }
  }

  // An image: its position, then its size and the pixels as stored, row by
  // row; a reference when the same image was met before.
  void write_image(const Cell& c) {
    NodeId node = c.node();
    uint32_t head = c.index() > 0 ? uint32_t(c.index()) : 0;
    auto found = refs_.find(node);
    bool ref = found != refs_.end();
    if (compact_) {
      if (ref) byte(0xC1);
      tag(TYPE_IMAGE, head != 0);
      if (head) varint(head);
    } else {
      word(fixed_header(c, ref ? FIXED_REF_BIT : 0)), word(head);
    }
    if (ref) {
      write_path(found->second);
      return;
    }
    register_here(node);
    img::Size s = img::size_of(c);
    if (compact_) varint(s.w), varint(s.h);
    else word(s.w | s.h << 16);
    std::vector<uint8_t> px = img::pixels(c);
    bytes(px.data(), px.size());
  }

  // A map: its live pairs, key first; a reference when its block was met
  // before. Paths into it count the pairs written.
  void write_map(const Cell& c) {
    NodeId node = c.w2;
    auto found = refs_.find(node);
    bool ref = found != refs_.end();
    if (compact_) {
      if (ref) byte(0xC1);
      tag(TYPE_MAP, false);
    } else {
      word(fixed_header(c, ref ? FIXED_REF_BIT : 0));
    }
    if (ref) {
      write_path(found->second);
      return;
    }
    Level level(*this, node);
    uint32_t n = node_buffer(node)->length() & ~1u, live = 0;
    for (uint32_t i = 0; i < n; i += 2)
      if (node_buffer(node)->cells()[i + 1].header != 0) live += 2;
    if (compact_) varint(live);
    else word(live);
    for (uint32_t i = 0; i < n; i += 2) {
      Cell k = node_buffer(node)->cells()[i], v = node_buffer(node)->cells()[i + 1];
      if (v.header == 0) continue;  // a removed pair
      value_record(k);
      counter_++;
      value_record(v);
      counter_++;
    }
  }

  std::vector<uint8_t> assemble() {
    std::vector<uint8_t> img(MAGIC, MAGIC + 6);
    img.push_back(VERSION);
    bool syms = !syms_.empty();
    if (compact_) {
      img.push_back(uint8_t(FLAG_COMPACT | (syms ? FLAG_SYMBOLS : 0)));
      put_varint(img, 1);
      put_varint(img, uint32_t(out_.size()));
      if (syms) {
        put_varint(img, uint32_t(syms_.size()));
        put_varint(img, uint32_t(strings_.size()));
      }
    } else {
      img.push_back(syms ? FLAG_SYMBOLS : 0);
      put_le32(img, 1);
      put_le32(img, uint32_t(out_.size()));
      if (syms) {
        put_le32(img, uint32_t(syms_.size()));
        put_le32(img, uint32_t(strings_.size()));
      }
    }
    for (uint32_t off : sym_offsets_) put_le32(img, off);
    img.insert(img.end(), strings_.begin(), strings_.end());
    img.insert(img.end(), out_.begin(), out_.end());
    return img;
  }
};

}  // namespace

// Whether a float!, time! or percent! takes the compact integral variant,
// and the integer it stores. Negative zero, NaN and infinities never do.
bool integral_form(TypeId t, double d, int32_t* n) {
  if (d == 0 && std::signbit(d)) return false;
  if (t == TYPE_PERCENT) {
    if (!(d >= -21474836.0 && d <= 21474836.0)) return false;
    double r = std::round(d * 100);  // half away from zero
    if (r / 100 != d) return false;
    *n = int32_t(r);
    return true;
  }
  if (!(d >= -2147483000.0 && d <= 2147483000.0) || d != std::trunc(d)) return false;
  *n = int32_t(d);
  return true;
}

void typeset_bytes(const Cell& c, uint8_t out[12]) {
  const uint32_t w[3] = {c.w1, c.w2, c.w3};
  for (int i = 0; i < 12; i++) out[i] = uint8_t(w[i / 4] >> (8 * (i % 4)));
}

std::vector<uint8_t> encode(const Cell& value, bool compact) {
  Encoder e(compact);
  return e.run(value);
}

}  // namespace vel::velbin
