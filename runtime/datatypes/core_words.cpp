#include "datatypes/core_words.h"

#include "families.h"
#include "datatypes/context.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "roots.h"

namespace vel {

RuntimeSymbol g_runtime_words[size_t(SymId::COUNT)];

namespace {

enum Kind : uint8_t { S, W };

struct Entry {
  const char* text;
  Kind kind;
};

constexpr Entry kEntries[] = {
#define VEL_X(cname, text, kind) {text, kind},
    VEL_RUNTIME_WORDS(VEL_X)
#undef VEL_X
};
static_assert(sizeof(kEntries) / sizeof(kEntries[0]) == size_t(SymId::COUNT));

}  // namespace

void init_runtime_words() {
  for (size_t i = 0; i < size_t(SymId::COUNT); i++) {
    uint32_t id = symbol::make(kEntries[i].text);
    int32_t index = -1;
    if (kEntries[i].kind == W) index = context::add_global_word(id, true, true).i3();
    g_runtime_words[i] = RuntimeSymbol{id, symbol::resolve(id), index};
  }
}

may_gc Cell runtime_word(SymId s) {
  RuntimeSymbol& r = g_runtime_words[size_t(s)];
  if (r.index < 0) r.index = context::add_global_word(r.exact, true, true).i3();
  return word::make(TYPE_WORD, context::g_global, r.exact, r.index);
}

Cell refinement_cell(SymId s) { return word::make(TYPE_REFINEMENT, 0, sym_exact(s), -1); }

const Cell* system_field(SymId a, SymId b, SymId c) {
  if (!context::g_global) return nullptr;
  const Cell* v = context::word_value_cell(context::g_global, sym(SymId::SYSTEM));
  for (SymId s : {a, b, c}) {
    if (s == SymId::COUNT) break;
    if (!v || !v->is(TYPE_OBJECT)) return nullptr;
    v = context::word_value_cell(v->w1, sym(s));
  }
  return v;
}

void make_datatype_words() {
  for (int32_t t = 1; t <= g_last_type_id; t++) {
    if (!g_types[t].registered) continue;
    register_root_node("datatype name word: its context", &g_types[t].name_word.w1);
    g_types[t].name_word = word::load(g_types[t].name);
  }
}

int32_t word_position(const Cell& word, const SymId* words, size_t count) {
  if (!is_arg_word(word.type())) return -1;
  uint32_t s = symbol::resolve(word.w2);
  for (size_t i = 0; i < count; i++)
    if (sym(words[i]) == s) return int32_t(i);
  return -1;
}

}  // namespace vel
