# Writes the frame positions of the functions whose bodies are C++ code, read
# from their specs in the library, as a C++ header. The C++ entries read
# their arguments through these names, so a spec and its C++ reader cannot
# drift apart: moving an argument changes the name's value, renaming or
# removing one stops the build.
#
# KIND says which functions:
#   action   name: make action! [[spec] n]   in IN (library/actions.vel)
#   native   name: make native! [[spec] n]   in IN (library/natives.vel)
#   routine  routine [spec] [entry]          in every boot source listed in
#                                            IN (library/manifest.txt, paths
#                                            relative to ROOT)
# For each function a namespace vel::act::<name>, vel::nat::<name> or
# vel::rtn::<entry> holds `enum Frame` with one enumerator per argument and
# per refinement, in spec order (frame.h). An action's namespace adds a check
# that its number agrees with the runtime's list (typelist.h) and its shape
# (size and which cells are refinements) for calls that C++ code makes; a
# native's a check of its number against the natives table
# (natives_table.h); a routine's the entry name the C++ side registers, so
# that an entry no library source names does not compile either.
#
# A spec may hold doc strings, arguments (word, 'word or :word, each with or
# without a type block), refinements, return: with its type block, and
# comments; anything else stops the build, so a spec written in another
# shape is reported rather than misread. Routines named by several specs
# (one entry behind several library words) must agree on the frame.
#
# Usage: cmake -DKIND=<kind> -DIN=<file> [-DROOT=<dir>] -DOUT=<header> -P frames.cmake

cmake_minimum_required(VERSION 3.20)

# Brackets and semicolons mean something to CMake's lists: the text is read
# with each of them turned into a control character no source holds.
string(ASCII 1 LB)
string(ASCII 2 RB)
string(ASCII 3 SC)

# C++ keywords, and names the C and Windows headers define as macros: a
# spec word that would become one gets a trailing underscore.
set(keywords alignas alignof and and_eq asm auto bitand bitor bool break case catch char class
  compl concept const consteval constexpr constinit const_cast continue co_await co_return
  co_yield decltype default delete do double dynamic_cast else enum explicit export extern
  false float for friend goto if inline int long mutable namespace new noexcept not not_eq
  nullptr operator or or_eq private protected public register reinterpret_cast requires return
  short signed sizeof static static_assert static_cast struct switch template this
  thread_local throw true try typedef typeid typename union unsigned using virtual void
  volatile wchar_t while xor xor_eq)
set(macros IN OUT ERROR CALLBACK DELETE OPTIONAL CONST VOID TRUE FALSE NULL EOF NAN INFINITY
  DOMAIN ABSOLUTE RELATIVE TRANSPARENT OPAQUE)

