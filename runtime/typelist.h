// The closed sets of the value model, each written once.
//
// VEL_DATATYPES: id, C name, Vel name, parent id (0 = none), families (the
// FAM_ bits of families.h, 0 for none). The ids are stored in cells, action
// rows and VELBIN records, so they never change; they run 1, 2, 3 ... without
// gaps (registry.cpp checks it).
// VEL_REGISTRATION_ORDER: the order in which start-up registers the types;
// a parent always precedes the types that inherit from it.
// VEL_ACTIONS: action number and name; numbers are fixed (1 make .. 62 write).
#pragma once

#define VEL_DATATYPES(X)                                                                    \
  X(1, DATATYPE, "datatype!", 0, 0)                                                         \
  X(2, UNSET, "unset!", 0, 0)                                                               \
  X(3, NONE, "none!", 0, 0)                                                                 \
  X(4, LOGIC, "logic!", 0, 0)                                                               \
  X(5, BLOCK, "block!", 42, FAM_BLOCK | FAM_LIST | FAM_SERIES)                              \
  X(6, PAREN, "paren!", 5, FAM_BLOCK | FAM_LIST | FAM_SERIES)                               \
  X(7, STRING, "string!", 42, FAM_STRING | FAM_SERIES)                                      \
  X(8, FILE, "file!", 9, FAM_STRING | FAM_SERIES)                                           \
  X(9, URL, "url!", 7, FAM_STRING | FAM_SERIES)                                             \
  X(10, CHAR, "char!", 11, 0)                                                               \
  X(11, INTEGER, "integer!", 0, FAM_NUMBER)                                                 \
  X(12, FLOAT, "float!", 0, FAM_NUMBER)                                                     \
  X(13, SYMBOL, "symbol!", 0, 0)                                                            \
  X(14, CONTEXT, "context!", 0, 0)                                                          \
  X(15, WORD, "word!", 13, FAM_WORD | FAM_WORD_FORM | FAM_ARG_WORD | FAM_BINDABLE)          \
  X(16, SET_WORD, "set-word!", 15, FAM_WORD | FAM_WORD_FORM | FAM_BINDABLE)                 \
  X(17, LIT_WORD, "lit-word!", 15, FAM_WORD | FAM_WORD_FORM | FAM_ARG_WORD | FAM_BINDABLE)  \
  X(18, GET_WORD, "get-word!", 15, FAM_WORD | FAM_WORD_FORM | FAM_ARG_WORD | FAM_BINDABLE)  \
  X(19, REFINEMENT, "refinement!", 15, FAM_WORD | FAM_BINDABLE)                             \
  X(20, ISSUE, "issue!", 15, FAM_WORD)                                                      \
  X(21, NATIVE, "native!", 0, FAM_FUNCTION | FAM_CALLABLE)                                  \
  X(22, ACTION, "action!", 21, FAM_FUNCTION | FAM_CALLABLE)                                 \
  X(23, OP, "op!", 21, FAM_FUNCTION)                                                        \
  X(24, FUNCTION, "function!", 14, FAM_FUNCTION | FAM_CALLABLE)                             \
  X(25, PATH, "path!", 5, FAM_BLOCK | FAM_PATH | FAM_SERIES)                                \
  X(26, LIT_PATH, "lit-path!", 25, FAM_BLOCK | FAM_PATH | FAM_SERIES)                       \
  X(27, SET_PATH, "set-path!", 25, FAM_BLOCK | FAM_PATH | FAM_SERIES)                       \
  X(28, GET_PATH, "get-path!", 25, FAM_BLOCK | FAM_PATH | FAM_SERIES)                       \
  X(29, ROUTINE, "routine!", 24, FAM_FUNCTION | FAM_CALLABLE)                               \
  X(30, BITSET, "bitset!", 0, 0)                                                            \
  X(31, TRIPLE, "triple!", 0, 0)                                                            \
  X(32, OBJECT, "object!", 0, FAM_OBJECT)                                                   \
  X(33, TYPESET, "typeset!", 0, 0)                                                          \
  X(34, ERROR, "error!", 32, FAM_OBJECT)                                                    \
  X(35, VECTOR, "vector!", 7, FAM_SERIES)                                                   \
  X(36, HASH, "hash!", 5, FAM_BLOCK | FAM_LIST | FAM_SERIES)                                \
  X(37, PAIR, "pair!", 0, 0)                                                                \
  X(38, PERCENT, "percent!", 12, FAM_NUMBER)                                                \
  X(39, TUPLE, "tuple!", 0, 0)                                                              \
  X(40, MAP, "map!", 0, 0)                                                                  \
  X(41, BINARY, "binary!", 7, FAM_SERIES)                                                   \
  X(42, SERIES, "series!", 0, 0)                                                            \
  X(43, TIME, "time!", 12, 0)                                                               \
  X(44, TAG, "tag!", 7, FAM_STRING | FAM_SERIES)                                            \
  X(45, EMAIL, "email!", 7, FAM_STRING | FAM_SERIES)                                        \
  X(46, HANDLE, "handle!", 11, 0)                                                           \
  X(47, DATE, "date!", 0, 0)                                                                \
  X(48, PORT, "port!", 32, FAM_OBJECT)                                                      \
  X(49, MONEY, "money!", 0, 0)                                                              \
  X(50, REF, "ref!", 7, FAM_STRING | FAM_SERIES)                                            \
  X(51, POINT2D, "point2D!", 0, 0)                                                          \
  X(52, POINT3D, "point3D!", 0, 0)                                                          \
  X(53, IMAGE, "image!", 42, FAM_SERIES)                                                    \
  X(54, EVENT, "event!", 0, 0)

