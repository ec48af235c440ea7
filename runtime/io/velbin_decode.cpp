// VELBIN decoder (codec mode): untrusted bytes to values appended to a block.
//
// Every read goes through need()/byte()/word(), which compare against the
// payload end in 64-bit arithmetic, so a claimed length can never move the
// position past the input. Containers are appended to their parent before
// their elements are decoded, so each new series is reachable (and rooted
// through the target block) while its elements allocate.
#include <cstring>
#include <optional>
#include <unordered_map>

#include "action_frames.h"
#include "byteorder.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/image.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/tuple.h"
#include "datatypes/word.h"
#include "errors.h"
#include "families.h"
#include "hashtable.h"
#include "io/velbin.h"
#include "io/velbin_internal.h"
#include "lz.h"
#include "roots.h"
#include "series_ops.h"
#include "stack.h"

namespace vel::velbin {

namespace {

bool valid_utf8(const uint8_t* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    uint8_t b = p[i];
    if (b < 0x80) {
      i++;
      continue;
    }
    size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
    if (len == 0 || b > 0xF4 || n - i < len) return false;
    uint32_t cp = b & (0x7F >> len);
    for (size_t k = 1; k < len; k++) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    static const uint32_t min_cp[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_cp[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

class Decoder {
 public:
  Decoder(const uint8_t* img, size_t size, NodeId root, bool boot)
      : img_(img), size_(size), end_(size), root_(root), boot_(boot) {
    root_base_ = node_buffer(root)->used() >> 4;
  }

  void run(bool compact, bool symbols) {
    compact_ = compact;
    pos_ = 8;
    uint64_t payload;
    if (compact) {
      (void)varint();  // record count: not needed
      payload = varint();
      if (symbols) {
        uint64_t count = varint();
        uint64_t strings = varint();
        read_symbol_table(count, strings);
      }
    } else {
      (void)word();
      payload = word();
      if (symbols) {
        uint64_t count = word();
        uint64_t strings = word();
        read_symbol_table(count, strings);
      }
    }
    need(payload);
    end_ = pos_ + payload;
    while (true) {
      if (!compact_) skip_padding();
      if (pos_ >= end_) break;
      record(root_);
    }
  }

 private:
  const uint8_t* img_;
  size_t size_;
  size_t pos_ = 0;
  size_t end_;
  NodeId root_;
  // Boot mode: set records (0xC4) and word records whose context is named
  // by a root cell counted from root_base_, the root's length at the start.
  bool boot_;
  uint32_t root_base_ = 0;
  bool compact_ = true;
  uint32_t depth_ = 0;
  // Symbol table view; ids are interned when a record first names them.
  size_t offsets_at_ = 0, strings_at_ = 0;
  uint32_t sym_count_ = 0, strings_size_ = 0;
  std::vector<uint32_t> sym_ids_;
  std::vector<uint32_t> path_;
  // Functions being decoded: the block standing in for each, and its context.
  std::unordered_map<NodeId, NodeId> pending_;

  [[noreturn]] void bad(size_t at) { fire(ErrId::RB_INVALID_RECORD, integer_cell(int32_t(at + 1))); }
  size_t left() const { return end_ - pos_; }
  void need(uint64_t n) {
    if (n > left()) bad(pos_);
  }
  uint8_t byte() {
    if (pos_ >= end_) bad(pos_);
    return img_[pos_++];
  }
  uint32_t varint() {
    uint32_t v = 0;
    for (int i = 0; i < 5; i++) {
      size_t at = pos_;
      uint8_t b = byte();
      if (i == 4 && (b & 0xF0)) bad(at);
      v |= uint32_t(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) break;
    }
    return v;
  }
  int32_t zigzag() { return zigzag_decode(varint()); }
  uint32_t word() {
    need(4);
    uint32_t v = uint32_t(img_[pos_]) | uint32_t(img_[pos_ + 1]) << 8 | uint32_t(img_[pos_ + 2]) << 16 |
                 uint32_t(img_[pos_ + 3]) << 24;
    pos_ += 4;
    return v;
  }
  uint32_t count_or_index() { return compact_ ? varint() : word(); }
  void skip_padding() {
    while (left() >= 4 && std::memcmp(img_ + pos_, "\0\0\0\0", 4) == 0) pos_ += 4;
  }

  void read_symbol_table(uint64_t count, uint64_t strings) {
    if (count * 4 > left()) bad(pos_);
    offsets_at_ = pos_;
    pos_ += size_t(count) * 4;
    need(strings);
    strings_at_ = pos_;
    pos_ += size_t(strings);
    if (count > 0 && (strings == 0 || img_[pos_ - 1] != 0)) bad(pos_ - 1);
    sym_count_ = uint32_t(count);
    strings_size_ = uint32_t(strings);
    sym_ids_.assign(sym_count_, 0);
  }

  may_gc uint32_t symbol() {
    size_t at = pos_;
    uint32_t i = count_or_index();
    if (i >= sym_count_) bad(at);
    if (sym_ids_[i]) return sym_ids_[i];
    const uint8_t* o = img_ + offsets_at_ + size_t(i) * 4;
    int32_t off = int32_t(load_le32(o));
    if (off < 0 || uint32_t(off) >= strings_size_) bad(at);
    // The area ends with 0 (checked up front), so strlen stays inside it.
    const char* text = reinterpret_cast<const char*>(img_ + strings_at_ + uint32_t(off));
    size_t len = std::strlen(text);
    if (len == 0 || !valid_utf8(reinterpret_cast<const uint8_t*>(text), len)) bad(at);
    uint32_t id = symbol::make(std::string_view(text, len));
    sym_ids_[i] = id;
    return id;
  }

  uint32_t head_index() {
    size_t at = pos_;
    uint32_t h = count_or_index();
    if (h > 0x7FFFFFFF) bad(at);
    return h;
  }

  // A reference path (its count and elements), resolved from the root block
  // by buffer position. Only cells that exist when it is read can be named,
  // so a path to the record itself or past it is refused.
  Cell resolve_path() {
    size_t at = pos_;
    if (!compact_ && word() != FIXED_REFERENCE) bad(at);
    at = pos_;
    uint32_t n = count_or_index();
    if (n < 1 || n > MAX_PATH || n > left()) bad(at);
    path_.resize(n);
    for (uint32_t i = 0; i < n; i++) path_[i] = count_or_index();
    Cell cur = series_cell(TYPE_BLOCK, root_);
    for (uint32_t i = 0; i < n; i++) cur = element(cur, path_[i], at);
    return cur;
  }

  // Element k of a value a path enters: a block's cells (from the buffer
  // head), an object's values, an error's values from arg1 to stack, a
  // native's spec, a function's spec (0) and body (1), and for a word the
  // values of its object or its function.
  Cell element(const Cell& c, uint32_t k, size_t at) {
    NodeId node = 0;
    uint32_t offset = 0, limit = UINT32_MAX;
    TypeId t = c.type();
    if (is_any_block(t) || t == TYPE_MAP) {
      node = c.node();
    } else if (t == TYPE_OBJECT) {
      node = context::cell(c.w1).w2;
    } else if (t == TYPE_ERROR) {
      node = context::cell(c.w1).w2, offset = error::ARG1, limit = error::STACK - error::ARG1 + 1;
    } else if (t == TYPE_NATIVE || t == TYPE_ACTION || (t == TYPE_OP && func::op_source_type(c) != TYPE_FUNCTION)) {
      // An op! over a native or action is written as it: the same spec.
      node = c.w2;
    } else if (t == TYPE_FUNCTION || (t == TYPE_OP && func::op_source_type(c) == TYPE_FUNCTION)) {
      if (k == 0) return series_cell(TYPE_BLOCK, c.w2);
      if (k == 1 && func::more_cell(c, func::MORE_BODY)->is(TYPE_BLOCK)) return *func::more_cell(c, func::MORE_BODY);
      bad(at);
    } else if (is_any_word(t) && t != TYPE_ISSUE && c.w1 && c.w1 != context::g_global) {
      if (!context::is_stack(c.w1)) {
        node = context::cell(c.w1).w2;
      } else {
        // A function's context: the function, or while its record is
        // being decoded, the block standing in for it.
        Cell owner = context::owner(c.w1);
        if (!owner.is(TYPE_FUNCTION) && !owner.is(TYPE_BLOCK)) bad(at);
        return element(owner, k, at);
      }
    } else {
      bad(at);
    }
    Buffer* b = node_buffer(node);
    if (k >= limit || uint64_t(k) + offset >= (b->used() >> 4)) bad(at);
    return b->cells()[k + offset];
  }

  may_gc void append(NodeId into, Cell c, bool new_line) {
    c.set_new_line(new_line);
    block::rs_append(into, c);
  }

  // --- records -------------------------------------------------------------------

  may_gc void record(NodeId into) {
    size_t start = pos_;
    bool nl = false, ref = false;
    uint32_t type;
    bool variant = false;
    uint32_t fixed_header = 0;
    size_t tag_at;
    if (compact_) {
      uint8_t t;
      for (;;) {
        tag_at = pos_;
        t = byte();
        if (t == 0xC0) nl = true;
        else if (t == 0xC1) ref = true;
        else if (t == 0xC4) {
          if (!boot_ || ref) bad(tag_at);  // boot set-records only
          set_record(into, tag_at, 0);
          return;
        } else break;
      }
      if (t >= 0x80) {
        if (ref) bad(tag_at);
        Cell c;
        if (t < 0xC0) c = integer_cell(t & 0x3F);
        else if (t == 0xC2 || t == 0xC3) c = logic_cell(t == 0xC2);
        else if (t == 0xFF) c = resolve_path();
        else bad(tag_at);
        append(into, c, nl);
        return;
      }
      type = t & 0x3F;
      variant = t & 0x40;
      if (type == 63) type = varint();
    } else {
      skip_padding();
      tag_at = pos_;
      fixed_header = word();
      type = fixed_header & 0xFF;
      nl = fixed_header & FIXED_NEW_LINE;
      // op! keeps its wrapped type in bits 16-23, over the reference bit.
      ref = (fixed_header & FIXED_REF_BIT) && type != TYPE_OP;
      if (type == FIXED_REFERENCE) {
        pos_ = tag_at;  // the path reader reads the 255 itself
        append(into, resolve_path(), nl);
        return;
      }
      if (boot_ && is_bindable_word(type) && (fixed_header & FIXED_WORD_GLOBAL)) {
        set_record(into, tag_at, fixed_header);
        return;
      }
    }
    (void)start;
    if (type == 0 || type > TYPE_LAST_BUILTIN) bad(tag_at);
    // Fixed-form words carry bit 19 when their holder is a reference.
    bool fixed_word = !compact_ && is_bindable_word(type);
    if (type == TYPE_BITSET) {
      bitset_record(into, compact_ ? variant : (fixed_header & FIXED_BITSET_NOT) != 0, ref, nl);
      return;
    }
    if (type == TYPE_MAP) {
      map_record(into, ref, nl, tag_at);
      return;
    }
    if (type == TYPE_IMAGE) {
      image_record(into, variant, ref, nl);
      return;
    }
    if (ref && !is_any_block(type) && !is_any_string(type) && type != TYPE_BINARY && type != TYPE_VECTOR && type != TYPE_OBJECT && type != TYPE_ERROR && type != TYPE_FUNCTION && !fixed_word) {
      if (is_no_codec(type)) fire(ErrId::NO_CODEC, datatype_cell(TypeId(type)));
      if (!is_pending(type)) bad(tag_at);
    }
    if (is_any_block(type) || is_any_string(type) || type == TYPE_BINARY || type == TYPE_VECTOR) {
      series_record(into, TypeId(type), variant, fixed_header, ref, nl, tag_at);
      return;
    }
    if (type == TYPE_OBJECT) {
      if (ref) {
        append(into, referenced_object(), nl);
        return;
      }
      bool event = compact_ ? variant : (fixed_header & FIXED_EVENT) != 0;
      object_record(into, event, nullptr, nl, false);
      return;
    }
    if (type == TYPE_ERROR) {
      if (ref) {
        size_t at = pos_;
        Cell e = resolve_path();
        if (!e.is(TYPE_ERROR)) bad(at);
        append(into, e, nl);
      } else {
        error_record(into, nl);
      }
      return;
    }
    if (type == TYPE_FUNCTION) {
      if (ref) {
        size_t at = pos_;
        Cell f = resolve_path();
        // A word designates the function that holds its context.
        if (is_any_word(f.type()) && !f.is(TYPE_ISSUE) && f.w1 && f.w1 != context::g_global)
          f = context::owner(f.w1);
        if (!f.is(TYPE_FUNCTION)) bad(at);
        append(into, f, nl);
      } else {
        function_record(into, nullptr, nl, 0);
      }
      return;
    }
    if (type == TYPE_NATIVE || type == TYPE_ACTION) {
      append(into, native_record(TypeId(type)), nl);
      return;
    }
    if (type == TYPE_OP) {
      append(into, op_record(), nl);
      return;
    }
    if (type == TYPE_CONTEXT) {
      // A context standing as a value: an object over it, without class.
      pos_ = tag_at;  // the context reader reads its own tag
      object_record(into, false, nullptr, nl, true);
      return;
    }
    if (is_bindable_word(type)) {
      word_record(into, TypeId(type), variant, fixed_header, nl);
      return;
    }
    if (type == TYPE_TUPLE) {
      append(into, tuple_record(variant, fixed_header), nl);
      return;
    }
    if (!compact_ && type == TYPE_MONEY) variant = (fixed_header & FIXED_MONEY_NEGATIVE) != 0;
    Cell c = scalar_record(TypeId(type), variant, tag_at);
    append(into, c, nl);
  }

  // --- words, objects and their contexts ------------------------------------------

  // A boot set record: a word record, then the record of its value; the
  // word is set to the value and neither stays in the block. The compact
  // form's 0xC4 prefix is read; h is the fixed form's word header.
  may_gc void set_record(NodeId into, size_t tag_at, uint32_t h) {
    uint32_t before = node_buffer(into)->used() >> 4;
    if (compact_) {
      size_t at = pos_;
      uint8_t t = byte();
      uint32_t type = t & 0x3F;
      if (t >= 0x80 || !is_bindable_word(type)) bad(at);
      word_record(into, TypeId(type), t & 0x40, 0, false);
    } else {
      word_record(into, TypeId(h & 0xFF), false, h, false);
    }
    record(into);
    Buffer* b = node_buffer(into);
    if ((b->used() >> 4) != before + 2) bad(tag_at);
    Cell w = b->cells()[before];
    Cell v = b->cells()[before + 1];
    b->tail = b->head + before * uint32_t(sizeof(Cell));
    series_changed(into);
    RootedCell value(v);
    context::set_in(&w, *value, w.w1, false);
  }

  // Boot mode: a word with a context reference names the context of root
  // cell root_base_ + c (an object, a function or a context standing as
  // one); index -1 looks the symbol up there.
  may_gc void boot_word_record(NodeId into, TypeId t, uint32_t sym, size_t at, int64_t c, int32_t index, bool nl) {
    if (c < 0) {
      Cell w = word::make_global(sym);
      w.set_type(t);
      append(into, w, nl);
      return;
    }
    Buffer* rb = node_buffer(root_);
    if (uint64_t(root_base_) + uint64_t(c) >= (rb->used() >> 4)) bad(at);
    Cell holder = rb->cells()[root_base_ + uint32_t(c)];
    NodeId ctx = 0;
    if (holder.is(TYPE_OBJECT) || holder.is(TYPE_FUNCTION)) ctx = holder.w1;
    if (!ctx) bad(at);
    Cell w = make_cell(t, ctx, sym, uint32_t(index));
    check_word_index(&w, at);
    append(into, w, nl);
  }

  may_gc void word_record(NodeId into, TypeId t, bool v, uint32_t h, bool nl) {
    if (boot_) {
      uint32_t sym = symbol();
      size_t at = pos_;
      if (compact_) {
        if (!v) return boot_word_record(into, t, sym, at, -1, -1, nl);
        uint32_t c = varint();
        int32_t i = zigzag();
        return boot_word_record(into, t, sym, at, c, i, nl);
      }
      int32_t c = int32_t(word());
      int32_t i = int32_t(word());
      return boot_word_record(into, t, sym, at, c < 0 ? -1 : c, i, nl);
    }
    uint32_t sym = symbol();
    bool global = compact_ ? !v : (h & FIXED_WORD_GLOBAL) != 0;
    if (global) {
      if (!compact_) (void)word();  // the word index: found again by symbol
      Cell w = word::make_global(sym);
      w.set_type(t);
      append(into, w, nl);
      return;
    }
    size_t index_at = pos_;
    int32_t index = compact_ ? zigzag() : int32_t(word());
    Cell w = make_cell(t, 0, sym, uint32_t(index));
    size_t holder_at = pos_;
    bool ref = compact_ ? (left() > 0 && img_[pos_] == 0xC1) : (h & FIXED_REF_BIT) != 0;
    if (ref) {
      if (compact_) pos_++;
      Cell holder = resolve_path();
      NodeId ctx = 0;
      if (holder.is(TYPE_OBJECT) || holder.is(TYPE_FUNCTION)) ctx = holder.w1;
      else if (holder.is(TYPE_OP) && func::op_source_type(holder) == TYPE_FUNCTION) ctx = holder.w1;
      else if (is_word_form(holder.type()) && holder.w1 &&
               holder.w1 != context::g_global)
        ctx = holder.w1;
      else if (holder.is(TYPE_BLOCK)) {
        auto it = pending_.find(holder.node());
        if (it != pending_.end()) ctx = it->second;
      }
      if (!ctx) bad(holder_at);
      w.w1 = ctx;
      check_word_index(&w, index_at);
      append(into, w, nl);
      return;
    }
    // The holder written in place: the word is appended first, so that paths
    // into the holder (through the word) resolve while its values decode.
    bool event;
    if (compact_) {
      uint8_t tag = byte();
      if (tag == TYPE_FUNCTION) {
        function_record(into, &w, nl, index_at);
        return;
      }
      if ((tag & 0xBF) != TYPE_OBJECT) bad(holder_at);
      event = tag & 0x40;
    } else {
      skip_padding();
      holder_at = pos_;
      uint32_t hh = word();
      if ((hh & FIXED_REF_BIT) || ((hh & 0xFF) != TYPE_OBJECT && (hh & 0xFF) != TYPE_FUNCTION)) bad(holder_at);
      if ((hh & 0xFF) == TYPE_FUNCTION) {
        function_record(into, &w, nl, index_at);
        return;
      }
      event = hh & FIXED_EVENT;
    }
    w.set_new_line(nl);
    object_record(into, event, &w, nl, false, index_at);
  }

  void check_word_index(Cell* w, size_t at) {
    NodeId ctx = w->w1;
    int32_t i = int32_t(w->w3);
    if (i == -1) i = context::find_word(ctx, w->w2, true);
    if (i < 0 || uint32_t(i) >= context::word_count(ctx)) bad(at);
    w->w3 = uint32_t(i);
  }

  // The words of a context record, each at most once.
  may_gc void read_context_words(NodeId ctx, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) {
      size_t at = pos_;
      uint32_t sym = symbol();
      if (context::find_word(ctx, sym, true) >= 0) bad(at);  // a word listed twice
      (void)context::add_word(ctx, sym);
    }
  }

  // A context's holder where the record stands: the word it was met
  // through, bound to the context, or else the holder itself.
  may_gc void append_holder(NodeId into, const Cell* as_word, NodeId ctx, const Cell& holder, size_t index_at,
                            bool nl) {
    if (!as_word) return append(into, holder, nl);
    Cell w = *as_word;
    w.w1 = ctx;
    check_word_index(&w, index_at);
    append(into, w, nl);
  }

  // The head of the context record inside an object! or function! record:
  // its kind, flags and word count, checked and counted as one more level.
  // A function's context keeps its values on the stack and carries none in
  // the record; an object's context is any other kind, with its values on
  // the heap.
  struct ContextHead {
    size_t at;
    uint32_t kind, n;
    bool self, values;
  };
  ContextHead context_head(bool function) {
    ContextHead h{pos_, 0, 0, false, false};
    bool stack;
    if (compact_) {
      if (byte() != TYPE_CONTEXT) bad(h.at);
      uint8_t f = byte();
      h.kind = f & 3, stack = f & 4, h.self = f & 8, h.values = f & 16;
      if (f & (function ? 0xF0 : 0xE0)) bad(h.at + 1);
      h.n = varint();
    } else {
      skip_padding();
      h.at = pos_;
      uint32_t hh = word();
      h.kind = (hh >> 26) & 3, h.self = hh & (1u << 28), stack = hh & (1u << 29), h.values = hh & (1u << 30);
      if ((hh & 0xFF) != TYPE_CONTEXT || (function && h.values)) bad(h.at);
      h.n = word();
    }
    if (function ? h.kind != context::KIND_FUNCTION || !stack : h.kind > context::KIND_OBJECT || stack) bad(h.at);
    if (uint64_t(h.n) * (compact_ ? 1 : 4) > left()) bad(pos_);
    if (++depth_ > MAX_DEPTH) bad(pos_);
    return h;
  }

  // An object! record with 0xC1: the object designated, or the object that
  // owns the context of a designated word.
  Cell referenced_object() {
    size_t at = pos_;
    Cell c = resolve_path();
    if (c.is(TYPE_OBJECT)) return c;
    if (is_any_word(c.type()) && !c.is(TYPE_ISSUE) && c.w1 && c.w1 != context::g_global) {
      Cell owner = context::owner(c.w1);
      if (owner.is(TYPE_OBJECT)) return owner;
    }
    bad(at);
  }

  // The body of an object! record (after its tag), or with `standalone` a
  // context record standing as a value. Appends the object, or `word`
  // bound to it, then decodes the values into the new context.
  may_gc void object_record(NodeId into, bool event, const Cell* as_word, bool nl, bool standalone,
                            size_t index_at = 0) {
    int32_t handlers[2] = {object::NO_HANDLER, object::NO_HANDLER};
    size_t handlers_at = pos_;
    if (!standalone) {
      (void)(compact_ ? zigzag() : int32_t(word()));  // class id: not kept across images
      if (event)
        for (int32_t& h : handlers) h = compact_ ? zigzag() : int32_t(word());
    }
    auto [ctx_at, kind, n, self, values] = context_head(false);
    RootedNode ctx(context::create(n, false, self, 0, context::Kind(kind)));
    node_buffer(context::cell(ctx).w2)->tail = node_buffer(context::cell(ctx).w2)->head;
    read_context_words(ctx, n);
    for (int32_t h : handlers)
      if (h != object::NO_HANDLER && (h < 0 || uint32_t(h) >= n)) bad(handlers_at);
    RootedNode events(0);
    if (event) {
      events = alloc_cells(2);
      for (int32_t h : handlers) block::rs_append(events, integer_cell(h));
    }
    // Class ids belong to the running session: a decoded object has none.
    Cell o = make_cell(TYPE_OBJECT, ctx, uint32_t(-1), events);
    context::owner(ctx) = o;
    append_holder(into, as_word, ctx, o, index_at, nl);
    if (values) {
      NodeId vals = context::cell(ctx).w2;
      node_buffer(vals)->tail = node_buffer(vals)->head;
      for (uint32_t i = 0; i < n; i++) record(vals);
    }
    depth_--;
  }

  // An error! record: the code (its type and id come from the catalog), then
  // arg1 to stack decoded straight into the error's values; files is none.
  may_gc void error_record(NodeId into, bool nl) {
    size_t at = pos_;
    uint32_t code = count_or_index();
    if (code > 0x7FFFFFFF) bad(at);
    RootedCell err;
    try {
      (void)error::make(integer_cell(int32_t(code)), err.get());
    } catch (const VelError&) {
      bad(at);  // no such error code
    }
    if (++depth_ > MAX_DEPTH) bad(at);
    append(into, *err, nl);
    NodeId vals = context::cell(err->w1).w2;
    node_buffer(vals)->tail = node_buffer(vals)->head + error::ARG1 * sizeof(Cell);
    for (uint32_t f = error::ARG1; f <= error::STACK; f++) record(vals);
    block::rs_append(vals, none_cell());  // files
    depth_--;
  }

  // The next record decoded aside, not into the block being built, as one
  // more level; a level too deep is reported where the record starts.
  may_gc Cell record_aside() {
    size_t at = pos_;
    RootedNode tmp(alloc_cells(1));
    if (++depth_ > MAX_DEPTH) bad(at);
    record(tmp);
    depth_--;
    return node_buffer(tmp)->cells()[0];
  }

  // native! and action!: the table number, then the spec as a block!
  // record (decoded aside: the value is made from it, as make does).
  may_gc Cell native_record(TypeId t) {
    size_t at = pos_;
    uint32_t number = count_or_index();
    size_t spec_at = pos_;
    Cell spec = record_aside();
    if (!spec.is(TYPE_BLOCK)) bad(spec_at);
    spec.w1 = 0;
    RootedCell args(block_of_two(spec, integer_cell(int32_t(number))));
    try {
      return call_action(act::make::SHAPE, {{act::make::TYPE, datatype_cell(t)}, {act::make::SPEC, *args}});
    } catch (const VelError&) {
      bad(at);  // no native or action of that number
    }
  }

  may_gc Cell block_of_two(const Cell& a, const Cell& b) {
    RootedCell keep_a(a), keep_b(b);
    RootedNode blk(alloc_cells(2));
    block::rs_append(blk, *keep_a);
    block::rs_append(blk, *keep_b);
    return series_cell(TYPE_BLOCK, blk);
  }

  // op!: the record of the value it wraps.
  may_gc Cell op_record() {
    size_t at = pos_;
    Cell f = record_aside();
    if (!f.is(TYPE_NATIVE) && !f.is(TYPE_ACTION) && !f.is(TYPE_FUNCTION)) bad(at);
    Cell op = f;
    op.header = TYPE_OP | (uint32_t(f.type()) << 16);
    // An op! over a function keeps its source in more cell 3.
    if (f.is(TYPE_FUNCTION)) *func::more_cell(f, func::MORE_OP_SOURCE) = f;
    return op;
  }

  // function!: the two lengths (hints only), the context record (a stack
  // context: no values), then the spec and body block! records. A block
  // stands at the function's place while they decode, so that paths to the
  // function reach its spec (0) and body (1); the function replaces it.
  may_gc void function_record(NodeId into, const Cell* as_word, bool nl, size_t index_at) {
    (void)count_or_index();
    (void)count_or_index();
    ContextHead head = context_head(true);
    RootedNode ctx(context::create(head.n, true, head.self, 0, context::KIND_FUNCTION));
    read_context_words(ctx, head.n);
    RootedNode parts(alloc_cells(2));
    Cell stand_in = series_cell(TYPE_BLOCK, parts);
    context::owner(ctx) = stand_in;
    pending_[parts] = ctx;
    uint32_t place = node_buffer(into)->used() >> 4;
    append_holder(into, as_word, ctx, stand_in, index_at, nl);
    for (int i = 0; i < 2; i++) {
      size_t at = pos_;
      record(parts);
      if (!node_buffer(parts)->cells()[i].is(TYPE_BLOCK)) bad(at);
    }
    pending_.erase(parts);
    Cell spec = node_buffer(parts)->cells()[0];
    Cell body = node_buffer(parts)->cells()[1];
    spec.w1 = 0, body.w1 = 0, body.header = TYPE_BLOCK;
    RootedCell keep_spec(spec), keep_body(body);
    uint32_t flags;
    try {
      flags = func::check_spec(spec);
    } catch (const VelError&) {
      bad(head.at);  // not a function spec
    }
    uint32_t mark = uint32_t(g_stack.top - g_stack.begin);
    (void)func::function_push(*keep_spec, none_cell(), ctx, 0, nullptr, flags);
    Cell f = g_stack.begin[mark];
    g_stack.top = g_stack.begin + mark;
    *func::more_cell(f, func::MORE_BODY) = *keep_body;
    context::owner(ctx) = f;
    if (!as_word) {
      f.set_new_line(nl);
      node_buffer(into)->cells()[place] = f;
      series_changed(into);
    }
    depth_--;
  }

  static bool is_pending(uint32_t) { return false; }

  // A tuple: its byte count (compact: 3 unless the variant gives it; fixed:
  // header bits 8-11) and its bytes. Bytes past the count are dropped.
  Cell tuple_record(bool v, uint32_t h) {
    size_t at = pos_;
    uint8_t bytes[TUPLE_MAX] = {};
    int n;
    if (compact_) {
      n = v ? byte() : 3;
      if (n < 1 || n > TUPLE_MAX) bad(at);
      need(size_t(n));
      std::memcpy(bytes, img_ + pos_, size_t(n));
      pos_ += size_t(n);
    } else {
      n = int((h >> 8) & 0xF);
      if (n < 1 || n > TUPLE_MAX) bad(at);
      uint32_t w[3] = {word(), word(), word()};
      for (int i = 0; i < n; i++) bytes[i] = uint8_t(w[i / 4] >> (8 * (i % 4)));
    }
    return tuple_from_bytes(n, bytes);
  }

  may_gc Cell scalar_record(TypeId t, bool v, size_t tag_at) {
    switch (t) {
      case TYPE_UNSET:
      case TYPE_NONE:
        return make_cell(t);
      case TYPE_DATATYPE: {
        size_t at = pos_;
        uint32_t id = count_or_index();
        if (id < 1 || id > TYPE_LAST_BUILTIN) bad(at);
        return datatype_cell(TypeId(id));
      }
      case TYPE_LOGIC:
        if (compact_) bad(tag_at);  // compact logic is 0xC2/0xC3
        return logic_cell(word() != 0);
      case TYPE_INTEGER:
        return integer_cell(compact_ ? zigzag() : int32_t(word()));
      case TYPE_CHAR: {
        size_t at = pos_;
        uint32_t cp = count_or_index();
        if (cp > 0x10FFFF) bad(at);
        return char_cell(cp);
      }
      case TYPE_FLOAT:
      case TYPE_TIME:
      case TYPE_PERCENT: {
        Cell c = make_cell(t);
        if (!compact_) {
          uint32_t hi = word();
          uint32_t lo = word();
          c.set_u64(uint64_t(lo) | uint64_t(hi) << 32);
        } else if (v) {
          int32_t n = zigzag();
          c.set_f64(t == TYPE_PERCENT ? n / 100.0 : double(n));
        } else {
          need(8);
          uint64_t bits = 0;
          for (int i = 0; i < 8; i++) bits |= uint64_t(img_[pos_ + i]) << (8 * i);
          pos_ += 8;
          c.set_u64(bits);
        }
        return c;
      }
      case TYPE_DATE: {
        size_t at = pos_;
        Cell c = make_cell(t);
        c.w1 = word();
        bool timed = c.w1 & date::TIME_FLAG;
        if (!compact_) {
          uint32_t hi = word();
          uint32_t lo = word();
          c.set_u64(uint64_t(lo) | uint64_t(hi) << 32);
        } else if (timed) {
          need(8);
          uint64_t bits = 0;
          for (int i = 0; i < 8; i++) bits |= uint64_t(img_[pos_ + i]) << (8 * i);
          pos_ += 8;
          c.set_u64(bits);
        }
        // A real calendar day; a time of day within its local day, or
        // neither time nor zone.
        int32_t month = date::month_of(c.w1), day = date::day_of(c.w1);
        bool ok = (!compact_ || v == timed) && month >= 1 && month <= 12 && day >= 1 &&
                  day <= date::month_days(date::year_of(c.w1), month);
        double local = c.f64() + date::zone_seconds(date::zone_of(c.w1));
        if (timed) ok = ok && local >= 0.0 && local < 86400.0;
        else ok = ok && date::zone_of(c.w1) == 0 && c.u64() == 0;
        if (!ok) bad(at);
        return c;
      }
      case TYPE_PAIR: {
        int32_t x = compact_ ? zigzag() : int32_t(word());
        int32_t y = compact_ ? zigzag() : int32_t(word());
        return pair_cell(x, y);
      }
      case TYPE_MONEY: {
        // Decimal digits only, and a currency the list knows.
        size_t at = pos_;
        Cell c = money::zero_cell();
        c.w1 = word();
        c.w2 = word();
        c.w3 = word();
        if (!money::valid_q(c)) bad(at);
        money::set_sign(&c, v);
        return c;
      }
      case TYPE_POINT2D:
      case TYPE_POINT3D: {
        // The coordinates' binary32 bits, in both forms.
        Cell c = make_cell(t);
        c.w1 = word();
        c.w2 = word();
        if (t == TYPE_POINT3D) c.w3 = word();
        return c;
      }
      case TYPE_TYPESET: {
        Cell c = make_cell(t);
        if (compact_) {
          size_t at = pos_;
          uint8_t n = byte();
          if (n > 12) bad(at);
          need(n);
          uint8_t bits[12] = {};
          std::memcpy(bits, img_ + pos_, n);
          pos_ += n;
          uint32_t* w[3] = {&c.w1, &c.w2, &c.w3};
          for (int i = 0; i < 12; i++) *w[i / 4] |= uint32_t(bits[i]) << (8 * (i % 4));
        } else {
          c.w1 = word(), c.w2 = word(), c.w3 = word();
        }
        return c;
      }
      case TYPE_ISSUE:
        return make_cell(TYPE_ISSUE, 0, symbol(), uint32_t(-1));
      case TYPE_WORD:
      case TYPE_SET_WORD:
      case TYPE_LIT_WORD:
      case TYPE_GET_WORD:
      case TYPE_REFINEMENT: {
        break;  // word_record
      }
      default:
        break;
    }
    if (is_no_codec(t)) fire(ErrId::NO_CODEC, datatype_cell(t));
    if (is_pending(t)) fire(ErrId::NOT_DONE, datatype_cell(t));
    bad(tag_at);  // symbol!, series! and logic! tags have no record
  }

  // A bitset: its byte count and bytes (complemented with the flag), or a
  // reference to one decoded before.
  may_gc void bitset_record(NodeId into, bool flag, bool ref, bool nl) {
    size_t at = pos_;
    if (ref) {
      Cell c = resolve_path();
      if (!c.is(TYPE_BITSET)) bad(at);
      append(into, c, nl);
      return;
    }
    uint32_t count = compact_ ? varint() : word();
    // A bit count must stay a 32-bit integer.
    if (count >= (1u << 28)) bad(at);
    need(count);
    RootedNode s(alloc_bytes(count));
    Buffer* b = node_buffer(s);
    std::memcpy(b->head_ptr(), img_ + pos_, count);
    b->tail = b->head + count;
    if (flag) b->flags |= BUF_BITSET_NOT;
    pos_ += count;
    if (!compact_) {
      size_t pad = (4 - count % 4) % 4;
      need(pad);
      pos_ += pad;
    }
    append(into, make_cell(TYPE_BITSET, 0, s), nl);
  }

  // An image: its position, size and pixels; a reference is a copy of the
  // image cell it designates, at this record's position.
  may_gc void image_record(NodeId into, bool variant, bool ref, bool nl) {
    size_t at = pos_;
    uint32_t head = compact_ ? (variant ? varint() : 0) : word();
    if (ref) {
      Cell c = resolve_path();
      if (!c.is(TYPE_IMAGE)) bad(at);
      c.w1 = head;
      append(into, c, nl);
      return;
    }
    uint32_t w, h;
    if (compact_) {
      w = varint(), h = varint();
    } else {
      uint32_t s = word();
      w = s & 0xFFFF, h = s >> 16;
    }
    if (w > image::SIDE_MAX || h > image::SIDE_MAX) bad(at);
    uint64_t n = uint64_t(w) * h * 4;
    need(n);
    RootedCell c(none_cell());
    img::make_from_pixels(c.get(), w, h, img_ + pos_);
    pos_ += size_t(n);
    c->w1 = head;
    append(into, *c, nl);
  }

  // A map: n cells, keys and values alternating. While they decode, a
  // block stands in for the map, so paths can enter it; then the keys are
  // checked and indexed (a repeated key gives its value to the first).
  may_gc void map_record(NodeId into, bool ref, bool nl, size_t tag_at) {
    if (ref) {
      size_t at = pos_;
      Cell c = resolve_path();
      if (!c.is(TYPE_MAP)) bad(at);
      append(into, c, nl);
      return;
    }
    size_t at = pos_;
    uint32_t n = count_or_index();
    if ((n & 1) || uint64_t(n) * (compact_ ? 1 : 4) > left()) bad(at);
    if (++depth_ > MAX_DEPTH) bad(at);
    RootedNode child(alloc_cells(n ? n : 2));
    uint32_t slot = node_buffer(into)->length();
    append(into, series_cell(TYPE_BLOCK, child), nl);
    for (uint32_t i = 0; i < n; i++) record(child);
    depth_--;
    Buffer* b = node_buffer(child);
    for (uint32_t i = 0; i < n; i += 2) {
      Cell& k = b->cells()[i];
      if (!map::valid_key(k.type())) bad(tag_at);
      // Stored keys are set-words.
      if (is_word_form(k.type())) k.set_type(TYPE_SET_WORD);
      if (b->cells()[i + 1].header == 0) bad(tag_at);
    }
    Cell m = map::make_at(child, 0);
    m.set_new_line(nl);
    node_buffer(into)->cells()[slot] = m;
    series_changed(into);
  }

  may_gc void series_record(NodeId into, TypeId t, bool v, uint32_t h, bool ref, bool nl, size_t tag_at) {
    uint32_t unit = 0;
    if (!compact_ && is_any_string(t)) {
      unit = (h >> 8) & 0xFF;
      if (unit != 1 && unit != 2 && unit != 4) bad(tag_at);
    }
    // Bytes are always of unit 1.
    if (!compact_ && t == TYPE_BINARY && ((h >> 8) & 0xFF) != 1) bad(tag_at);
    if (!compact_ && t == TYPE_VECTOR) unit = (h >> 8) & 0xFF;
    uint32_t head = (compact_ ? v : true) ? head_index() : 0;
    if (ref) {
      size_t at = pos_;
      Cell c = resolve_path();
      // The copy gets this record's type, so it must hold the same kind of
      // series: a string record over a cell series would read cells as text.
      bool same_kind = is_any_block(t) ? (is_any_block(c.type()) || c.is(TYPE_NATIVE) || c.is(TYPE_ACTION) || c.is(TYPE_OP))
                       : t == TYPE_BINARY ? c.is(TYPE_BINARY)
                       : t == TYPE_VECTOR ? c.is(TYPE_VECTOR)
                                          : is_any_string(c.type());
      if (!same_kind) bad(at);
      if (t == TYPE_VECTOR) {
        c.w1 = head;
        append(into, c, nl);
        return;
      }
      NodeId table = c.is(TYPE_HASH) ? c.w3 : 0;
      c = series_cell(t, c.node(), int32_t(head));
      if (t == TYPE_HASH) {
        // The same cells as a hash! elsewhere share its table; plain cells
        // get one of their own.
        RootedNode keep(c.node());
        c.w3 = table ? table : hash_table::make(block::total(c) ? block::total(c) : 1, keep, hash_table::KIND_HASH);
      }
      append(into, c, nl);
      return;
    }
    if (is_any_block(t)) {
      size_t at = pos_;
      uint32_t n = count_or_index();
      // Every record takes at least one byte (four in the fixed form).
      if (uint64_t(n) * (compact_ ? 1 : 4) > left()) bad(at);
      if (++depth_ > MAX_DEPTH) bad(at);
      RootedNode child(alloc_cells(n ? n : 1));
      uint32_t slot = node_buffer(into)->length();
      append(into, series_cell(t, child, int32_t(head)), nl);
      for (uint32_t i = 0; i < n; i++) record(child);
      depth_--;
      if (t == TYPE_HASH) {
        // The table over the decoded cells.
        NodeId table = hash_table::make(n ? n : 1, child, hash_table::KIND_HASH);
        node_buffer(into)->cells()[slot].w3 = table;
      }
      return;
    }
    size_t at = pos_;
    uint32_t count;
    uint32_t elem_type = 0;
    if (t == TYPE_VECTOR) {
      if (compact_) {
        uint8_t f = byte();
        unit = 1u << (f & 3);
        elem_type = f >> 2;
        count = varint();
      } else {
        count = word();
        elem_type = word();
      }
      // Only the widths make vector! allows for the element type.
      bool ok = elem_type == TYPE_INTEGER || elem_type == TYPE_CHAR ? unit == 1 || unit == 2 || unit == 4
                : elem_type == TYPE_FLOAT                          ? unit == 4 || unit == 8
                                                                   : elem_type == TYPE_PERCENT && unit == 8;
      if (!ok) bad(at);
    } else if (compact_ && t == TYPE_BINARY) {
      unit = 1;
      count = varint();
    } else if (compact_) {
      uint32_t e = varint();
      uint32_t w = e & 3;
      if (w == 3) bad(at);
      unit = 1u << w;
      count = e >> 2;
    } else {
      if (t == TYPE_BINARY) unit = 1;
      count = word();
    }
    uint64_t bytes = uint64_t(count) * unit;
    need(bytes);
    RootedNode s(alloc_series_unit(count ? count : 1, unit));
    Buffer* b = node_buffer(s);
    std::memcpy(b->head_ptr(), img_ + pos_, size_t(bytes));
    if (unit == 4 && is_any_string(t))
      for (uint32_t i = 0; i < count; i++) {
        uint32_t cp;
        std::memcpy(&cp, img_ + pos_ + size_t(i) * 4, 4);
        if (cp > 0x10FFFF) bad(pos_ + size_t(i) * 4);
      }
    b->tail = b->head + uint32_t(bytes);
    pos_ += size_t(bytes);
    if (!compact_) {
      size_t pad = (4 - bytes % 4) % 4;
      need(pad);
      pos_ += pad;
    }
    Cell c = series_cell(t, s, int32_t(head));
    if (t == TYPE_VECTOR) c.w3 = elem_type;
    append(into, c, nl);
  }
};

}  // namespace

may_gc void decode_into(std::span<const uint8_t> image, NodeId target, const Cell* input, bool boot) {
  Cell arg = input ? *input : none_cell();
  if (image.size() <= 10 || std::memcmp(image.data(), MAGIC, 6) != 0) fire(ErrId::INVALID_DATA, arg);
  uint8_t flags = image[7];
  std::optional<std::vector<uint8_t>> unpacked;
  if (flags & FLAG_PACKED) {
    auto body = lz_decompress(image.subspan(8));
    if (!body) fire(ErrId::INVALID_DATA, arg);
    // Offsets in errors count in the unpacked image, header included.
    unpacked.emplace(image.begin(), image.begin() + 8);
    unpacked->insert(unpacked->end(), body->begin(), body->end());
    image = *unpacked;
  }
  RootedNode root(target);
  Decoder d(image.data(), image.size(), root, boot);
  d.run(flags & FLAG_COMPACT, flags & FLAG_SYMBOLS);
}

may_gc Cell decode(std::span<const uint8_t> image, const Cell* input) {
  RootedNode result(alloc_cells(1));
  decode_into(image, result, input);
  return series_cell(TYPE_BLOCK, result);
}

}  // namespace vel::velbin
