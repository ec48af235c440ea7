// string! and the any-string family (file!, url!, tag!, email!, ref!),
// which share its cell and its actions:
//
//   header  type id; bit 30 = the value starts a new line when molded
//   w1      index: characters from the buffer head (0 = first)
//   w2      node of a character series of unit 1 (Latin-1), 2 (UCS-2) or
//           4 (UCS-4)
//   w3      node of the value's cached conversion buffer; 0 when none
//
// A character series only ever widens, in place, when a wider character
// arrives: every function here accepts any mix of units. Its tail may be
// moved by any writer, so an index can lie past the tail; each action clamps
// it (and writes the clamped index back into its own cell) before use.
//
// Functions that answer addresses into a buffer are valid only until the
// next allocation (see memory.h); `may_gc` marks the ones that allocate.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "cell.h"
#include "datatypes/registry.h"
#include "datatypes/series_actions.h"
#include "memory.h"

namespace vel::string {

// --- cells and access ----------------------------------------------------------

inline Cell cell_of(NodeId node, int32_t index = 0, TypeId t = TYPE_STRING) { return series_cell(t, node, index); }

// An empty unit-1 (or `unit`) string of type t with room for n characters
// (0 counts as 1), index 0, stored into *c and answered.
may_gc Cell make_at(Cell* c, uint32_t n, TypeId t = TYPE_STRING);
may_gc Cell make_at_unit(Cell* c, uint32_t n, uint32_t unit, TypeId t = TYPE_STRING);

// A new string! from UTF-8 text: ill-formed input raises access/invalid-utf8.
may_gc Cell load(std::string_view utf8, TypeId t = TYPE_STRING);

// Encodings of load_at.
constexpr int LOAD_UTF8 = 0;
constexpr int LOAD_UTF16LE = -1;
// Decodes `length` bytes (UTF-8) or 16-bit units (UTF-16LE, -1 up to a NUL
// unit) and appends the text to *into when it is a string (else makes a new
// string!). Answers the string. The callers are fixed runtime code: an
// encoding other than the two above is a fault of the build and ends the
// process with a loading error (non-zero status).
may_gc Cell load_at(const void* src, int64_t length, const Cell* into, int encoding);

// Characters from the index to the tail; an index past the tail is written
// back as the tail (the length is then 0).
int32_t rs_length(Cell* s);
// The index after clamping it to [0, tail] (written back), and the address
// of that character.
uint32_t rs_head_index(Cell* s);
uint8_t* rs_head(Cell* s);
bool rs_tail_q(const Cell& s);
// The code point at position i from the buffer head (i < total length).
uint32_t rs_abs_at(const Cell& s, uint32_t i);
// Empties the series in place: unit back to 1, tail at head. The cell's
// index becomes 0.
void rs_reset(Cell* s);
// Offset from the index of the first occurrence of cp, or -1.
int32_t rs_find_char(const Cell& s, uint32_t cp);
// Whether the characters from the index begin with the bytes of `text`
// (each byte one code point; a character above 255 never matches).
bool starts_with(const Cell& s, std::string_view text);

// Cuts the series to n characters after its head when it is longer.
void truncate(NodeId s, uint32_t n);
// Deletes one or n characters at position i (from the buffer head).
void remove_char(NodeId s, uint32_t i);
void remove_part(NodeId s, uint32_t i, uint32_t n);

// Writes cp at position i (from the head), widening first when cp needs a
// wider unit; writing at the tail appends.
may_gc void overwrite_char(NodeId s, uint32_t i, uint32_t cp);
// Opens a gap of one at position i and writes cp there.
may_gc void insert_char(NodeId s, uint32_t i, uint32_t cp);

// The common text writer: n characters of src (from character src_index,
// any unit; src may be dst itself) written into dst at character position
// `at` (clamped to the tail), in one of three modes; dst widens to src's
// unit when narrower. A count beyond the source is cut to it.
enum class Concat : uint8_t { APPEND, INSERT, OVERWRITE };
may_gc void concatenate(NodeId dst, NodeId src, uint32_t src_index, uint32_t n, uint32_t at, Concat mode);

// Hex texts: two upper-case digits; eight digits of a 32-bit value, or with
// trim the digits without the sign fill (leading 0s, or leading Fs of a
// negative value), "00" for 0.
std::string byte_to_hex(uint8_t b);
std::string to_hex(int32_t v, bool trim);

// --- conversion, form and mold (string_mold.cpp) ---------------------------------

// make and to: the result of type `target` (string! or a sharing type) for
// a spec, as the frame actions do.
may_gc Cell make(TypeId target, const Cell& spec);
may_gc Cell to(TypeId target, const Cell& value);

int32_t form(Cell value, NodeId out, const Cell* arg, int32_t part);
int32_t mold(Cell value, NodeId out, uint32_t flags, const Cell* arg, int32_t part, int32_t indent);

// Appends one character in molded form: "^(hex)" for 30, 128-159 and,
// with all, every code point above 127; the caret escapes of control
// characters, the double quote and the caret; "^~" for 127.
may_gc void escape_char(NodeId out, uint32_t cp, bool all);

// Double quotes and line feeds among n characters at p.
void count_quotes_and_lines(const uint8_t* p, uint32_t n, uint32_t unit, uint32_t* quotes, uint32_t* lines);

// --- comparison and search (string_search.cpp) -------------------------------------

// The sign of first minus second (-1, 0, 1) under a comparison operator of
// registry.h, folding case (to upper case) except for strict-equal and
// case-sort; in match mode the second only has to be a prefix of the first
// (0) for a match. Either operand may be a symbol! (its text from the start)
// and the second a text slice (type 56: w3, when not negative, is the
// length to compare). Allocates nothing.
int32_t compare_text(const Cell& a, const Cell& b, int op, bool match);
// The compare slot: -2 across types unless both are any-strings under equal
// or not-equal.
int32_t compare(const Cell* a, const Cell* b, int op);

// The refinements of find and select: series_actions.h.
using vel::FindOptions;

// replace/all's scan of a text or binary series: from the series' index,
// each match of the value, found as find finds it (folding case unless
// case_sensitive), becomes the elements of the replacement in out, and the
// search goes on `size` elements after the match's start (at most the
// tail); what lies before, between and after the matches is copied too.
// The replacement is asked of make_rep once, at the first match (a series
// of out's kind, from its index). out is an empty series of the series'
// kind. Answers the number of matches; with none, out stays empty.
may_gc uint32_t replace_into(const Cell& series, const Cell& value, uint32_t size, bool case_sensitive, NodeId out,
                             const std::function<Cell()>& make_rep);

// The same replacement made in the series itself, for a series no object
// owns (no change is reported): the matches are found first, then the
// text is moved once. Answers the number of matches.
may_gc uint32_t replace_in_place(const Cell& series, const Cell& value, uint32_t size, bool case_sensitive,
                                 const std::function<Cell()>& make_rep);

// find: the series at the match (after it with /tail), or none.
may_gc Cell find(const Cell& series, const Cell& value, const FindOptions& o);
// select: the character after the match, or none.
may_gc Cell select(const Cell& series, const Cell& value, const FindOptions& o);
// A path step on a string: an integer picks (or pokes, with a value); a word
// raises script/invalid-path; any other element selects (or, assigning,
// pokes the character after the match; script/bad-path-set when absent).
// value is null for a read; path is only named by the errors.
may_gc Cell eval_path(const Cell& parent, const Cell& element, const Cell* value, const Cell& path,
                      bool case_sensitive = false);

// Parse matching at the series index: an any-string value as a prefix
// (compare_text in match mode), a char! (exactly for strict-equal, else
// folded), a tag! by tag_at_q and its text.
may_gc bool match_q(const Cell& series, const Cell& value, int op);
// "<" at the index and ">" right after the tag's length.
bool tag_at_q(const Cell& series, const Cell& tag);

// --- modification (string_modify.cpp) --------------------------------------------

// append, insert and change: part is the /part argument (null when not
// used), dup the /dup count (1 without /dup). append answers the series
// with its index unchanged; insert and change answer it after the new text.
// A negative or overflowing dup, or a size beyond the largest buffer,
// raises internal/no-memory and leaves the series unchanged.
may_gc Cell append(const Cell& series, const Cell& value, const Cell* part, bool only, int32_t dup);
may_gc Cell insert(const Cell& series, const Cell& value, const Cell* part, bool only, int32_t dup);
may_gc Cell change(const Cell& series, const Cell& value, const Cell* part, bool only, int32_t dup);

// take: the taken text, a char! when one character is taken without /part,
// or none.
may_gc Cell take(const Cell& series, const Cell* part, bool deep, bool last);

struct TrimOptions {
  bool head = false, tail = false, automatic = false, lines = false, all = false;
  const Cell* with = nullptr;  // /with argument, or null
};
may_gc Cell trim(const Cell& series, const TrimOptions& o);

may_gc Cell swap(const Cell& series, const Cell& other);

struct SortOptions {
  bool case_sensitive = false;
  const Cell* skip = nullptr;     // /skip size, or null
  const Cell* compare = nullptr;  // /compare argument, or null
  const Cell* part = nullptr;     // /part argument, or null
  bool all = false, reverse = false, stable = false;
};
may_gc Cell sort(const Cell& series, const SortOptions& o);

// The set operations on strings: a new string of the first's type.
enum SetOp : int { SET_UNIQUE = 8, SET_UNION = 9, SET_INTERSECT = 10, SET_EXCLUDE = 11, SET_DIFFERENCE = 12 };
// second is null for unique; skip below 1 raises script/invalid-refine-arg.
may_gc Cell do_set_op(const Cell& first, const Cell* second, bool case_sensitive, int32_t skip, SetOp op);

// White space of trim: 1-32, U+0085, U+00A0, U+1680, U+180E, U+2000-U+200A,
// U+2028, U+2029, U+202F, U+205F, U+3000.
bool is_white_space(uint32_t cp);

}  // namespace vel::string