#define VEL_REGISTRATION_ORDER(X)                                                     \
  X(DATATYPE) X(UNSET) X(NONE) X(LOGIC) X(SERIES) X(BLOCK) X(STRING) X(BINARY)        \
  X(INTEGER) X(SYMBOL) X(CONTEXT) X(WORD) X(LIT_WORD) X(SET_WORD) X(GET_WORD)         \
  X(REFINEMENT) X(CHAR) X(NATIVE) X(ACTION) X(OP) X(PATH) X(LIT_PATH) X(SET_PATH)     \
  X(GET_PATH) X(FUNCTION) X(ROUTINE) X(PAREN) X(ISSUE) X(URL) X(FILE) X(OBJECT)       \
  X(BITSET) X(TRIPLE) X(FLOAT) X(TYPESET) X(ERROR) X(VECTOR) X(MAP) X(HASH) X(PAIR)   \
  X(PERCENT) X(TUPLE) X(TIME) X(TAG) X(EMAIL) X(HANDLE) X(DATE) X(PORT) X(MONEY)      \
  X(REF) X(POINT2D) X(POINT3D) X(IMAGE)

#define VEL_ACTIONS(X)                                                                   \
  X(1, MAKE, "make") X(2, RANDOM, "random") X(3, REFLECT, "reflect") X(4, TO, "to")      \
  X(5, FORM, "form") X(6, MOLD, "mold") X(7, EVAL_PATH, "eval-path")                     \
  X(8, SET_PATH, "set-path") X(9, COMPARE, "compare") X(10, ABSOLUTE, "absolute")        \
  X(11, ADD, "add") X(12, DIVIDE, "divide") X(13, MULTIPLY, "multiply")                  \
  X(14, NEGATE, "negate") X(15, POWER, "power") X(16, REMAINDER, "remainder")            \
  X(17, ROUND, "round") X(18, SUBTRACT, "subtract") X(19, EVEN_Q, "even?")               \
  X(20, ODD_Q, "odd?") X(21, AND_T, "and~") X(22, COMPLEMENT, "complement")              \
  X(23, OR_T, "or~") X(24, XOR_T, "xor~") X(25, APPEND, "append") X(26, AT, "at")        \
  X(27, BACK, "back") X(28, CHANGE, "change") X(29, CLEAR, "clear") X(30, COPY, "copy")  \
  X(31, FIND, "find") X(32, HEAD, "head") X(33, HEAD_Q, "head?") X(34, INDEX_Q, "index?") \
  X(35, INSERT, "insert") X(36, LENGTH_Q, "length?") X(37, MOVE, "move")                 \
  X(38, NEXT, "next") X(39, PICK, "pick") X(40, POKE, "poke") X(41, PUT, "put")          \
  X(42, REMOVE, "remove") X(43, REVERSE, "reverse") X(44, SELECT, "select")              \
  X(45, SORT, "sort") X(46, SKIP, "skip") X(47, SWAP, "swap") X(48, TAIL, "tail")        \
  X(49, TAIL_Q, "tail?") X(50, TAKE, "take") X(51, TRIM, "trim") X(52, CREATE, "create") \
  X(53, CLOSE, "close") X(54, DELETE, "delete") X(55, MODIFY, "modify")                  \
  X(56, OPEN, "open") X(57, OPEN_Q, "open?") X(58, QUERY, "query") X(59, READ, "read")   \
  X(60, RENAME, "rename") X(61, UPDATE, "update") X(62, WRITE, "write")
