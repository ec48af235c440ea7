// The runtime's own words: every word, symbol and refinement that C++ code
// compares against or pushes is interned once at start-up and reached by an
// enum constant, never by text: `word.w2 == sym_exact(SymId::SELF)`, or
// `symbol::resolve(word.w2) == sym(SymId::LOCAL)` for a case-insensitive
// test.
//
// VEL_RUNTIME_WORDS: C name, text, kind. S entries are symbols only; W
// entries also get a word of the global context (with an unset! value until
// the library sets one). Entries are interned in list order; the order has
// no other meaning. A text appears once (a refinement such as /part is its
// symbol; refinement_cell makes the value). A few C names carry a WORD_
// prefix because the plain names are platform macros.
//
// Modules that compare against further words append them here.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cell.h"
#include "memory.h"

// clang-format off
#define VEL_RUNTIME_WORDS(X)                                                                          \
  /* reflection keys */                                                                               \
  X(SPEC, "spec", S) X(BODY, "body", S) X(WORDS, "words", S) X(CLASS, "class", S)                     \
  /* type names of type checks */                                                                     \
  X(LOGIC_T, "logic!", S) X(INTEGER_T, "integer!", S) X(CHAR_T, "char!", S) X(FLOAT_T, "float!", S)   \
  X(PERCENT_T, "percent!", S) X(ANY_TYPE_T, "any-type!", S)                                           \
  /* operating systems */                                                                             \
  X(WINDOWS, "Windows", W) X(SYLLABLE, "Syllable", W) X(MACOS, "macOS", W) X(LINUX, "Linux", W)       \
  X(NETBSD, "NetBSD", W)                                                                              \
  /* loop names */                                                                                    \
  X(REPEAT, "repeat", S) X(FOREACH, "foreach", S) X(MAP_EACH, "map-each", S)                          \
  X(REMOVE_EACH, "remove-each", S)                                                                    \
  /* parse keywords */                                                                                \
  X(BREAK, "break", S) X(END, "end", W) X(FAIL, "fail", S) X(REJECT, "reject", S) X(SKIP, "skip", W)  \
  X(NONE, "none", S) X(DASH, "-", S) X(ONLY, "only", S) X(PICK, "pick", W) X(AFTER, "after", S)       \
  X(TO, "to", W) X(THRU, "thru", W) X(NOT, "not", W) X(REMOVE, "remove", W) X(WHILE, "while", W)      \
  X(COLLECT, "collect", W) X(KEEP, "keep", W) X(AHEAD, "ahead", W) X(BAR, "|", W) X(ANY, "any", W)    \
  X(SOME, "some", W) X(COPY, "copy", W) X(OPT, "opt", W) X(INTO, "into", W) X(INSERT, "insert", W)    \
  X(IF, "if", W) X(QUOTE, "quote", W) X(SET, "set", W) X(CASE, "case", W)                             \
  /* object reflection */                                                                             \
  X(SELF, "self", S) X(VALUES, "values", S) X(OWNER, "owner", S) X(OWNED, "owned", S)                 \
  X(EVENTS_Q, "events?", S)                                                                           \
  /* logic words */                                                                                   \
  X(WORD_TRUE, "true", W) X(WORD_FALSE, "false", W) X(YES, "yes", S) X(NO, "no", S) X(ON, "on", S)    \
  X(OFF, "off", S)                                                                                    \
  /* path access of error! values */                                                                  \
  X(SYSTEM, "system", S) X(SYSTEM_GLOBAL, "system-global", S) X(STACK, "stack", S)                    \
  /* function attributes */                                                                           \
  X(TRACE, "trace", S) X(NO_TRACE, "no-trace", S)                                                     \
  /* refinements the runtime makes: /local /extern /compare /part /skip /with */                      \
  X(EXTERN, "extern", S) X(COMPARE, "compare", S) X(PART, "part", S) X(WITH, "with", S)               \
  /* series action names */                                                                           \
  X(AT, "at", W) X(BACK, "back", W) X(FIND, "find", W) X(HEAD, "head", W) X(HEAD_Q, "head?", W)       \
  X(INDEX_Q, "index?", W) X(LENGTH_Q, "length?", W) X(NEXT, "next", W) X(SELECT, "select", W)         \
  X(TAIL, "tail", W) X(TAIL_Q, "tail?", W)                                                            \
  /* change events, action and past form (swaped and put-ed as spelled) */                            \
  X(CHANGE, "change", W) X(CHANGED, "changed", W) X(CLEAR, "clear", W) X(CLEARED, "cleared", W)       \
  X(SET_PATH, "set-path", W) X(APPEND, "append", W) X(APPENDED, "appended", W) X(MOVE, "move", W)     \
  X(MOVED, "moved", W) X(POKE, "poke", W) X(POKED, "poked", W) X(PUT, "put", W)                       \
  X(PUT_ED, "put-ed", W) X(REMOVED, "removed", W) X(RANDOM, "random", W)                              \
  X(RANDOMIZED, "randomized", W) X(REVERSE, "reverse", W) X(REVERSED, "reversed", W)                  \
  X(SORT, "sort", W) X(SORTED, "sorted", W) X(SWAP, "swap", W) X(SWAPED, "swaped", W)                 \
  X(TAKE, "take", W) X(TAKEN, "taken", W) X(TRIM, "trim", W) X(TRIMMED, "trimmed", W)                 \
  X(INSERTED, "inserted", W) X(UPPERCASE, "uppercase", W) X(LOWERCASE, "lowercase", W)                \
  X(CHECKSUM, "checksum", W)                                                                          \
  /* checksum methods */                                                                               \
  X(TCP, "tcp", S) X(MD5, "md5", S) X(SHA1, "sha1", S) X(CRC32, "crc32", S) X(ADLER32, "adler32", S)  \
  X(SHA256, "sha256", S) X(SHA384, "sha384", S) X(SHA512, "sha512", S) X(HASH, "hash", S)             \
  /* trace events of the interpreter and parse */                                                     \
  X(PUSH, "push", W) X(POP, "pop", W) X(FETCH, "fetch", W) X(MATCH, "match", W)                       \
  X(ITERATE, "iterate", W) X(PAREN, "paren", W)                                                       \
  /* internal names: anonymous functions, interpreted bodies, failed lookups */                       \
  X(ANON_TAG, "<anon>", W) X(BODY_TAG, "<body>", W) X(NOT_FOUND_TAG, "<not-found>", W)                \
  /* handlers, error fields, math */                                                                  \
  X(ADD, "add", W) X(SUBTRACT, "subtract", W) X(DIVIDE, "divide", W) X(MULTIPLY, "multiply", W)       \
  X(ON_PARSE_EVENT, "on-parse-event", W) X(ON_CHANGE_STAR, "on-change*", W)                           \
  X(ON_DEEP_CHANGE_STAR, "on-deep-change*", W) X(TYPE, "type", W) X(ID, "id", W) X(TRY, "try", W)     \
  X(CATCH, "catch", W) X(NAME, "name", W) X(BROWSE, "browse", W)                                      \
  /* port actions */                                                                                  \
  X(OPEN, "open", W) X(CREATE, "create", W) X(CLOSE, "close", W) X(WORD_DELETE, "delete", W)          \
  X(MODIFY, "modify", W) X(QUERY, "query", W) X(READ, "read", W) X(RENAME, "rename", W)               \
  X(UPDATE, "update", W) X(WRITE, "write", W)                                                         \
  /* lexer events */                                                                                  \
  X(PRESCAN, "prescan", W) X(SCAN, "scan", W) X(LOAD, "load", W) X(WORD_ERROR, "error", W)            \
  X(COMMENT, "comment", W)                                                                            \
  /* trace events */                                                                                  \
  X(INIT, "init", W) X(EXEC, "exec", W) X(CALL, "call", W) X(RETURN, "return", W)                     \
  X(ENTER, "enter", W) X(EXIT, "exit", W) X(PROLOG, "prolog", W) X(EPILOG, "epilog", W)               \
  X(THROW, "throw", W) X(EXPR, "expr", W)                                                             \
  /* callback names */                                                                                \
  X(INTERP_CALLBACK_TAG, "<interp-callback>", W) X(LEXER_CALLBACK_TAG, "<lexer-callback>", W)         \
  X(PARSE_CALLBACK_TAG, "<parse-callback>", W) X(COMPARE_CALLBACK_TAG, "<compare-callback>", W)       \
  /* error types */                                                                                   \
  X(NOTE, "note", W) X(SYNTAX, "syntax", W) X(SCRIPT, "script", W) X(MATH, "math", W)                 \
  X(ACCESS, "access", W) X(USER, "user", W) X(INTERNAL, "internal", W)                                \
  X(INVALID_ERROR, "invalid-error", W)                                                                \
  /* locals and apply */                                                                              \
  X(LOCAL, "local", W) X(APPLIED_TAG, "<applied>", W)                                                 \
  /* compression methods */                                                                           \
  X(ZLIB, "zlib", S) X(DEFLATE, "deflate", S) X(GZIP, "gzip", S)                                      \
  /* fields of time! and date! */                                                                     \
  X(HOUR, "hour", S) X(MINUTE, "minute", S) X(SECOND, "second", S) X(DATE, "date", S)                 \
  X(YEAR, "year", S) X(MONTH, "month", S) X(DAY, "day", S) X(ZONE, "zone", S) X(TIME, "time", S)      \
  X(WEEKDAY, "weekday", S) X(YEARDAY, "yearday", S) X(JULIAN, "julian", S) X(TIMEZONE, "timezone", S) \
  X(WEEK, "week", S) X(ISOWEEK, "isoweek", S)                                                         \
  /* axes of pair! and the points; the action word of their round errors */                           \
  X(AXIS_X, "x", S) X(AXIS_Y, "y", S) X(AXIS_Z, "z", S) X(ROUND, "round", S)                          \
  /* money!: accessors and the settings it reads */                                                   \
  X(CODE, "code", S) X(AMOUNT, "amount", S) X(LOCALE, "locale", S) X(CURRENCIES, "currencies", S)     \
  X(LIST, "list", S) X(OPTIONS, "options", S) X(MONEY_DIGITS, "money-digits", S)                     \
  /* system/lexer, read by the lexer's callbacks */                                                   \
  X(LEXER, "lexer", S) X(EXIT_STATES, "exit-states", S)                                              \
  /* system/state/stack-trace and system/script/title, read by error reports */                        \
  X(STATE, "state", S) X(STACK_TRACE, "stack-trace", S) X(TITLE, "title", S)
