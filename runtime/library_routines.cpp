// The C++ entries of the library's routines (library/routines.vel) and of
// the type predicates (library/predicates.vel). Each takes its arguments at
// base and leaves its result there; routines with a logic! result may leave
// any value, the caller turns it into true or false.
#include "library_routines.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

#include "action_frames.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "eval.h"
#include "datatypes/file.h"
#include "datatypes/function.h"
#include "datatypes/image.h"
#include "datatypes/logic.h"
#include "datatypes/ownership.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "datatypes/string.h"
#include "datatypes/string_impl.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/typeset.h"
#include "datatypes/word.h"
#include "errors.h"
#include "families.h"
#include "evaluator/natives_series.h"
#include "evaluator/trace.h"
#include "frame.h"
#include "routine_frames.h"
#include "library.h"
#include "memory.h"
#include "platform/clipboard.h"
#include "platform/platform.h"
#include "roots.h"
#include "stack.h"
#include "unicode.h"

namespace vel {

namespace {

inline uint32_t cells_in(NodeId b) { return node_buffer(b)->used() >> 4; }

// --- type predicates ---------------------------------------------------------------------

// The hottest calls of the library: one comparison of the header's type.
template <TypeId T, typename Frame>
Status is_type(Cell* base) {
  base[RESULT] = logic_cell(base[Frame::VALUE].type() == T);
  return Status::OK;
}

// A typeset predicate tests the typeset that its global word holds when it
// runs, so a script that sets `number!` changes `number?`; a word that no
// longer holds a typeset answers false. The word's index in the global
// context never changes, so it is looked up once.
template <const char* Name, typename Frame>
Status in_typeset(Cell* base) {
  static int32_t index = -1;
  if (index < 0) index = context::find_word(context::g_global, symbol::make(Name));
  const Cell* ts = index < 0 ? nullptr : context::value_at(context::g_global, uint32_t(index));
  base[RESULT] = logic_cell(ts && ts->is(TYPE_TYPESET) && typeset::has(*ts, base[Frame::VALUE].type()));
  return Status::OK;
}

constexpr char kNumber[] = "number!", kPlanar[] = "planar!", kAnyPoint[] = "any-point!",
               kScalar[] = "scalar!", kAnyWord[] = "any-word!", kAllWord[] = "all-word!",
               kAnyList[] = "any-list!", kAnyPath[] = "any-path!", kAnyBlock[] = "any-block!",
               kAnyFunction[] = "any-function!", kAnyObject[] = "any-object!",
               kAnyString[] = "any-string!", kSeries[] = "series!", kImmediate[] = "immediate!";

// --- process, output and bits --------------------------------------------------------------

Status quit_return(Cell* base) {
  using enum rtn::quit_return::Frame;
  platform::exit_process(base[STATUS].i2());
  return Status::OK;
}

Status last_lf(Cell* base) {
  base[RESULT] = logic_cell(last_print_newline());
  return Status::OK;
}

// Counts below 0 shift by nothing; counts of 32 or more are answered
// explicitly, since a C++ shift by them is undefined.
int32_t shift_count(const Cell& c) { return c.i2() < 0 ? 0 : c.i2(); }

Status shift_right(Cell* base) {
  using enum rtn::shift_right::Frame;
  uint32_t d = base[DATA].w2;
  int32_t n = shift_count(base[BITS]);
  uint32_t r = n >= 32 ? (int32_t(d) < 0 ? 0xFFFFFFFFu : 0) : (int32_t(d) < 0 ? ~(~d >> n) : d >> n);
  base[RESULT] = integer_cell(int32_t(r));
  return Status::OK;
}

Status shift_left(Cell* base) {
  using enum rtn::shift_left::Frame;
  int32_t n = shift_count(base[BITS]);
  base[RESULT] = integer_cell(int32_t(n >= 32 ? 0 : base[DATA].w2 << n));
  return Status::OK;
}

Status shift_logical(Cell* base) {
  using enum rtn::shift_logical::Frame;
  int32_t n = shift_count(base[BITS]);
  base[RESULT] = integer_cell(int32_t(n >= 32 ? 0 : base[DATA].w2 >> n));
  return Status::OK;
}

// --- tuples ----------------------------------------------------------------------------------

// A tuple of n bytes: the count in header bits 19-22, byte 1 lowest.
Cell tuple_of(const int32_t* bytes, int n) {
  uint32_t w[3] = {0, 0, 0};
  for (int i = 0; i < n; i++) w[i / 4] |= uint32_t(bytes[i] & 255) << (8 * (i % 4));
  Cell t = make_cell(TYPE_TUPLE, w[0], w[1], w[2]);
  t.header |= uint32_t(n) << 19;
  return t;
}

// The bytes from the frame's cells, in the order given.
Status make_tuple(Cell* base, std::initializer_list<int> cells) {
  int32_t bytes[4];
  int n = 0;
  for (int at : cells) {
    if (base[at].i2() < 0) fire(ErrId::INVALID_ARG, base[at]);
    bytes[n++] = base[at].i2();
  }
  base[RESULT] = tuple_of(bytes, n);
  return Status::OK;
}

Status as_color(Cell* base) {
  using enum rtn::as_color::Frame;
  return make_tuple(base, {R, G, B});
}
Status as_ipv4(Cell* base) {
  using enum rtn::as_ipv4::Frame;
  return make_tuple(base, {A, B, C, D});
}
Status as_rgba(Cell* base) {
  using enum rtn::as_rgba::Frame;
  return make_tuple(base, {R, G, B, A});
}

// --- UTF-8 -------------------------------------------------------------------------------

// Counts the characters from start up to pos. Both must be positions in
// the same binary; the walk never passes pos nor the tail, and a sequence
// cut short by either still counts as one character.
Status count_chars(Cell* base) {
  using enum rtn::count_chars::Frame;
  Cell start = base[START], pos = base[POS];
  if (start.node() != pos.node()) fire(ErrId::INVALID_ARG, pos);
  const Buffer* b = node_buffer(start.node());
  int32_t len = int32_t(b->length());
  int32_t from = std::clamp(start.index(), 0, len), to = std::clamp(pos.index(), 0, len);
  const uint8_t* p = b->data() + b->head;
  int32_t n = 0;
  for (int32_t i = from; i < to; n++) {
    uint32_t step = utf8_lead_length(p[i]);
    i += step ? int32_t(step) : 1;
  }
  base[RESULT] = integer_cell(n);
  return Status::OK;
}

// --- replace ---------------------------------------------------------------------------------

// replace in find mode when the value is no function: series pattern value
// size case all, the pattern already prepared and size (at least 1) the
// elements each match replaces. Without all, or in a list, each match is
// changed in place and the search goes on after the change; with all in a
// text or binary the new text is built aside and changed in at once, so
// that no change moves the whole tail again. The answer is the series.
may_gc Status replace_routine(Cell* base) {
  using enum rtn::replace::Frame;
  RootedCell series(base[SERIES]), pattern(base[PATTERN]), value(base[VALUE]);
  TypeId st = series->type();
  if (!is_series_type(st) || st == TYPE_IMAGE) fire(ErrId::INVALID_ARG, *series);
  if (!base[SIZE].is(TYPE_INTEGER) || base[SIZE].i2() < 1) fire(ErrId::INVALID_ARG, base[SIZE]);
  Cell size = base[SIZE];
  bool case_sensitive = truthy(base[CASE]), all = truthy(base[ALL]);
  bool text = is_text_or_binary(st);
  if (all && text) {
    // What one change of the value writes: append gives the same.
    auto make_rep = [&] {
      RootedCell empty(none_cell());
      if (st == TYPE_BINARY) binary::make_at(empty.get(), 0);
      else string::make_at(empty.get(), 0);
      return call_action(act::append::SHAPE, {{act::append::SERIES, *empty}, {act::append::VALUE, *value}});
    };
    // An owner is told of one change of the text from the position on.
    if (!series_flagged_owned(*series)) {
      (void)string::replace_in_place(*series, *pattern, uint32_t(size.i2()), case_sensitive, make_rep);
      base[RESULT] = *series;
      return Status::OK;
    }
    RootedCell out(none_cell());
    if (st == TYPE_BINARY) binary::make_at(out.get(), 0);
    else string::make_at(out.get(), 0);
    uint32_t matches = string::replace_into(*series, *pattern, uint32_t(size.i2()), case_sensitive, out->node(), make_rep);
    if (matches) {
      Cell rest = *series;
      rest.w1 = uint32_t(node_buffer(series->node())->length());
      (void)call_action(act::change::SHAPE, {{act::change::SERIES, *series},
                                             {act::change::VALUE, *out},
                                             {act::change::PART, logic_cell(true)},
                                             {act::change::RANGE, rest}});
    }
    base[RESULT] = *series;
    return Status::OK;
  }
  Cell only = logic_cell(!is_any_list(pattern->type()));
  RootedCell pos(*series);
  while (true) {
    *pos = call_action(act::find::SHAPE, {{act::find::SERIES, *pos},
                                          {act::find::VALUE, *pattern},
                                          {act::find::ONLY, only},
                                          {act::find::CASE, logic_cell(case_sensitive)}});
    if (!is_series_type(pos->type())) break;
    *pos = call_action(act::change::SHAPE, {{act::change::SERIES, *pos},
                                            {act::change::VALUE, *value},
                                            {act::change::PART, logic_cell(true)},
                                            {act::change::RANGE, size}});
    if (!all) break;
  }
  base[RESULT] = *series;
  return Status::OK;
}

// --- rejoin ----------------------------------------------------------------------------------

// Values that evaluate to themselves and hold no other values: reducing a
// block of them gives the same values, and forming one never comes back
// to the block (a block that holds itself forms as a reduced copy would).
bool plain_value(TypeId t) {
  if (is_any_string(t)) return true;
  switch (t) {
    case TYPE_BINARY:
    case TYPE_CHAR:
    case TYPE_INTEGER:
    case TYPE_FLOAT:
    case TYPE_LOGIC:
    case TYPE_NONE:
    case TYPE_PAIR:
    case TYPE_TUPLE:
    case TYPE_MONEY:
    case TYPE_DATE:
    case TYPE_TIME:
    case TYPE_PERCENT:
    case TYPE_POINT2D:
    case TYPE_POINT3D:
    case TYPE_DATATYPE:
    case TYPE_TYPESET:
    case TYPE_BITSET:
      return true;
    default:
      return false;
  }
}

// rejoin's joining into a string: block done (reduced already). The first value copied
// when it is a string type, else formed into a new string!, then the others
// formed after it, as append writes a block into a string, into a string
// made once with room for them all. Answers none, and leaves the work to
// the library, for an empty block, a first value that is another series,
// or (unless done) a block of values other than plain ones.
may_gc Status rejoin_routine(Cell* base) {
  using enum rtn::rejoin::Frame;
  if (!base[BLOCK].is(TYPE_BLOCK)) fire(ErrId::INVALID_ARG, base[BLOCK]);
  RootedCell block(base[BLOCK]);
  bool reduced = truthy(base[DONE]);
  Buffer* b = node_buffer(block->node());
  uint32_t total = b->used() >> 4;
  uint32_t at = uint32_t(std::clamp<int64_t>(block->index(), 0, total));
  base[RESULT] = none_cell();
  if (at >= total) return Status::OK;
  // Room for the texts as they are and a little for each other value.
  uint64_t room = 0;
  for (uint32_t i = at; i < total; i++) {
    const Cell& c = b->cells()[i];
    TypeId t = c.type();
    if (!reduced && !plain_value(t)) return Status::OK;
    if (is_any_string(t)) room += node_buffer(c.node())->length() - std::min<int64_t>(c.index() < 0 ? 0 : c.index(), node_buffer(c.node())->length());
    else room += 8;
  }
  Cell first = b->cells()[at];
  if (is_series_type(first.type()) && !is_any_string(first.type())) return Status::OK;
  RootedCell out(none_cell());
  if (is_any_string(first.type())) {
    *out = series_copy(first, nullptr);
  } else {
    string::make_at(out.get(), 16);
    form_value(first, out->node());
  }
  (void)grow_chars(out->node(), std::min<uint64_t>(room, MAX_CAPACITY));
  NodeId o = out->node();
  for (uint32_t i = at + 1; i < total; i++) {
    Buffer* bb = node_buffer(block->node());
    if (i >= (bb->used() >> 4)) break;
    Cell c = bb->cells()[i];
    // A string! forms as its characters: most parts are short ones, copied
    // here by hand; every other value as append forms it.
    if (!c.is(TYPE_STRING)) {
      string::detail::form_cells_into(o, *block, i, 1);
      continue;
    }
    Buffer* sb = node_buffer(c.node());
    uint32_t len = sb->length(), from = uint32_t(std::clamp<int64_t>(c.index(), 0, len)), n = len - from;
    if (n == 0) continue;
    if (sb->unit() != node_buffer(o)->unit() || n > 16) {
      append_chars(o, c.node(), from, n);
      continue;
    }
    Buffer* ob = grow_chars(o, n);
    sb = node_buffer(c.node());
    uint32_t bytes = n * ob->unit();
    const uint8_t* src = sb->head_ptr() + size_t(from) * ob->unit();
    uint8_t* dst = ob->tail_ptr();
    for (uint32_t k = 0; k < bytes; k++) dst[k] = src[k];
    ob->tail += bytes;
  }
  base[RESULT] = *out;
  return Status::OK;
}

// --- the stacks ------------------------------------------------------------------------------

Status stack_size(Cell* base) {
  base[RESULT] = integer_cell(int32_t(g_stack.top - g_stack.begin));
  return Status::OK;
}

// The top cell stays out of reach (idx < stack-size?): the tools that walk
// the stack count on it.
Status pick_stack(Cell* base) {
  using enum rtn::pick_stack::Frame;
  int32_t idx = base[IDX].i2();
  int32_t size = int32_t(g_stack.top - g_stack.begin);
  base[RESULT] = idx > 0 && idx < size ? g_stack.begin[idx - 1] : none_cell();
  return Status::OK;
}

Status frame_index(Cell* base) {
  int32_t at = 0;
  if (g_stack.frame_top > g_stack.frames) {
    // The routine's own frame is the top one; its caller's base is asked for.
    const CallFrame* f = g_stack.frame_top - 1;
    at = int32_t(cell_index(f->prev_base));
  }
  base[RESULT] = integer_cell(at);
  return Status::OK;
}

// The calls on the call-frame stack, outermost first, as the words that
// named them.
may_gc Status collect_calls(Cell* base) {
  using enum rtn::collect_calls::Frame;
  RootedCell blk(base[BLK]);
  uint32_t n = uint32_t(g_stack.frame_top - g_stack.frames);
  for (uint32_t i = 0; i < n; i++) {
    uint32_t sym = g_stack.frames[i].symbol;
    if (!sym) continue;
    Cell w = word::make_global(sym);
    block::rs_append(blk->node(), w);
  }
  base[RESULT] = *blk;
  return Status::OK;
}

// The user's switch, not the event sites' flag: library bodies run with
// the latter off, and they ask whether a trace is running.
Status tracing(Cell* base) {
  base[RESULT] = logic_cell(trace::user_switch());
  return Status::OK;
}

// `trace true`/`trace false`: turns event delivery on or off while a run
// is active; outside a run it does nothing.
Status set_tracing(Cell* base) {
  using enum rtn::set_tracing::Frame;
  trace::set_user_switch(base[ON].is(TYPE_LOGIC) && base[ON].w1 != 0);
  base[RESULT] = unset_cell();
  return Status::OK;
}

// --- clipboard -------------------------------------------------------------------------------

// The UTF-8 text of a string from its position.
std::string text_from(const Cell& s) {
  std::string t = string_text(s.node());
  const uint8_t* p = reinterpret_cast<const uint8_t*>(t.data());
  const uint8_t* at = skip_utf8_chars(p, p + t.size(), size_t(std::max(0, s.index())));
  return t.substr(size_t(at - p));
}

// A local path as a file! in Vel's form, through the library's
// to-vel-file (its own definition, whatever the global word now holds).
may_gc Cell vel_file(const std::string& local) {
  RootedCell path(string::load(local));
  uint32_t sym = symbol::make("to-vel-file");
  Cell fn = none_cell();
  for (NodeId ctx : {library::context(), context::g_global}) {
    if (!ctx) continue;
    int32_t i = context::find_word(ctx, sym);
    Cell* v = i >= 0 ? context::value_at(ctx, uint32_t(i)) : nullptr;
    if (v && is_callable(v->type())) {
      fn = *v;
      break;
    }
  }
  if (fn.is(TYPE_NONE)) return string::load(local, TYPE_FILE);
  RootedCell answer;
  if (interp::call_callback(fn, sym, 0, path.get(), 1, answer.get()) != Status::OK) fire(ErrId::INVALID_ARG, *path);
  return *answer;
}

// The image a clipboard read found: its file decoded, else its pixels;
// none when neither gives an image with pixels (a file that does not
// decode is no image the clipboard can offer).
may_gc Cell clipboard_image(const platform::ClipboardContent& c) {
  RootedCell out(none_cell());
  if (!c.encoded.empty()) {
    if (!image::backend_ready()) fire(ErrId::BAD_MEDIA);
    if (image::Node* n = image::decode_memory(c.encoded)) {
      img::make_at(out.get(), n);
      return *out;
    }
  }
  if (c.width && c.height && c.pixels.size() == size_t(c.width) * c.height * 4)
    img::make_from_pixels(out.get(), c.width, c.height, c.pixels.data());
  return *out;
}

// false when the clipboard cannot be read, none when it holds nothing
// supported, else a string, a block of files or an image.
may_gc Status read_clipboard(Cell* base) {
  platform::ClipboardContent c;
  if (!platform::clipboard_read(c)) {
    base[RESULT] = logic_cell(false);
  } else if (c.kind == platform::ClipboardContent::Kind::IMAGE) {
    base[RESULT] = clipboard_image(c);
  } else if (c.kind == platform::ClipboardContent::Kind::TEXT) {
    base[RESULT] = string::load(c.text);
  } else if (c.kind == platform::ClipboardContent::Kind::FILES) {
    RootedCell out(block::make_at(uint32_t(c.files.size())));
    for (const std::string& f : c.files) {
      RootedCell file(vel_file(f));
      block::rs_append(out->node(), *file);
    }
    base[RESULT] = *out;
  } else {
    base[RESULT] = none_cell();
  }
  return Status::OK;
}

// none empties the clipboard; a string goes as text, a block of files as
// their local paths, an image (the whole of it, whatever its position) as
// a PNG file and as its pixels. An image without pixels counts as none. A
// block holding anything but files, or an image that cannot be encoded,
// answers false without touching the clipboard; other values raise
// invalid-arg.
may_gc Status write_clipboard(Cell* base) {
  using enum rtn::write_clipboard::Frame;
  RootedCell data(base[DATA]);
  platform::ClipboardContent c;
  if (data->is(TYPE_IMAGE)) {
    if (image::Node* n = img::node_of(*data)) {
      c.kind = platform::ClipboardContent::Kind::IMAGE;
      if (!image::encode(n, image::Format::PNG, c.encoded)) {
        base[RESULT] = logic_cell(false);
        return Status::OK;
      }
      c.width = n->width;
      c.height = n->height;
      c.pixels = img::pixels(*data);
    }
  } else if (data->is(TYPE_STRING)) {
    c.kind = platform::ClipboardContent::Kind::TEXT;
    c.text = text_from(*data);
  } else if (data->is(TYPE_BLOCK)) {
    c.kind = platform::ClipboardContent::Kind::FILES;
    for (uint32_t i = uint32_t(std::max(0, data->index())); i < cells_in(data->node()); i++) {
      RootedCell f(node_buffer(data->node())->cells()[i]);
      if (!f->is(TYPE_FILE)) {
        base[RESULT] = logic_cell(false);
        return Status::OK;
      }
      RootedCell local;
      string::make_at(local.get(), 0);
      file::to_local_path(*f, local->node(), false);
      c.files.push_back(text_from(*local));
    }
  } else if (!data->is(TYPE_NONE)) {
    fire(ErrId::INVALID_ARG, *data);
  }
  base[RESULT] = logic_cell(platform::clipboard_write(c));
  return Status::OK;
}

template <int Format, typename Frame>
Status image_encode(Cell* base) {
  return img::encode_routine(base, base[Frame::IMG], base[Frame::WHERE], Format);
}

}  // namespace

// A type predicate's entry: its name, and its test reading the value from
// that predicate's own frame.
#define VEL_IS(routine, type) {rtn::routine::NAME, is_type<type, rtn::routine::Frame>}
#define VEL_IN(routine, typeset) {rtn::routine::NAME, in_typeset<typeset, rtn::routine::Frame>}

void register_library_routines() {
  struct Entry {
    const char* name;
    func::RoutineFn fn;
  } entries[] = {
      {rtn::quit_return::NAME, quit_return},
      {rtn::shift_right::NAME, shift_right},
      {rtn::shift_left::NAME, shift_left},
      {rtn::shift_logical::NAME, shift_logical},
      {rtn::last_lf_q::NAME, last_lf},
      {rtn::as_color::NAME, as_color},
      {rtn::as_ipv4::NAME, as_ipv4},
      {rtn::as_rgba::NAME, as_rgba},
      {rtn::count_chars::NAME, count_chars},
      {rtn::replace::NAME, replace_routine},
      {rtn::rejoin::NAME, rejoin_routine},
      {rtn::stack_size_q::NAME, stack_size},
      {rtn::pick_stack::NAME, pick_stack},
      {rtn::frame_index_q::NAME, frame_index},
      {rtn::collect_calls::NAME, collect_calls},
      {rtn::tracing_q::NAME, tracing},
      {rtn::set_tracing::NAME, set_tracing},
      {rtn::read_clipboard::NAME, read_clipboard},
      {rtn::write_clipboard::NAME, write_clipboard},
      {rtn::image_encode_bmp::NAME, image_encode<0, rtn::image_encode_bmp::Frame>},
      {rtn::image_encode_png::NAME, image_encode<1, rtn::image_encode_png::Frame>},
      {rtn::image_encode_gif::NAME, image_encode<2, rtn::image_encode_gif::Frame>},
      {rtn::image_encode_jpeg::NAME, image_encode<3, rtn::image_encode_jpeg::Frame>},
      {rtn::image_encode_tiff::NAME, image_encode<4, rtn::image_encode_tiff::Frame>},
      {rtn::image_decode::NAME, img::decode_routine},

      VEL_IS(bitset_q, TYPE_BITSET),
      VEL_IS(binary_q, TYPE_BINARY),
      VEL_IS(block_q, TYPE_BLOCK),
      VEL_IS(char_q, TYPE_CHAR),
      VEL_IS(email_q, TYPE_EMAIL),
      VEL_IS(file_q, TYPE_FILE),
      VEL_IS(float_q, TYPE_FLOAT),
      VEL_IS(get_path_q, TYPE_GET_PATH),
      VEL_IS(get_word_q, TYPE_GET_WORD),
      VEL_IS(hash_q, TYPE_HASH),
      VEL_IS(integer_q, TYPE_INTEGER),
      VEL_IS(issue_q, TYPE_ISSUE),
      VEL_IS(lit_path_q, TYPE_LIT_PATH),
      VEL_IS(lit_word_q, TYPE_LIT_WORD),
      VEL_IS(logic_q, TYPE_LOGIC),
      VEL_IS(map_q, TYPE_MAP),
      VEL_IS(none_q, TYPE_NONE),
      VEL_IS(pair_q, TYPE_PAIR),
      VEL_IS(paren_q, TYPE_PAREN),
      VEL_IS(path_q, TYPE_PATH),
      VEL_IS(percent_q, TYPE_PERCENT),
      VEL_IS(refinement_q, TYPE_REFINEMENT),
      VEL_IS(set_path_q, TYPE_SET_PATH),
      VEL_IS(set_word_q, TYPE_SET_WORD),
      VEL_IS(string_q, TYPE_STRING),
      VEL_IS(tag_q, TYPE_TAG),
      VEL_IS(time_q, TYPE_TIME),
      VEL_IS(typeset_q, TYPE_TYPESET),
      VEL_IS(tuple_q, TYPE_TUPLE),
      VEL_IS(unset_q, TYPE_UNSET),
      VEL_IS(url_q, TYPE_URL),
      VEL_IS(word_q, TYPE_WORD),
      VEL_IS(image_q, TYPE_IMAGE),
      VEL_IS(date_q, TYPE_DATE),
      VEL_IS(money_q, TYPE_MONEY),
      VEL_IS(ref_q, TYPE_REF),
      VEL_IS(point2D_q, TYPE_POINT2D),
      VEL_IS(point3D_q, TYPE_POINT3D),
      VEL_IS(handle_q, TYPE_HANDLE),
      VEL_IS(error_q, TYPE_ERROR),
      VEL_IS(action_q, TYPE_ACTION),
      VEL_IS(native_q, TYPE_NATIVE),
      VEL_IS(datatype_q, TYPE_DATATYPE),
      VEL_IS(function_q, TYPE_FUNCTION),
      VEL_IS(object_q, TYPE_OBJECT),
      VEL_IS(op_q, TYPE_OP),
      VEL_IS(routine_q, TYPE_ROUTINE),
      VEL_IS(vector_q, TYPE_VECTOR),
      VEL_IN(any_list_q, kAnyList),
      VEL_IN(any_block_q, kAnyBlock),
      VEL_IN(any_function_q, kAnyFunction),
      VEL_IN(any_object_q, kAnyObject),
      VEL_IN(any_path_q, kAnyPath),
      VEL_IN(any_string_q, kAnyString),
      VEL_IN(any_word_q, kAnyWord),
      VEL_IN(series_q, kSeries),
      VEL_IN(number_q, kNumber),
      VEL_IN(immediate_q, kImmediate),
      VEL_IN(scalar_q, kScalar),
      VEL_IN(all_word_q, kAllWord),
      VEL_IN(any_point_q, kAnyPoint),
      VEL_IN(planar_q, kPlanar),
  };
  for (const Entry& e : entries) func::routine_register(e.name, e.fn);
}

#undef VEL_IS
#undef VEL_IN

}  // namespace vel
