// email!: a string! (user@host) molded as its bare text, whose paths read
// and write the parts around the first "@". Everything else is string!'s.
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/string_impl.h"
#include "datatypes/symbol.h"
#include "errors.h"
#include "roots.h"
#include "series_ops.h"

namespace vel {

namespace {

may_gc int32_t email_mold(Cell value, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  return string::form(value, out, nullptr, part);
}

bool is_word_nocase(const Cell& w, std::string_view name) {
  if (!w.is(TYPE_WORD)) return false;
  std::string_view t = symbol::text(w.w2);
  if (t.size() != name.size()) return false;
  for (size_t i = 0; i < t.size(); i++)
    if ((t[i] >= 'A' && t[i] <= 'Z' ? t[i] + 32 : t[i]) != name[i]) return false;
  return true;
}

// e/1 is a character; e/user the text before the first "@" (all of it
// without one), e/host the text after it: read as a new string!, or
// replaced in place.
may_gc Cell email_path(const Cell& value, const Cell& selector, const Cell* set_value, const PathStep& step) {
  Cell path = step.path ? *step.path : none_cell();
  if (selector.is(TYPE_INTEGER)) return string::eval_path(value, selector, set_value, path, step.case_sensitive);
  bool user = is_word_nocase(selector, "user");
  if (!user && !is_word_nocase(selector, "host")) fire(ErrId::INVALID_PATH, path, selector);
  Cell at = value;
  uint32_t index = string::detail::clamp_index(&at);
  uint32_t len = node_buffer(at.node())->length() - index;
  int32_t found = string::rs_find_char(at, '@');
  uint32_t p = found < 0 ? len : uint32_t(found);
  uint32_t from = user ? index : std::min(index + p + 1, index + len);
  uint32_t count = user ? p : index + len - from;
  if (!set_value) return series_cell(TYPE_STRING, copy_part(at.node(), from, count), 0);
  RootedCell v(*set_value);
  at.w1 = from;
  Cell n = integer_cell(int32_t(count));
  (void)string::change(at, *v, &n, false, 1);
  return *v;
}

}  // namespace

void register_type_EMAIL() {
  TypeBuilder b(TYPE_EMAIL);
  b.mold(email_mold).eval_path(email_path);
  for (ActionId a : {ACT_MAKE, ACT_REFLECT, ACT_TO, ACT_FORM, ACT_COMPARE, ACT_APPEND, ACT_AT, ACT_BACK, ACT_CHANGE,
                     ACT_CLEAR, ACT_COPY, ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q,
                     ACT_MOVE, ACT_NEXT, ACT_PICK, ACT_POKE, ACT_PUT, ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP,
                     ACT_SWAP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY})
    b.inherit(a);
  b.done();
}

}  // namespace vel
