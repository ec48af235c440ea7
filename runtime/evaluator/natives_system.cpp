// Natives that reach the operating system or a runtime service: wait,
// checksum, the environment, the clock, call, browse, recycle, stats,
// compression and transcode.
#include <iterator>
#include <optional>
#include <string>

#include "frame.h"
#include "native_frames.h"
#include "families.h"
#include "collector.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "eval.h"
#include "datatypes/date.h"
#include "datatypes/map.h"
#include "datatypes/series_actions.h"
#include "datatypes/strout.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "errors.h"
#include "evaluator/natives.h"
#include "evaluator/natives_checksum.h"
#include "io/deflate.h"
#include "io/ext_process.h"
#include "io/lexer.h"
#include "io/simple_io.h"
#include "memory.h"
#include "platform/os.h"
#include "platform/shell.h"
#include "roots.h"
#include "series_ops.h"
#include "unicode.h"

namespace vel {

namespace {


inline uint32_t clamped_index(const Cell& s) {
  uint32_t len = node_buffer(s.node())->length();
  return s.index() < 0 ? 0 : (uint32_t(s.index()) > len ? len : uint32_t(s.index()));
}

// A byte count as stats gives it: an integer while it fits, else a float.
Cell figure(uint64_t n) { return n <= 2147483647u ? integer_cell(int32_t(n)) : float_cell(double(n)); }

// --- wait -----------------------------------------------------------------------------

Status native_wait(Cell* base) {
  using enum nat::wait::Frame;
  const Cell& v = base[VALUE];
  double seconds;
  if (v.is(TYPE_INTEGER)) seconds = double(v.i2());
  else if (v.is(TYPE_FLOAT) || v.is(TYPE_TIME)) seconds = v.f64();  // time!: seconds as a double
  else fire(ErrId::INVALID_ARG, v);
  platform::wait(seconds);
  base[RESULT] = none_cell();
  return Status::OK;
}

// --- environment ---------------------------------------------------------------------

// A variable's name: the text of a string, or of a word's symbol.
std::string env_name(const Cell& v) {
  if (is_any_string(v.type())) return to_utf8(v.node(), clamped_index(v));
  if (is_any_word(v.type())) return std::string(symbol::text(v.w2));
  fire(ErrId::INVALID_ARG, v);
}

// A new string! of UTF-8 text.
may_gc Cell utf8_string(const std::string& text) {
  RootedNode out(make_string(uint32_t(text.size() ? text.size() : 1)));
  append_utf8(out, text);
  return series_cell(TYPE_STRING, out, 0);
}

Status native_get_env(Cell* base) {
  using enum nat::get_env::Frame;
  std::optional<std::string> value = platform::get_env(env_name(base[VAR]));
  if (!value) {
    base[RESULT] = none_cell();
    return Status::OK;
  }
  base[RESULT] = utf8_string(*value);
  return Status::OK;
}

Status native_set_env(Cell* base) {
  using enum nat::set_env::Frame;
  std::string name = env_name(base[VAR]);
  const Cell& value = base[VALUE];
  bool ok;
  if (value.is(TYPE_NONE)) ok = platform::unset_env(name);
  else if (value.is(TYPE_STRING)) ok = platform::set_env(name, to_utf8(value.node(), clamped_index(value)));
  else fire(ErrId::INVALID_ARG, value);
  // The system refuses names that cannot be variables (empty, with "="),
  // and texts holding NUL: say so rather than pretend it was set.
  if (!ok) fire(ErrId::INVALID_ARG, platform::valid_env_name(name) ? value : base[VAR]);
  base[RESULT] = value;
  return Status::OK;
}

// list-env: a map from each variable's name to its value, both strings, in
// the system's order.
Status native_list_env(Cell* base) {
  std::vector<std::pair<std::string, std::string>> vars = platform::list_env();
  RootedCell pairs(block::make_at(int64_t(vars.size()) * 2));
  for (const auto& [name, value] : vars) {
    Cell n = utf8_string(name);
    block::rs_append(pairs->node(), n);
    Cell v = utf8_string(value);
    block::rs_append(pairs->node(), v);
  }
  base[RESULT] = map::make_at(pairs->node(), uint32_t(vars.size() * 2));
  return Status::OK;
}

// --- now ------------------------------------------------------------------------------

// The date is built from one reading of the UTC clock, carried into the
// local zone: a local date read apart from the UTC time of day would be a
// day off whenever the two dates differ, and at midnight between the reads.
Status native_now(Cell* base) {
  // now's frame is a cell for each refinement, year first and utc last.
  using enum nat::now::Frame;
  bool r[UTC + 1];
  int fields = 0;
  for (int i = YEAR; i <= UTC; i++) {
    r[i] = used(base[i]);
    if (i <= PRECISE && r[i]) fields++;
  }
  if (fields > 1 && !(r[TIME] && r[PRECISE])) fire(ErrId::BAD_REFINES);
  platform::Clock clock = platform::get_clock();
  uint32_t zone = r[UTC] ? 0 : platform::get_date(false) & date::ZONE_MASK;
  double time = platform::time_of_day(clock.seconds, clock.ticks_100ns, r[PRECISE]);
  int64_t day_count = clock.seconds / 86400 - (clock.seconds % 86400 < 0);
  int64_t days = date::carry_time(date::to_days(1970, 1, 1) + day_count, &time, zone);
  Cell d = date::cell(date::from_days(days, zone | date::TIME_FLAG), time);
  static constexpr struct {
    nat::now::Frame ref;
    int field;
  } kFields[] = {{YEAR, 2}, {MONTH, 3}, {DAY, 4}, {ZONE, 5}, {TIME, 6}, {WEEKDAY, 10}};
  if (r[DATE]) {
    d = date::cell(d.w1 & ~(date::ZONE_MASK | date::TIME_FLAG), 0.0);
  } else if (r[YEARDAY]) {
    d = integer_cell(date::yearday(d.w1));
  } else {
    for (const auto& f : kFields) {
      if (r[f.ref]) {
        d = date::field(d, f.field);
        break;
      }
    }
  }
  base[RESULT] = d;
  return Status::OK;
}

// --- call and browse ---------------------------------------------------------------------

Status native_browse(Cell* base) {
  using enum nat::browse::Frame;
  const Cell& url = base[URL];
  if (!is_any_string(url.type())) fire(ErrId::INVALID_ARG, url);
  std::string target = url.is(TYPE_FILE) ? simple_io::os_path(url) : to_utf8(url.node(), clamped_index(url));
  if (!platform::shell_open(target)) fire(ErrId::CANNOT_OPEN, base[URL]);
  base[RESULT] = unset_cell();
  return Status::OK;
}

// --- recycle and stats ---------------------------------------------------------------------

Status native_recycle(Cell* base) {
  using enum nat::recycle::Frame;
  if (used(base[ON]) || used(base[OFF])) {
    g_gc.enabled = used(base[ON]);
    base[RESULT] = unset_cell();
    return Status::OK;
  }
  collector_run();
  base[RESULT] = figure(memory_stats().bytes_in_use);
  return Status::OK;
}

// [[free used total] ...] as a block of triples, each on a new line.
may_gc Cell triples_block(const std::vector<MemoryStats::Triple>& list) {
  RootedNode out(alloc_cells(list.size()));
  for (const auto& t : list) {
    RootedNode inner(alloc_cells(3));
    *alloc_tail(inner) = figure(t.free);
    *alloc_tail(inner) = figure(t.used);
    *alloc_tail(inner) = figure(t.total);
    Cell c = series_cell(TYPE_BLOCK, inner, 0);
    c.set_new_line(true);
    *alloc_tail(out) = c;
  }
  return series_cell(TYPE_BLOCK, out, 0);
}

// The detailed figures: node pools, series pools, big buffers, the total
// and the low-level heap.
may_gc Cell stats_block() {
  bool was = g_gc.enabled;
  g_gc.enabled = false;  // the figures must not change while they are read
  MemoryStats s = memory_stats();
  RootedNode out(alloc_cells(5));
  Cell c = triples_block(s.node_pools);
  c.set_new_line(true);
  *alloc_tail(out) = c;
  c = triples_block(s.series_pools);
  c.set_new_line(true);
  *alloc_tail(out) = c;
  {
    RootedNode big(alloc_cells(s.big_buffers.size()));
    for (uint64_t size : s.big_buffers) {
      Cell f = figure(size);
      f.set_new_line(true);
      *alloc_tail(big) = f;
    }
    c = series_cell(TYPE_BLOCK, big, 0);
    c.set_new_line(true);
    *alloc_tail(out) = c;
  }
  *alloc_tail(out) = figure(s.total_bytes);
  *alloc_tail(out) = figure(s.heap_bytes);
  g_gc.enabled = was;
  return series_cell(TYPE_BLOCK, out, 0);
}

// /show hands the figures to the library's show-memory-stats, which prints
// them.
may_gc Status show_stats(Cell* base) {
  uint32_t name = symbol::make("show-memory-stats");
  Cell w = context::add_global(name);
  RootedCell fn(word::get_any(w));
  if (!is_callable(fn->type())) fire(ErrId::NO_VALUE, w);
  RootedCell data(stats_block());
  RootedCell answer;
  VEL_TRY(interp::call_callback(*fn, name, 0, data.get(), 1, answer.get()));
  base[RESULT] = unset_cell();
  return Status::OK;
}

Status native_stats(Cell* base) {
  using enum nat::stats::Frame;
  bool show = used(base[SHOW]), info = used(base[INFO]);
  if (show) return show_stats(base);
  base[RESULT] = info ? stats_block() : figure(memory_stats().bytes_in_use);
  return Status::OK;
}

// --- transcode ----------------------------------------------------------------------------

// The scan is the lexer's; a signal out of a callback ends it here.
Status native_transcode(Cell* base) {
  try {
    return lexer::transcode_native(base);
  } catch (const lexer::LexerSignal& signal) {
    return signal.status;
  }
}

constexpr NativeEntry kSystemNatives[] = {
    {NAT_WAIT, native_wait},       {NAT_CHECKSUM, checksum::native_checksum},
    {NAT_SET_ENV, native_set_env}, {NAT_GET_ENV, native_get_env}, {NAT_LIST_ENV, native_list_env},
    {NAT_NOW, native_now},         {NAT_CALL, ext_process::native_call},
    {NAT_BROWSE, native_browse},   {NAT_RECYCLE, native_recycle},
    {NAT_STATS, native_stats},
    {NAT_COMPRESS, compress::native_compress},
    {NAT_DECOMPRESS, compress::native_decompress},
    {NAT_TRANSCODE, native_transcode},
};

}  // namespace

void register_natives_system() { register_natives(kSystemNatives, std::size(kSystemNatives)); }

}  // namespace vel
