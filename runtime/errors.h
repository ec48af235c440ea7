// Raising Vel errors from C++.
//
// `fire` is the one way runtime code raises a Vel error: an error type, an
// id and up to three argument cells. The error value is made at the raise
// (error::make_raised, eval.h), where the evaluation it reports on still
// runs, and a trace hears of it there (trace::error_raised). The error travels as a C++ exception
// (VelError) up to the nearest try/catch/attempt, the console or the top
// level. Message templates live in the error catalog of the boot sources;
// this list only names the ids the runtime raises.
#pragma once
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>

#include "cell.h"
#include "status.h"

namespace vel {

#define VEL_ERROR_TYPES(X) \
  X(THROW, "throw") X(NOTE, "note") X(SYNTAX, "syntax") X(SCRIPT, "script") X(MATH, "math") \
  X(ACCESS, "access") X(USER, "user") X(INTERNAL, "internal")

enum class ErrType : uint8_t {
#define VEL_X(cname, name) cname,
  VEL_ERROR_TYPES(VEL_X)
#undef VEL_X
};

// type, C name, Vel id. Append new ids at the end of their type's group.
#define VEL_ERROR_IDS(X)                                  \
  X(SYNTAX, NO_HEADER, "no-header")                       \
  X(SYNTAX, INVALID, "invalid")                           \
  X(SYNTAX, MISSING, "missing")                           \
  X(SYNTAX, MALCONSTRUCT, "malconstruct")                 \
  X(SYNTAX, BAD_CHAR, "bad-char")                         \
  X(SCRIPT, INVALID_ARG, "invalid-arg")                   \
  X(SCRIPT, SIZE_LIMIT, "size-limit")                     \
  X(SCRIPT, OUT_OF_RANGE, "out-of-range")                 \
  X(SCRIPT, PROTECTED, "protected")                       \
  X(SCRIPT, INVALID_CHAR, "invalid-char")                 \
  X(SCRIPT, EXPECT_ARG, "expect-arg")                     \
  X(SCRIPT, INVALID_COMPARE, "invalid-compare")           \
  X(SCRIPT, NO_RETURN, "no-return")                       \
  X(SCRIPT, NO_VALUE, "no-value")                         \
  X(SCRIPT, NEED_VALUE, "need-value")                     \
  X(SCRIPT, BAD_MAKE_ARG, "bad-make-arg")                 \
  X(SCRIPT, BAD_TO_ARG, "bad-to-arg")                     \
  X(SCRIPT, INVALID_PART, "invalid-part")                 \
  X(SCRIPT, INVALID_REFINE_ARG, "invalid-refine-arg")     \
  X(SCRIPT, NOT_IN_CONTEXT, "not-in-context")             \
  X(SCRIPT, NOT_DEFINED, "not-defined")                   \
  X(SCRIPT, TYPE_LIMIT, "type-limit")                     \
  X(SCRIPT, INVALID_TYPE_SPEC, "invalid-type-spec")       \
  X(SCRIPT, INVALID_CHARS, "invalid-chars")               \
  X(SCRIPT, INVALID_TYPE, "invalid-type")                 \
  X(SCRIPT, INVALID_KEY_TYPE, "invalid-key-type")         \
  X(SCRIPT, BAD_FIELD_SET, "bad-field-set")               \
  X(SCRIPT, INVALID_OBJ_EVT, "invalid-obj-evt")           \
  X(SCRIPT, NOT_RELATED, "not-related")                   \
  X(SCRIPT, CANNOT_USE, "cannot-use")                     \
  X(SCRIPT, MOVE_BAD, "move-bad")                         \
  X(SCRIPT, BAD_PATH_SET, "bad-path-set")                 \
  X(SCRIPT, BAD_REFINES, "bad-refines")                   \
  X(SCRIPT, NOT_SAME_TYPE, "not-same-type")               \
  X(SCRIPT, NOT_SAME_CLASS, "not-same-class")             \
  X(MATH, ZERO_DIVIDE, "zero-divide")                     \
  X(MATH, OVERFLOW, "overflow")                           \
  X(INTERNAL, NO_CYCLE, "no-cycle")                       \
  X(ACCESS, INVALID_UTF8, "invalid-utf8")                 \
  X(SCRIPT, INVALID_DATA, "invalid-data")                 \
  X(SCRIPT, NO_ARG, "no-arg")                             \
  X(SCRIPT, BAD_FUNC_DEF, "bad-func-def")                 \
  X(SCRIPT, NO_OP_ARG, "no-op-arg")                       \
  X(SCRIPT, BAD_REFINE, "bad-refine")                     \
  X(SCRIPT, NO_REFINE, "no-refine")                       \
  X(SCRIPT, DUP_REFINE, "dup-refine")                     \
  X(SCRIPT, EMPTY_PATH, "empty-path")                     \
  X(SCRIPT, WORD_FIRST, "word-first")                     \
  X(SCRIPT, INVALID_PATH_SET, "invalid-path-set")         \
  X(SCRIPT, INVALID_PATH_GET, "invalid-path-get")         \
  X(SCRIPT, UNSET_PATH, "unset-path")                     \
  X(SCRIPT, INVALID_PATH, "invalid-path")                 \
  X(SCRIPT, BAD_PATH_TYPE, "bad-path-type")               \
  X(SCRIPT, BAD_PATH_TYPE2, "bad-path-type2")             \
  X(SCRIPT, DUP_VARS, "dup-vars")                         \
  X(SCRIPT, BAD_OP_SPEC, "bad-op-spec")                   \
  X(SCRIPT, BAD_FUNC_EXTERN, "bad-func-extern")           \
  X(SCRIPT, EXPECT_VAL, "expect-val")                     \
  X(INTERNAL, VEL_SYSTEM, "vel-system")                   \
  X(INTERNAL, NO_MEMORY, "no-memory")                     \
  X(INTERNAL, WRONG_MEM, "wrong-mem")                     \
  X(INTERNAL, STACK_OVERFLOW, "stack-overflow")           \
  X(INTERNAL, NOT_DONE, "not-done")                       \
  X(INTERNAL, TOO_DEEP, "too-deep")                       \
  X(INTERNAL, FEATURE_NA, "feature-na")                   \
  X(THROW, BREAK, "break")                                \
  X(THROW, RETURN, "return")                              \
  X(THROW, THROW, "throw")                                \
  X(THROW, CONTINUE, "continue")                          \
  X(THROW, WHILE_COND, "while-cond")                      \
  X(SCRIPT, BAD_LOOP_SERIES, "bad-loop-series")           \
  X(SCRIPT, INVALID_SPEC_FIELD, "invalid-spec-field")     \
  X(SCRIPT, PARSE_RULE, "parse-rule")                    \
  X(SCRIPT, PARSE_END, "parse-end")                      \
  X(SCRIPT, PARSE_INVALID_REF, "parse-invalid-ref")      \
  X(SCRIPT, PARSE_BLOCK, "parse-block")                  \
  X(SCRIPT, PARSE_UNSUPPORTED, "parse-unsupported")      \
  X(SCRIPT, PARSE_INFINITE, "parse-infinite")            \
  X(SCRIPT, PARSE_STACK, "parse-stack")                  \
  X(SCRIPT, PARSE_KEEP, "parse-keep")                    \
  X(SCRIPT, PARSE_INTO_BAD, "parse-into-bad")            \
  X(SCRIPT, PARSE_INTO_TYPE, "parse-into-type")          \
  X(USER, MESSAGE, "message")                             \
  X(SCRIPT, RB_INVALID_RECORD, "rb-invalid-record")       \
  X(ACCESS, NO_CODEC, "no-codec")                         \
  X(INTERNAL, INVALID_ERROR, "invalid-error")             \
  X(SCRIPT, PAST_END, "past-end")                         \
  X(SCRIPT, MISSING_ARG, "missing-arg")                   \
  X(SCRIPT, TOO_LONG, "too-long")                         \
  X(SCRIPT, WRONG_DENOM, "wrong-denom")                   \
  X(SCRIPT, BAD_DENOM, "bad-denom")                       \
  X(ACCESS, CANNOT_OPEN, "cannot-open")                   \
  X(ACCESS, NO_CREATE, "no-create")                       \
  X(ACCESS, NO_SCHEME, "no-scheme")                       \
  X(ACCESS, UNKNOWN_SCHEME, "unknown-scheme")             \
  X(ACCESS, INVALID_ACTOR, "invalid-actor")               \
  X(ACCESS, INVALID_PORT, "invalid-port")                 \
  X(ACCESS, NO_PORT_ACTION, "no-port-action")             \
  X(ACCESS, NO_CONNECT, "no-connect")                     \
  X(ACCESS, BAD_MEDIA, "bad-media")

enum class ErrId : uint16_t {
#define VEL_X(type, cname, name) cname,
  VEL_ERROR_IDS(VEL_X)
#undef VEL_X
};

constexpr size_t ERROR_ID_COUNT = 0
#define VEL_X(type, cname, name) +1
    VEL_ERROR_IDS(VEL_X)
#undef VEL_X
    ;

ErrType error_type_of(ErrId id);
const char* error_type_name(ErrType t);
const char* error_id_name(ErrId id);

// The id whose Vel text is `name` (exactly), for errors made from Vel
// values; false when the runtime raises no such id.
bool error_id_by_name(std::string_view type, std::string_view name, ErrId* out);

// The exception that carries a Vel error: the error! value, and for code
// that tests errors by number its id and argument cells. `error` is none
// when the error datatype could not build a value (before start-up, or for
// an error raised while another is being built); catchers then build it
// from the id and arguments. The last few error values are rooted by this
// module, so `error` stays alive from the throw to the catch.
struct VelError : std::exception {
  VelError() = default;
  VelError(ErrId i, int n, const Cell& a1, const Cell& a2, const Cell& a3, const Cell& e)
      : id(i), nargs(n), args{a1, a2, a3}, error(e) {}

