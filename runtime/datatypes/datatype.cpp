// datatype!: a type as a value. It forms as the type's name without the
// "!", molds with it, and equals only the same type.
#include <string_view>

#include "datatypes/registry.h"
#include "datatypes/strout.h"

namespace vel {

namespace {

int32_t datatype_form(Cell value, NodeId out, const Cell*, int32_t part) {
  const TypeEntry& e = g_types[value.w1 < TYPE_COUNT ? value.w1 : 0];
  if (!e.name) return part;
  append_latin1(out, std::string_view(e.name, size_t(e.name_len)));
  return part - e.name_len;
}

int32_t datatype_mold(Cell value, NodeId out, uint32_t flags, const Cell*, int32_t part, int32_t) {
  const TypeEntry& e = g_types[value.w1 < TYPE_COUNT ? value.w1 : 0];
  if (!e.name) return part;
  bool all = flags & MOLD_ALL;
  if (all) append_latin1(out, "#(");
  append_latin1(out, std::string_view(e.name, size_t(e.name_len) + 1));
  if (all) append_latin1(out, ")");
  return part - (e.name_len + 1) - (all ? 3 : 0);
}

int32_t datatype_compare(const Cell* a, const Cell* b, int op) {
  switch (op) {
    case CMP_EQUAL:
    case CMP_NOT_EQUAL:
    case CMP_STRICT_EQUAL:
    case CMP_SAME:
    case CMP_FIND:
      return (b->is(TYPE_DATATYPE) && b->w1 == a->w1) ? 0 : 1;
    default:
      return CMP_INCOMPARABLE;
  }
}

}  // namespace

void register_type_DATATYPE() {
  TypeBuilder(TYPE_DATATYPE).form(datatype_form).mold(datatype_mold).compare(datatype_compare).done();
}

}  // namespace vel
