// handle!: form, mold and compare; every other action is absent.
#include "datatypes/handle.h"

#include <iterator>
#include <string>
#include <string_view>

#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "series_ops.h"

namespace vel {

const char* handle_kind_name(HandleKind kind) {
  static const char* const kNames[] = {"null", "fd", "monitor", "window", "font", "rich-text"};
  return kind < std::size(kNames) ? kNames[kind] : nullptr;
}

namespace {

// Eight upper-case hex digits and "h"; sixteen when the handle needs them.
int handle_text(uint64_t h, char* out) {
  int digits = h >> 32 ? 16 : 8;
  for (int i = 0; i < digits; i++) out[i] = "0123456789ABCDEF"[(h >> (4 * (digits - 1 - i))) & 15];
  out[digits] = 'h';
  return digits + 1;
}

int32_t handle_form(Cell v, NodeId out, const Cell*, int32_t part) {
  char text[17];
  int n = handle_text(handle_value(v), text);
  append_latin1(out, std::string_view(text, size_t(n)));
  return part - n;
}

int32_t handle_mold(Cell v, NodeId out, uint32_t flags, const Cell*, int32_t part, int32_t) {
  if (!(flags & MOLD_ALL)) {
    append_latin1(out, "handle!");
    return part - 7;
  }
  std::string text = "#[handle! ";
  char digits[17];
  text.append(digits, size_t(handle_text(handle_value(v), digits)));
  const char* name = handle_kind(v) > HANDLE_NULL ? handle_kind_name(handle_kind(v)) : nullptr;
  if (name) text.append(" ").append(name);
  text += ']';
  append_latin1(out, text);
  return part - int32_t(text.size());
}

// The handles as signed integers whatever the operator; the kind is not
// part of the comparison.
int32_t handle_compare(const Cell* a, const Cell* b, int) {
  if (!b->is(TYPE_HANDLE)) return 1;
  int64_t x = int64_t(handle_value(*a)), y = int64_t(handle_value(*b));
  return (x > y) - (x < y);
}

}  // namespace

void register_type_HANDLE() {
  TypeBuilder(TYPE_HANDLE).form(handle_form).mold(handle_mold).compare(handle_compare).done();
}

}  // namespace vel
