// Helpers shared by the tests of the scalar datatypes: value builders,
// form/mold to text, action calls and caught errors.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "action_frames.h"
#include "collector.h"
#include "datatypes/float.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/strout.h"
#include "error_of.h"
#include "errors.h"
#include "gc_scope.h"
#include "series_ops.h"
#include "unicode.h"

namespace vel::scalartest {

inline Cell I(int32_t v) { return integer_cell(v); }
inline Cell F(double d) { return float_cell(d); }
inline Cell C(uint32_t cp) { return char_cell(cp); }
inline Cell L(bool v) { return logic_cell(v); }
inline Cell N() { return NONE_VALUE; }
inline Cell DT(TypeId t) { return datatype_cell(t); }
inline Cell typed_float(TypeId t, double d) {
  Cell c = make_cell(t);
  c.set_f64(d);
  return c;
}
inline Cell P(double fraction) { return typed_float(TYPE_PERCENT, fraction); }
inline Cell T(double seconds) { return typed_float(TYPE_TIME, seconds); }

// A string! of ASCII or Latin-1 text (or of wider code points).
inline Cell S(const std::vector<uint32_t>& cps, uint32_t index = 0) {
  uint32_t unit = 1;
  for (uint32_t cp : cps) unit = cp > 0xFFFF ? 4 : (cp > 0xFF && unit < 2 ? 2 : unit);
  NodeId n = alloc_series_unit(cps.size() + 1, unit);
  Buffer* b = node_buffer(n);
  for (size_t i = 0; i < cps.size(); i++) put_char(b->head_ptr() + i * unit, unit, cps[i]);
  b->tail = b->head + uint32_t(cps.size() * unit);
  return series_cell(TYPE_STRING, n, int32_t(index));
}
inline Cell S(const char* text, uint32_t index = 0) {
  std::vector<uint32_t> cps;
  for (const char* p = text; *p; ++p) cps.push_back(uint8_t(*p));
  return S(cps, index);
}

inline Cell BIN(const std::vector<uint8_t>& bytes, uint32_t index = 0) {
  NodeId n = alloc_bytes(bytes.size());
  Buffer* b = node_buffer(n);
  if (!bytes.empty()) std::memcpy(b->head_ptr(), bytes.data(), bytes.size());
  b->tail = b->head + uint32_t(bytes.size());
  return series_cell(TYPE_BINARY, n, int32_t(index));
}

inline Cell BLOCK(std::initializer_list<Cell> cells) {
  NodeId n = alloc_cells(cells.size() + 1);
  for (const Cell& c : cells) *alloc_tail(n) = c;
  return series_cell(TYPE_BLOCK, n);
}

inline std::string formed(Cell v) {
  NodeId out = make_string(16);
  form_value(v, out);
  return string_text(out);
}

inline std::string molded(Cell v, uint32_t flags = 0) {
  NodeId out = make_string(16);
  mold_value(v, out, flags);
  return string_text(out);
}

// Calls an action with the first cells of its frame given in spec order.
inline Cell run_action(const ActionShape& shape, std::span<const Cell> cells) {
  std::vector<ActionArg> args;
  for (const Cell& c : cells) args.push_back({int(args.size()), c});
  return call_action(shape, args);
}
inline Cell run_action(const ActionShape& shape, std::initializer_list<Cell> cells) {
  return run_action(shape, std::span<const Cell>(cells.begin(), cells.size()));
}

// The Vel error of an action call, or nothing when it answers.
inline std::optional<ErrId> action_error(const ActionShape& shape, std::initializer_list<Cell> cells) {
  return error_of([&] { (void)run_action(shape, cells); });
}

// round's frame in spec order: [value /to scale /even /down /half-down
// /floor /ceiling /half-ceiling]; mode names one of the six refinements or
// is empty.
inline std::vector<Cell> round_frame(Cell v, std::optional<Cell> scale, const std::string& mode) {
  static const char* const kModes[6] = {"even", "down", "half-down", "floor", "ceiling", "half-ceiling"};
  std::vector<Cell> f = {v, L(scale.has_value()), scale.value_or(N())};
  bool known = mode.empty();
  for (const char* m : kModes) {
    f.push_back(L(mode == m));
    known |= mode == m;
  }
  EXPECT_TRUE(known) << mode;
  return f;
}

inline Cell call_round(Cell v, std::optional<Cell> scale, const std::string& mode = "") {
  return run_action(act::round::SHAPE, round_frame(v, scale, mode));
}

inline std::optional<ErrId> round_error(Cell v, std::optional<Cell> scale, const std::string& mode = "") {
  return error_of([&] { (void)call_round(v, scale, mode); });
}

// The comparison driver's answer, or the error it raises.
inline std::optional<ErrId> compare_error(Cell a, Cell b, int op) {
  return error_of([&] { (void)compare_values(&a, &b, op); });
}

inline const char* type_of(const Cell& c) { return type_name(c.type()); }


}  // namespace vel::scalartest