# A spec word as a C++ name: for a function's namespace (ns), a frame cell
# (cell) or the function's id in the runtime's list (id).
function(c_name out word kind)
  string(REPLACE "-" "_" word "${word}")
  string(REPLACE "?" "_q" word "${word}")
  string(REPLACE "~" "_t" word "${word}")
  string(REPLACE "*" "_s" word "${word}")
  if(kind STREQUAL "ns")
    if(word IN_LIST keywords)
      set(word "${word}_")
    endif()
  else()
    string(TOUPPER "${word}" word)
    if(kind STREQUAL "cell" AND word IN_LIST macros)
      set(word "${word}_")
    endif()
  endif()
  if(NOT word MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
    fail("${word} is no C++ name")
  endif()
  set(${out} "${word}" PARENT_SCOPE)
endfunction()

function(fail message)
  string(REPLACE "${LB}" "[" message "${message}")
  string(REPLACE "${RB}" "]" message "${message}")
  string(REPLACE "${SC}" ";" message "${message}")
  message(FATAL_ERROR "${where}: ${message}")
endfunction()

if(KIND STREQUAL "routine")
  set(starter routine)
  set(follower "entry in a block")
else()
  set(starter make)
  set(follower "number")
endif()

# --- the spec parser -------------------------------------------------------------
#
# Tokens arrive one at a time in `token` (on_token). The state:
#   mode    scan: looking for a spec; spec: inside one; types: inside a type
#           block of it (depth counts nested brackets); tail: after the spec,
#           reading the native's or action's number or the routine's entry
#   window  the last few tokens seen while scanning
#   name, names, refinements, types_allowed: the spec being read

set(mode scan)
set(window "")
set(body "")
set(seen 0)
set(done_routines "")

macro(begin_spec)
  set(mode spec)
  set(names "")
  set(refinements 0)
  set(types_allowed OFF)
  set(tail "")
endmacro()

macro(add_name)
  c_name(cell "${word}" cell)
  if(cell IN_LIST names)
    fail("${name} names ${word} twice in its frame")
  endif()
  list(LENGTH names at)
  if(at GREATER_EQUAL 32)
    fail("the frame of ${name} has more than 32 cells")
  endif()
  list(APPEND names "${cell}")
endmacro()

macro(on_token)
  if(mode STREQUAL "scan")
    list(APPEND window "${token}")
    list(LENGTH window n)
    if(n GREATER 5)
      list(REMOVE_AT window 0)
      set(n 5)
    endif()
    if(KIND STREQUAL "routine")
      if(token STREQUAL LB AND n GREATER 1)
        list(GET window -2 before)
        if(before STREQUAL "routine")
          set(name "a routine")
          if(n GREATER 2)
            list(GET window -3 before)
            if(before MATCHES "^([^:]+):$")
              set(name "the routine ${CMAKE_MATCH_1}")
            endif()
          endif()
          begin_spec()
        endif()
      endif()
    elseif(n EQUAL 5 AND token STREQUAL LB)
      list(GET window 0 w0)
      list(GET window 1 w1)
      list(GET window 2 w2)
      list(GET window 3 w3)
      if(w1 STREQUAL "make" AND w2 STREQUAL "${KIND}!" AND w3 STREQUAL LB AND w0 MATCHES "^([^:]+):$")
        set(name "${CMAKE_MATCH_1}")
        begin_spec()
      endif()
    endif()
  elseif(mode STREQUAL "types")
    if(token STREQUAL LB)
      math(EXPR depth "${depth} + 1")
    elseif(token STREQUAL RB)
      math(EXPR depth "${depth} - 1")
      if(depth EQUAL 0)
        set(mode spec)
      endif()
    endif()
  elseif(mode STREQUAL "spec")
    if(token STREQUAL RB)
      set(mode tail)
    elseif(token STREQUAL LB)
      if(NOT types_allowed)
        fail("the spec of ${name} has a block after no argument")
      endif()
      set(types_allowed OFF)
      set(mode types)
      set(depth 1)
    elseif(token MATCHES "^[#%]?\"" OR token MATCHES "^#?{")
      # a doc string
    elseif(token STREQUAL "return:")
      set(types_allowed ON)
    elseif(token MATCHES "^/([^/:'\"]+)$")
      set(word "${CMAKE_MATCH_1}")
      if(word STREQUAL "local")
        fail("the spec of ${name} has locals, which no frame of C++ code has")
      endif()
      list(LENGTH names at)
      math(EXPR refinements "${refinements} | (1 << ${at})" OUTPUT_FORMAT HEXADECIMAL)
      add_name()
      set(types_allowed OFF)
    elseif(token MATCHES "^[':]?([A-Za-z][^/:'\"]*)$")
      set(word "${CMAKE_MATCH_1}")
      add_name()
      set(types_allowed ON)
    else()
      fail("the spec of ${name} has a value of no known kind: ${token}")
    endif()
  elseif(mode STREQUAL "tail")
    list(APPEND tail "${token}")
    list(LENGTH tail n)
    if(KIND STREQUAL "routine" AND n EQUAL 3)
      list(GET tail 0 t0)
      list(GET tail 1 t1)
      list(GET tail 2 t2)
      if(NOT t0 STREQUAL LB OR NOT t2 STREQUAL RB OR NOT t1 MATCHES "^[^:'/\"#%]+$")
        fail("the spec of ${name} is not followed by its ${follower}")
      endif()
      set(name "${t1}")
      end_spec()
    elseif(NOT KIND STREQUAL "routine" AND n EQUAL 2)
      list(GET tail 0 number)
      list(GET tail 1 t1)
      if(NOT number MATCHES "^[0-9]+$" OR NOT t1 STREQUAL RB)
        fail("the spec of ${name} is not followed by its ${follower}")
      endif()
      end_spec()
    endif()
  endif()
endmacro()

macro(end_spec)
  set(mode scan)
  set(window "")
  math(EXPR seen "${seen} + 1")
  list(LENGTH names size)
  list(JOIN names ", " list)
  if(NOT list STREQUAL "")
    set(list " ${list} ")
  endif()
  c_name(ns "${name}" ns)
  c_name(id "${name}" id)
  if(KIND STREQUAL "action")
    string(APPEND body
      "namespace ${ns} {\n"
      "enum Frame : int {${list}};\n"
      "static_assert(ACT_${id} == ${number}, \"${name} is action ${number} in the library\");\n"
      "constexpr ActionShape SHAPE{ACT_${id}, ${size}, ${refinements}u};\n"
      "}  // namespace ${ns}\n")
  elseif(KIND STREQUAL "native")
    string(APPEND body
      "namespace ${ns} {\n"
      "enum Frame : int {${list}};\n"
      "static_assert(NAT_${id} == ${number}, \"${name} is native ${number} in the library\");\n"
      "}  // namespace ${ns}\n")
  else()
    # One entry may stand behind several library words: their frames agree.
    set(key "${ns}=${list}/${refinements}")
    if(NOT key IN_LIST done_routines)
      foreach(other IN LISTS done_routines)
        if(other MATCHES "^${ns}=")
          fail("the routine entry ${name} has specs of different frames")
        endif()
      endforeach()
      list(APPEND done_routines "${key}")
      string(APPEND body
        "namespace ${ns} {\n"
        "enum Frame : int {${list}};\n"
        "inline constexpr char NAME[] = \"${name}\";\n"
        "}  // namespace ${ns}\n")
    endif()
  endif()
endmacro()

# --- the tokenizer ----------------------------------------------------------------
#
# Reads a source line by line: strings ("..." on one line, {...} over several
# and nested), comments, brackets, parens and the other values as words.
# While no spec is open, a line that holds no brace and not the word that
# starts a spec (make, or routine) cannot start one and is passed over.

function(read_source path)
  set(where "${path}")
  file(READ "${path}" text)
  string(REPLACE ";" "${SC}" text "${text}")
  string(REPLACE "[" "${LB}" text "${text}")
  string(REPLACE "]" "${RB}" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(braces 0)  # depth in a {...} string
  set(line_no 0)
  foreach(rest IN LISTS lines)
    math(EXPR line_no "${line_no} + 1")
    set(where "${path}:${line_no}")
    if(mode STREQUAL "scan" AND braces EQUAL 0 AND NOT rest MATCHES "[{}]|${starter}")
      set(window "")
      continue()
    endif()
    while(NOT rest STREQUAL "")
      if(braces GREATER 0)
        if(rest MATCHES "^[^{}^]+")
          string(LENGTH "${CMAKE_MATCH_0}" k)
        elseif(rest MATCHES "^\\^.?")
          string(LENGTH "${CMAKE_MATCH_0}" k)
        elseif(rest MATCHES "^{")
          math(EXPR braces "${braces} + 1")
          set(k 1)
        else()
          math(EXPR braces "${braces} - 1")
          set(k 1)
          if(braces EQUAL 0)
            set(token "{}")
            on_token()
          endif()
        endif()
        string(SUBSTRING "${rest}" ${k} -1 rest)
        continue()
      endif()
      set(token "")
      if(rest MATCHES "^[ \t\r]+")
      elseif(rest MATCHES "^${SC}")
        break()
      elseif(rest MATCHES "^[#%]?\"([^\"^]|\\^.)*\"")
        set(token "${CMAKE_MATCH_0}")
      elseif(rest MATCHES "^[#%]?\"")
        fail("a string does not end on its line")
      elseif(rest MATCHES "^[#%]?{")
        set(braces 1)
      elseif(rest MATCHES "^[()${LB}${RB}]")
        set(token "${CMAKE_MATCH_0}")
      elseif(rest MATCHES "^[^ \t\r()${LB}${RB}${SC}\"{]+")
        set(token "${CMAKE_MATCH_0}")
      else()
        fail("no value starts at: ${rest}")
      endif()
      string(LENGTH "${CMAKE_MATCH_0}" k)
      string(SUBSTRING "${rest}" ${k} -1 rest)
      if(NOT token STREQUAL "")
        on_token()
      endif()
    endwhile()
  endforeach()
  if(mode STREQUAL "tail")
    fail("the spec of ${name} is not followed by its ${follower}")
  elseif(NOT mode STREQUAL "scan")
    fail("the spec of ${name} does not end")
  endif()
  set(body "${body}" PARENT_SCOPE)
  set(seen "${seen}" PARENT_SCOPE)
  set(done_routines "${done_routines}" PARENT_SCOPE)
endfunction()

if(KIND STREQUAL "routine")
  file(STRINGS "${IN}" sources REGEX "^[^#]")
  foreach(source IN LISTS sources)
    string(STRIP "${source}" source)
    read_source("${ROOT}/${source}")
  endforeach()
  set(space rtn)
  set(include "")
elseif(KIND STREQUAL "action")
  read_source("${IN}")
  set(space act)
  set(include "#include \"frame.h\"\n")
elseif(KIND STREQUAL "native")
  read_source("${IN}")
  set(space nat)
  set(include "#include \"natives_table.h\"\n")
else()
  message(FATAL_ERROR "frames.cmake: KIND is action, native or routine, not '${KIND}'")
endif()
if(seen EQUAL 0)
  message(FATAL_ERROR "${IN}: no ${KIND} specs found")
endif()

set(header "// Written by cmake/frames.cmake from the library's ${KIND} specs; do not edit.
// The frame positions of each ${KIND}: its arguments, then each refinement
// followed by its own arguments, in spec order (frame.h).
#pragma once
${include}
namespace vel::${space} {

${body}
}  // namespace vel::${space}
")
# Rewritten only when it changes, so that touching the library recompiles
# nothing.
set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL header)
  file(WRITE "${OUT}" "${header}")
endif()
