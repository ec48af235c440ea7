// The natives table: the built-in functions whose bodies are runtime code.
// It sits below the datatypes, which enter the natives they own; the
// evaluator fills the rest at start-up (evaluator/natives.h).
//
// A native! value holds its native number; the library makes each native
// from its spec block and number (make native! [spec n]). Entries use the
// frame convention of actions (datatypes/registry.h): base[0] is the first
// argument and the result cell, arguments in spec order, each refinement a
// logic cell followed by its arguments.
#pragma once
#include <cstddef>
#include <cstdint>

#include "cell.h"
#include "status.h"

namespace vel {

// Native numbers and names, in table order. The numbers are fixed: the
// library's make native! specs refer to them.
#define VEL_NATIVES(X)                                                                             \
  X(1, IF, "if") X(2, UNLESS, "unless") X(3, EITHER, "either") X(4, ANY, "any") X(5, ALL, "all")  \
  X(6, WHILE, "while") X(7, UNTIL, "until") X(8, LOOP, "loop") X(9, REPEAT, "repeat")             \
  X(10, FOREVER, "forever") X(11, FOREACH, "foreach") X(12, FORALL, "forall")                     \
  X(13, REMOVE_EACH, "remove-each") X(14, FUNC, "func") X(15, FUNCTION, "function")               \
  X(16, DOES, "does") X(17, HAS, "has") X(18, SWITCH, "switch") X(19, CASE, "case")               \
  X(20, DO, "do") X(21, GET, "get") X(22, SET, "set") X(23, PRINT, "print") X(24, PRIN, "prin")   \
  X(25, EQUAL_Q, "equal?") X(26, NOT_EQUAL_Q, "not-equal?") X(27, STRICT_EQUAL_Q, "strict-equal?") \
  X(28, LESSER_Q, "lesser?") X(29, GREATER_Q, "greater?") X(30, LESSER_OR_EQUAL_Q, "lesser-or-equal?") \
  X(31, GREATER_OR_EQUAL_Q, "greater-or-equal?") X(32, SAME_Q, "same?") X(33, NOT, "not")         \
  X(34, TYPE_Q, "type?") X(35, REDUCE, "reduce") X(36, COMPOSE, "compose") X(37, STATS, "stats")  \
  X(38, BIND, "bind") X(39, IN, "in") X(40, PARSE, "parse") X(41, UNION, "union")                 \
  X(42, INTERSECT, "intersect") X(43, UNIQUE, "unique") X(44, DIFFERENCE, "difference")           \
  X(45, EXCLUDE, "exclude") X(46, COMPLEMENT_Q, "complement?") X(47, DEHEX, "dehex")              \
  X(48, ENHEX, "enhex") X(49, NEGATIVE_Q, "negative?") X(50, POSITIVE_Q, "positive?")             \
  X(51, MAX, "max") X(52, MIN, "min") X(53, SHIFT, "shift") X(54, TO_HEX, "to-hex")               \
  X(55, SINE, "sine") X(56, COSINE, "cosine") X(57, TANGENT, "tangent") X(58, ARCSINE, "arcsine") \
  X(59, ARCCOSINE, "arccosine") X(60, ARCTANGENT, "arctangent") X(61, ARCTANGENT2, "arctangent2") \
  X(62, NAN_Q, "NaN?") X(63, LOG_2, "log-2") X(64, LOG_10, "log-10") X(65, LOG_E, "log-e")        \
  X(66, EXP, "exp") X(67, SQUARE_ROOT, "square-root") X(68, CONSTRUCT, "construct")               \
  X(69, VALUE_Q, "value?") X(70, TRY, "try") X(71, UPPERCASE, "uppercase")                        \
  X(72, LOWERCASE, "lowercase") X(73, AS_PAIR, "as-pair") X(74, AS_POINT2D, "as-point2D")         \
  X(75, AS_POINT3D, "as-point3D") X(76, AS_MONEY, "as-money") X(77, BREAK, "break")               \
  X(78, CONTINUE, "continue") X(79, EXIT, "exit") X(80, RETURN, "return") X(81, THROW, "throw")   \
  X(82, CATCH, "catch") X(83, EXTEND, "extend") X(84, DEBASE, "debase")                           \
  X(85, TO_LOCAL_FILE, "to-local-file") X(86, WAIT, "wait") X(87, CHECKSUM, "checksum")           \
  X(88, UNSET, "unset") X(89, NEW_LINE, "new-line") X(90, NEW_LINE_Q, "new-line?")                \
  X(91, ENBASE, "enbase") X(92, CONTEXT_Q, "context?") X(93, SET_ENV, "set-env")                  \
  X(94, GET_ENV, "get-env") X(95, LIST_ENV, "list-env") X(96, NOW, "now") X(97, SIGN_Q, "sign?")  \
  X(98, AS, "as") X(99, CALL, "call") X(100, ZERO_Q, "zero?") X(101, SIZE_Q, "size?")             \
  X(102, BROWSE, "browse") X(103, COMPRESS, "compress") X(104, DECOMPRESS, "decompress")          \
  X(105, RECYCLE, "recycle") X(106, TRANSCODE, "transcode") X(107, APPLY, "apply")

enum NativeId : uint32_t {
#define VEL_X(n, cname, name) NAT_##cname = n,
  VEL_NATIVES(VEL_X)
#undef VEL_X
};
#define VEL_X(...) +1
constexpr uint32_t NATIVE_COUNT = 0 VEL_NATIVES(VEL_X);
#undef VEL_X
constexpr uint32_t NATIVE_SLOTS = 120;
static_assert(NATIVE_COUNT <= NATIVE_SLOTS);

using NativeFn = Status (*)(Cell* base);

// The table; an empty slot is a native not built yet (make native! refuses
// its number).
extern NativeFn g_natives[NATIVE_SLOTS + 1];
const char* native_name(uint32_t n);  // "?" for a number past the list

// Each natives module registers its entries: {number, entry}.
struct NativeEntry {
  uint32_t number;
  NativeFn fn;
};
void register_natives(const NativeEntry* entries, size_t count);

}  // namespace vel
