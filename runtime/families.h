// The type families: which datatypes count as a block, a string, a word ...
// Membership is the families column of the type list (typelist.h); every
// family test in the runtime is one of the predicates below.
#pragma once
#include <array>
#include <cstdint>

#include "cell.h"

namespace vel {

enum TypeFamily : uint16_t {
  FAM_BLOCK = 1 << 0,      // any-block: series of cells (block!, paren!, the paths, hash!)
  FAM_PATH = 1 << 1,       // the four path types
  FAM_LIST = 1 << 12,      // block!, paren!, hash!: the any-blocks that are not paths
  FAM_STRING = 1 << 2,     // any-string: series of characters
  FAM_SERIES = 1 << 3,     // every series type (blocks, strings, binary!, vector!, image!)
  FAM_WORD = 1 << 4,       // any-word: the word types, refinement! and issue! included
  FAM_WORD_FORM = 1 << 5,  // word!, set-word!, lit-word!, get-word!: the words that name a field
  FAM_OBJECT = 1 << 6,     // object!, error!, port!
  FAM_FUNCTION = 1 << 7,   // any-function, op! included
  FAM_CALLABLE = 1 << 8,   // the functions a word calls by itself (every one but op!)
  FAM_NUMBER = 1 << 9,     // integer!, float!, percent!
  FAM_ARG_WORD = 1 << 10,  // word!, lit-word!, get-word!: the words that name an argument in a spec
  FAM_BINDABLE = 1 << 11,  // the word types that a context binds (every any-word but issue!)
};

// By type id; ids past the list (pseudo types, bad bytes) belong to none.
inline constexpr std::array<uint16_t, 256> kTypeFamilies = [] {
  std::array<uint16_t, 256> f{};
#define VEL_X(id, cname, name, parent, families) f[id] = uint16_t(families);
  VEL_DATATYPES(VEL_X)
#undef VEL_X
  return f;
}();

constexpr bool in_family(uint32_t t, uint16_t family) { return t < 256 && (kTypeFamilies[t] & family); }

constexpr bool is_any_block(uint32_t t) { return in_family(t, FAM_BLOCK); }
constexpr bool is_any_path(uint32_t t) { return in_family(t, FAM_PATH); }
constexpr bool is_any_list(uint32_t t) { return in_family(t, FAM_LIST); }
constexpr bool is_any_string(uint32_t t) { return in_family(t, FAM_STRING); }
constexpr bool is_series_type(uint32_t t) { return in_family(t, FAM_SERIES); }
constexpr bool is_any_word(uint32_t t) { return in_family(t, FAM_WORD); }
constexpr bool is_word_form(uint32_t t) { return in_family(t, FAM_WORD_FORM); }
constexpr bool is_any_object(uint32_t t) { return in_family(t, FAM_OBJECT); }
constexpr bool is_any_function(uint32_t t) { return in_family(t, FAM_FUNCTION); }
constexpr bool is_callable(uint32_t t) { return in_family(t, FAM_CALLABLE); }
constexpr bool is_any_number(uint32_t t) { return in_family(t, FAM_NUMBER); }
constexpr bool is_arg_word(uint32_t t) { return in_family(t, FAM_ARG_WORD); }
constexpr bool is_bindable_word(uint32_t t) { return in_family(t, FAM_BINDABLE); }

// The type a conversion from a spec switches on: every any-string as
// string!, every any-list as block!, any other type as itself.
constexpr TypeId conversion_case(TypeId t) {
  return is_any_string(t) ? TYPE_STRING : is_any_list(t) ? TYPE_BLOCK : t;
}

// The series of characters or bytes: any-string and binary!.
constexpr bool is_text_or_binary(uint32_t t) { return is_any_string(t) || t == TYPE_BINARY; }

// How the elements of a series type are stored.
enum class ElemKind : uint8_t {
  NONE,   // not a series type
  CELLS,  // the any-blocks
  CHARS,  // the any-strings
  BYTES,  // binary!
  OTHER,  // vector!, image!: element access comes from their modules
};
constexpr ElemKind elem_kind(uint32_t t) {
  if (is_any_block(t)) return ElemKind::CELLS;
  if (is_any_string(t)) return ElemKind::CHARS;
  if (t == TYPE_BINARY) return ElemKind::BYTES;
  return is_series_type(t) ? ElemKind::OTHER : ElemKind::NONE;
}

}  // namespace vel
