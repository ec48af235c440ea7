# Writes the frame positions of every action, read from the action specs of
# library/actions.vel, as a C++ header: for each action a namespace
# vel::act::<name> holding `enum Frame` with one enumerator per argument and
# per refinement, in spec order, a check that the action's number agrees
# with the runtime's list (typelist.h), and the frame's shape (its size and
# which cells are refinements) for calls that C++ code makes. The datatypes read their arguments
# through these names, so a spec and its C++ readers cannot drift apart.
#
# The specs are read line by line, and a line inside an action's spec must be
# a doc string, an argument (with or without a type block and a doc string),
# a refinement (with or without a doc string), a return: line or a comment;
# anything else stops the build, so a spec written in another shape is
# reported rather than misread.
#
# Usage: cmake -DIN=<actions.vel> -DOUT=<header> -P action_frames.cmake

cmake_minimum_required(VERSION 3.20)

file(READ "${IN}" text)
# CMake lists split on ; and treat [ ] specially: take them out of the way.
string(REPLACE ";" "<sc>" text "${text}")
string(REPLACE "[" "<lb>" text "${text}")
string(REPLACE "]" "<rb>" text "${text}")
string(REPLACE "\n" ";" lines "${text}")

# A spec word as a C++ name: upper case for arguments, lower for the action.
function(c_name out word upper)
  string(REPLACE "-" "_" word "${word}")
  string(REPLACE "?" "_q" word "${word}")
  string(REPLACE "~" "_t" word "${word}")
  if(upper)
    string(TOUPPER "${word}" word)
  endif()
  set(${out} "${word}" PARENT_SCOPE)
endfunction()

set(keywords and or xor not delete new default case union)
set(body "")
set(action "")
set(line_no 0)
set(seen 0)
foreach(line IN LISTS lines)
  math(EXPR line_no "${line_no} + 1")
  string(STRIP "${line}" line)
  if(action STREQUAL "")
    if(line MATCHES "^([^ \t:]+): make action! <lb><lb>$")
      set(action "${CMAKE_MATCH_1}")
      set(names "")
      set(refinements 0)
    endif()
    continue()
  endif()
  string(REGEX REPLACE "[ \t]*\"[^\"]*\"$" "" line "${line}")  # a trailing doc string
  if(line STREQUAL "" OR line MATCHES "^<sc>" OR line MATCHES "^return: <lb>.*<rb>$")
    continue()
  elseif(line MATCHES "^<rb> ([0-9]+)<rb>$")
    set(number "${CMAKE_MATCH_1}")
    c_name(ns "${action}" OFF)
    if(ns IN_LIST keywords)
      set(ns "${ns}_")
    endif()
    c_name(id "${action}" ON)
    list(JOIN names ", " list)
    list(LENGTH names size)
    if(size GREATER 32)
      message(FATAL_ERROR "${IN}:${line_no}: the frame of ${action} has more than 32 cells")
    endif()
    string(APPEND body
      "namespace ${ns} {\n"
      "enum Frame : int { ${list} };\n"
      "static_assert(ACT_${id} == ${number}, \"${action} is action ${number} in the library\");\n"
      "constexpr ActionShape SHAPE{ACT_${id}, ${size}, ${refinements}u};\n"
      "}  // namespace ${ns}\n")
    set(action "")
    math(EXPR seen "${seen} + 1")
    continue()
  elseif(line MATCHES "^/([^ \t]+)$")
    set(word "${CMAKE_MATCH_1}")
    list(LENGTH names at)
    math(EXPR refinements "${refinements} | (1 << ${at})" OUTPUT_FORMAT HEXADECIMAL)
  elseif(line MATCHES "^[':]?([^ \t':/\"]+)( <lb>[^\"]*<rb>)?$")
    set(word "${CMAKE_MATCH_1}")
  else()
    string(REPLACE "<sc>" ";" line "${line}")
    string(REPLACE "<lb>" "[" line "${line}")
    string(REPLACE "<rb>" "]" line "${line}")
    message(FATAL_ERROR "${IN}:${line_no}: the spec of ${action} has a line of no known shape: ${line}")
  endif()
  c_name(name "${word}" ON)
  if(name IN_LIST names)
    message(FATAL_ERROR "${IN}:${line_no}: ${action} names ${word} twice in its frame")
  endif()
  list(APPEND names "${name}")
endforeach()
if(NOT action STREQUAL "")
  message(FATAL_ERROR "${IN}: the spec of ${action} does not end")
endif()
if(seen EQUAL 0)
  message(FATAL_ERROR "${IN}: no action specs found")
endif()

set(header "// Written by cmake/action_frames.cmake from library/actions.vel; do not edit.
// The frame positions of each action: its arguments, then each refinement
// followed by its own arguments, in spec order (frame.h); and its shape: how
// many cells, and which of them are refinements.
#pragma once
#include \"frame.h\"

namespace vel::act {

${body}
}  // namespace vel::act
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