// clang-format on

namespace vel {

enum class SymId : uint16_t {
#define VEL_X(cname, text, kind) cname,
  VEL_RUNTIME_WORDS(VEL_X)
#undef VEL_X
  COUNT
};

struct RuntimeSymbol {
  uint32_t exact;      // the id of the text as listed
  uint32_t canonical;  // its canonical id
  int32_t index;       // value index in the global context, -1 for S entries
};
extern RuntimeSymbol g_runtime_words[size_t(SymId::COUNT)];

// The canonical id (compare with symbol::resolve of a word's symbol).
inline uint32_t sym(SymId s) { return g_runtime_words[size_t(s)].canonical; }
// The id of the text exactly as listed.
inline uint32_t sym_exact(SymId s) { return g_runtime_words[size_t(s)].exact; }

// The position in `words` of the word a word!, lit-word! or get-word! names
// (compared case-insensitively), or -1.
int32_t word_position(const Cell& word, const SymId* words, size_t count);
// The method of a closed list that a word names, by its position in `words`
// (the method enum's order); false when the word names none.
template <class Method, size_t N>
bool method_of(const Cell& word, const SymId (&words)[N], Method* out) {
  int32_t i = word_position(word, words, N);
  if (i < 0) return false;
  *out = Method(i);
  return true;
}

// A word! of the global context with the listed text. S entries are added
// to the global context on first use.
may_gc Cell runtime_word(SymId s);
// An unbound refinement! (no context) with the listed text.
Cell refinement_cell(SymId s);

// The value of a field under the system object (system/a/b/c, c may be
// left out), or null while there is none.
const Cell* system_field(SymId a, SymId b, SymId c = SymId::COUNT);

// Start-up step "datatype words": the name word of every registered type
// (g_types[t].name_word), after the symbol table and the global context.
void make_datatype_words();
// Start-up step "runtime words": interns the list above.
void init_runtime_words();

}  // namespace vel
