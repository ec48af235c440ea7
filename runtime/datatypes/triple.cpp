// triple!: form and mold only, both "make triple! [a b c]".
#include "datatypes/triple.h"

#include <string_view>

#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"

namespace vel {

namespace {

may_gc int32_t triple_format(const Cell& v, NodeId out, int32_t part) {
  char text[64];
  int n = 0;
  for (uint32_t w : {v.w1, v.w2, v.w3}) {
    if (n) text[n++] = ' ';
    n += integer_form_signed(int32_t(w), text + n);
  }
  append_latin1(out, "make triple! [");
  append_latin1(out, std::string_view(text, size_t(n)));
  append_latin1(out, "]");
  // The two separating spaces are not counted.
  return part - (n - 2) - 16;
}

int32_t triple_form(Cell v, NodeId out, const Cell*, int32_t part) { return triple_format(v, out, part); }
int32_t triple_mold(Cell v, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  return triple_format(v, out, part);
}

}  // namespace

void register_type_TRIPLE() { TypeBuilder(TYPE_TRIPLE).form(triple_form).mold(triple_mold).done(); }

}  // namespace vel
