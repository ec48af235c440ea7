// issue!: a word written after "#" (#abc, #FF8000): its own make, to, mold
// and compare; form is word!'s (the bare text). It has no series actions.
#include <string>

#include "action_frames.h"
#include "datatypes/context.h"
#include "datatypes/registry.h"
#include "datatypes/string_impl.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "errors.h"
#include "roots.h"
#include "unicode.h"

namespace vel {

namespace {

// An issue of the text: interned, in the global context, not resolved
// there (an issue is never looked up).
may_gc Cell issue_of_text(std::string_view utf8) {
  return word::make(TYPE_ISSUE, context::g_global, symbol::make(utf8), -1);
}

// make and to (one routine): a string's characters from its index, or one
// character, become the symbol; a word of any type is retyped with its
// binding; anything else is word!'s conversion and its errors.
may_gc Cell issue_convert(const Cell& spec) {
  if (spec.is(TYPE_STRING)) {
    Cell at = spec;
    std::string text = to_utf8(at.node(), string::detail::clamp_index(&at));
    // No empty symbol: "#" alone would not load back.
    if (text.empty()) fire(ErrId::INVALID_CHARS, spec);
    return issue_of_text(text);
  }
  if (spec.is(TYPE_CHAR)) {
    char buf[4];
    uint32_t n = encode_utf8_char(spec.w2, reinterpret_cast<uint8_t*>(buf));
    return issue_of_text(std::string_view(buf, n));
  }
  Cell r = is_any_word(spec.type()) ? spec : word::convert(TYPE_ISSUE, spec);
  r.header = TYPE_ISSUE;
  return r;
}

Status issue_make(Cell* base) {
  using enum act::make::Frame;
  // A spec of a type no word comes from goes back as a status.
  TypeId t = base[SPEC].type();
  if (t != TYPE_STRING && !word::converts_from(t)) return fail(ErrId::BAD_TO_ARG, datatype_cell(TYPE_ISSUE), base[SPEC]);
  base[RESULT] = issue_convert(base[SPEC]);
  return Status::OK;
}

may_gc int32_t issue_mold(Cell value, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  RootedNode keep(out);
  append_char(out, '#');
  return g_types[TYPE_WORD].form(value, out, nullptr, part - 1);
}

// Only issues compare with issues.
int32_t issue_compare(const Cell* a, const Cell* b, int op) {
  if (!b->is(TYPE_ISSUE)) return CMP_INCOMPARABLE;
  return g_types[TYPE_WORD].compare(a, b, op);
}

}  // namespace

void register_type_ISSUE() {
  TypeBuilder(TYPE_ISSUE)
      .action(ACT_MAKE, issue_make)
      .action(ACT_TO, issue_make)
      .mold(issue_mold)
      .compare(issue_compare)
      .inherit(ACT_FORM)
      .done();
}

}  // namespace vel