  ErrId id{};
  int nargs = 0;
  Cell args[3]{};
  Cell error{};
  const char* what() const noexcept override;
};

// Throws an error! value that is already made (do of an error value).
[[noreturn]] void throw_error_value(ErrId id, const Cell& error);

[[noreturn]] void fire(ErrId id);
[[noreturn]] void fire(ErrId id, const Cell& a1);
[[noreturn]] void fire(ErrId id, const Cell& a1, const Cell& a2);
[[noreturn]] void fire(ErrId id, const Cell& a1, const Cell& a2, const Cell& a3);

// An error that need not unwind C++ frames: raised by a native or action
// that the evaluator called on a frame of its own, it is made as fire makes
// it and held here, and Status::RAISED carries it up through the evaluator
// to try, which takes it. Anywhere else it is thrown as fire throws it.
// Code that ends a status's travel (a callback's caller, the top level)
// throws a held error with throw_if_error, so that errors reach the
// catchers of VelError there as before.
[[nodiscard]] Status fail(ErrId id);
[[nodiscard]] Status fail(ErrId id, const Cell& a1);
[[nodiscard]] Status fail(ErrId id, const Cell& a1, const Cell& a2);
[[nodiscard]] Status fail(ErrId id, const Cell& a1, const Cell& a2, const Cell& a3);
// throw_error_value's way of fail.
[[nodiscard]] Status fail_error_value(ErrId id, const Cell& error);
// The evaluator's own errors (a word without a value, a missing or refused
// argument): raised by code whose status goes back up the evaluator, so
// they always travel as Status::RAISED, made as fire makes them.
[[nodiscard]] Status fail_eval(ErrId id);
[[nodiscard]] Status fail_eval(ErrId id, const Cell& a1);
[[nodiscard]] Status fail_eval(ErrId id, const Cell& a1, const Cell& a2);
[[nodiscard]] Status fail_eval(ErrId id, const Cell& a1, const Cell& a2, const Cell& a3);
// For code that answers a value to a caller that passes statuses on (a
// datatype's path step under eval_path): the error is made and held as
// fail_eval holds it, the answer is unset, and the caller, finding
// take_value_failure() true, returns Status::RAISED.
Cell fail_value(ErrId id, const Cell& a1);
Cell fail_value(ErrId id, const Cell& a1, const Cell& a2);
// Whether fail_value ran since the last call; clears it.
bool take_value_failure();
// The held error, which stops being held.
VelError take_held_error();
// Forgets the held error without making its value (a catcher that only
// needs to know that an error came); answers its id.
ErrId drop_held_error();
[[noreturn]] void throw_held_error();
inline Status throw_if_error(Status s) {
  if (s == Status::RAISED) [[unlikely]]
    throw_held_error();
  return s;
}

}  // namespace vel
