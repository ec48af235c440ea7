// The C++ entries of the routines that the system object and the library
// make at start-up (library/system.vel): each is registered by the name
// that its routine's body gives.
#include "system_routines.h"

#include <string>

#include "collector.h"
#include "datatypes/block.h"
#include "datatypes/context.h"
#include "datatypes/error.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/handle.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/word.h"
#include "errors.h"
#include "frame.h"
#include "routine_frames.h"
#include "evaluator/script.h"
#include "families.h"
#include "library.h"
#include "datatypes/logic.h"
#include "evaluator/trace.h"
#include "platform/line_input.h"
#include "platform/os.h"
#include "platform/platform.h"
#include "roots.h"
#include "unicode.h"

// Written at build time from the source repository (cmake/build_info.cmake).
#include "build_info.inc"

namespace vel {

namespace {

may_gc Cell word_cell(const char* text) { return word::load(text); }

// The settings this executable was built with, as set-word / value pairs
// in the order of system/build/config: what differs between the two
// builds is decided here by the compiler, so each build tells its own.
Status build_config(Cell* base) {
#ifdef _WIN32
  constexpr bool windows = true;
#else
  constexpr bool windows = false;
#endif
#ifdef NDEBUG
  constexpr bool debug = false;
#else
  constexpr bool debug = true;
#endif
#if defined(__PIC__) || defined(__PIE__)
  constexpr bool pic = !windows;
#else
  constexpr bool pic = false;
#endif
#if defined(__x86_64__) || defined(_M_X64)
  const char* target = "x86-64";
#elif defined(__aarch64__)
  const char* target = "ARM64";
#else
  const char* target = "unknown";
#endif
  const char* os = windows ? "Windows" : "Linux";
  RootedCell out(block::make_at(100));
  auto put = [&](const char* name, auto make_value) {
    Cell sw = word_cell(name);
    sw.set_type(TYPE_SET_WORD);
    block::rs_append(out->node(), sw);
    RootedCell v(make_value());
    block::rs_append(out->node(), *v);
  };
  auto w = [](const char* t) { return [t] { return word_cell(t); }; };
  auto lg = [](bool b) { return [b] { return logic_cell(b); }; };
  auto none = [] { return none_cell(); };
  auto in = [](int32_t n) { return [n] { return integer_cell(n); }; };
  put("config-name", w(os));
  put("OS", w(os));
  put("OS-version", in(0));
  put("ABI", none);
  put("link?", lg(true));
  put("debug?", lg(debug));
  put("encap?", lg(false));
  put("build-prefix", [] { return string::load("", TYPE_FILE); });
  put("build-basename", [] { return string::load("vel", TYPE_FILE); });
  put("build-suffix", [] { return windows ? string::load(".exe", TYPE_FILE) : none_cell(); });
  put("format", w(windows ? "PE" : "ELF"));
  put("type", w("exe"));
  put("target", w(target));
  put("cpu-version", [] { return float_cell(6.0); });
  put("verbosity", in(0));
  put("sub-system", w(windows ? "GUI" : "console"));
  put("runtime?", lg(true));
  put("use-natives?", lg(false));
  put("debug-safe?", lg(true));
  put("dev-mode?", lg(false));
  put("static-link?", lg(windows));
  put("need-main?", lg(false));
  put("PIC?", lg(pic));
  put("base-address", none);
  put("dynamic-linker", [] { return windows ? none_cell() : string::load("/lib64/ld-linux-x86-64.so.2"); });
  put("syscall", w(os));
  put("export-ABI", none);
  put("stack-align-16?", lg(true));
  put("literal-pool?", lg(false));
  put("idiv?", lg(true));
  put("unicode?", lg(windows));
  put("vel-pass?", lg(true));
  put("vel-only?", lg(false));
  put("vel-store-bodies?", lg(true));
  put("vel-strict-check?", lg(true));
  put("vel-tracing?", lg(true));
  put("vel-help?", lg(true));
  put("velbin-compress?", lg(false));
  put("legacy", none);
  put("gui-console?", lg(windows));
  put("libVel?", lg(false));
  put("libVelRT?", lg(false));
  put("libVelRT-update?", lg(false));
  put("GUI-engine", w(windows ? "native" : "headless"));
  put("draw-engine", none);
  put("modules", [] { return block::make_at(1); });
  put("show", none);
  put("command-line", none);
  put("show-func-map?", lg(false));
  base[RESULT] = *out;
  return Status::OK;
}

// Text as a Vel string literal.
std::string vel_string(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '^') out += '^';
    if (c == '\n') {
      out += "^/";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

// build-info: [date <the build's date> git <set-words and values of
// system/build/git, or none when the build was made outside a repository>].
Status build_info(Cell* base) {
  std::string text = std::string("date ") + VEL_BUILD_DATE + " git ";
  std::string_view commit = VEL_BUILD_COMMIT;
  if (commit.empty()) {
    text += "none";
  } else {
    text += "[branch: " + vel_string(VEL_BUILD_BRANCH) + " ahead: " + std::to_string(VEL_BUILD_AHEAD) +
            " date: " + VEL_BUILD_GIT_DATE + " commit: #" + std::string(commit) +
            " message: " + vel_string(VEL_BUILD_MESSAGE) + "]";
  }
  base[RESULT] = load_text(text);
  return Status::OK;
}

Status null_handle(Cell* base) {
  base[RESULT] = handle_cell(0, HANDLE_NULL);
  return Status::OK;
}

// The global context seen as an object; it is also the context's owner,
// what `self` gives there.
Status global_object(Cell* base) {
  Cell o = make_cell(TYPE_OBJECT, context::g_global, uint32_t(-1), 0);
  context::owner(context::g_global) = o;
  base[RESULT] = o;
  return Status::OK;
}

// The catalog block of library/errors.vel (after its header).
Status error_catalog(Cell* base) {
  Cell code = error::catalog_code();
  if (!code.is(TYPE_BLOCK)) fire(ErrId::NOT_DONE);
  Buffer* b = node_buffer(code.node());
  uint32_t at = b->used() >> 4 >= 3 ? 2 : 0;
  base[RESULT] = b->cells()[at];
  return Status::OK;
}

Status command_line(Cell* base) {
  base[RESULT] = string::load(platform::command_line());
  return Status::OK;
}

// os-info: an object of name (string!), arch (word!), version (a tuple!
// of major, minor and service pack) and build (integer!).
Status os_info(Cell* base) {
  platform::OsInfo info = platform::os_info();
  RootedCell spec(block::make_at(8));
  auto put = [&](const char* name, Cell value) {
    RootedCell v(value);
    Cell sw = word_cell(name);
    sw.set_type(TYPE_SET_WORD);
    block::rs_append(spec->node(), sw);
    block::rs_append(spec->node(), *v);
  };
  put("name", string::load(info.name));
  put("arch", word_cell(info.arch.c_str()));
  // A tuple of three bytes: the count in header bits 19-22, byte 1 lowest.
  Cell version = make_cell(TYPE_TUPLE, uint32_t(info.major & 255) | uint32_t(info.minor & 255) << 8 |
                                           uint32_t(info.service_pack & 255) << 16);
  version.header |= 3u << 19;
  put("version", version);
  put("build", integer_cell(info.build));
  base[RESULT] = object::construct(*spec, nullptr, true);
  return Status::OK;
}

Status collector_active(Cell* base) {
  base[RESULT] = logic_cell(g_gc.enabled);
  return Status::OK;
}

Status collector_cycles(Cell* base) {
  base[RESULT] = integer_cell(int32_t(g_gc.cycles & 0x7FFFFFFF));
  return Status::OK;
}

// Node pools are compacted with the series, in every cycle.
Status collector_node_cycles(Cell* base) { return collector_cycles(base); }

// The runtime's mirror of system/state/callbacks/bits.
Status set_callback_bits(Cell* base) {
  using enum rtn::set_callback_bits::Frame;
  trace::g_callback_bits = uint32_t(base[BITS].i2());
  return Status::OK;
}

// system/options/float: the word of the field and its new value.
Status set_float_option(Cell* base) {
  using enum rtn::set_float_option::Frame;
  std::string_view field = symbol::text(symbol::resolve(base[WORD].w2));
  bool on = truthy(base[NEW]);
  if (field == "pretty?") g_float_options.pretty = on;
  else if (field == "full?") g_float_options.full = on;
  base[RESULT] = unset_cell();
  return Status::OK;
}

// Code run by the boot image stands for the compiled library: only code
// run after it counts as interpreted.
// Typed or piped bytes that are not UTF-8 each become U+FFFD.
std::string utf8_repair(const std::string& in) {
  std::string out;
  out.reserve(in.size());
  const auto* p = reinterpret_cast<const uint8_t*>(in.data());
  size_t i = 0;
  while (i < in.size()) {
    uint32_t len = 0;
    int32_t cp = decode_utf8_loading(p + i, in.size() - i, &len);
    if (cp < 0) {
      out += "\xEF\xBF\xBD";
      i++;
    } else {
      out.append(in, i, len);
      i += len;
    }
  }
  return out;
}

// The text console's input: a line (without its line end) or none at the
// end of input. Bytes that are not UTF-8 become U+FFFD rather than an error
// at the prompt.
Status console_read_line(Cell* base) {
  using enum rtn::console_read_line::Frame;
  std::string prompt = to_utf8(base[PROMPT].node(), base[PROMPT].index());
  std::string line;
  if (!platform::read_line(prompt, truthy(base[HIDE]), line)) {
    base[RESULT] = none_cell();
    return Status::OK;
  }
  base[RESULT] = string::load(utf8_repair(line));
  return Status::OK;
}

// A title that cannot be set is reported and the console goes on.
Status set_console_title(Cell* base) {
  using enum rtn::set_console_title::Frame;
  if (!platform::set_console_title(to_utf8(base[STR].node(), base[STR].index()))) {
    static const char kMsg[] = "SetConsoleTitle failed!\n";
    platform::write_stream(platform::Stream::Out, kMsg, sizeof kMsg - 1);
  }
  base[RESULT] = unset_cell();
  return Status::OK;
}

// Whether Ctrl+C halts the evaluation under way (the console's commands at
// a terminal) rather than ending the process.
Status console_interrupts(Cell* base) {
  using enum rtn::console_interrupts::Frame;
  platform::interrupt_halts(truthy(base[ON]));
  base[RESULT] = unset_cell();
  return Status::OK;
}

Status console_terminal(Cell* base) {
  base[RESULT] = logic_cell(platform::input_is_terminal());
  return Status::OK;
}

// Columns x rows of the terminal, 0x0 when there is none.
Status console_size(Cell* base) {
  int columns = 0, rows = 0;
  platform::terminal_size(columns, rows);
  base[RESULT] = pair_cell(columns, rows);
  return Status::OK;
}

Status interpreted(Cell* base) {
  base[RESULT] = logic_cell(!func::g_library_bodies.is(TYPE_BLOCK));
  return Status::OK;
}

// set-quiet word value: sets the word without telling its object.
Status set_quiet(Cell* base) {
  using enum rtn::set_quiet::Frame;
  Cell w = base[WORD];
  TypeId t = w.type();
  if (!is_word_form(t))
    fire(ErrId::EXPECT_ARG, word_cell("set-quiet"), datatype_cell(t), word_cell("word"));
  if (!w.w1) fire(ErrId::INVALID_ARG, w);
  context::set_in(&w, base[VALUE], w.w1, false);
  base[RESULT] = base[VALUE];
  return Status::OK;
}

// set-slot-quiet series value: overwrites the series' cell at its position
// without telling its owner; nothing at the tail.
Status set_slot_quiet(Cell* base) {
  using enum rtn::set_slot_quiet::Frame;
  Cell s = base[SERIES];
  TypeId t = s.type();
  if (t != TYPE_BLOCK && t != TYPE_PAREN && (t < TYPE_PATH || t > TYPE_GET_PATH))
    fire(ErrId::EXPECT_ARG, word_cell("set-slot-quiet"), datatype_cell(TYPE_BLOCK), word_cell("series"));
  Buffer* b = node_buffer(s.node());
  if (s.index() >= 0 && uint32_t(s.index()) < (b->used() >> 4)) {
    b->cells()[s.index()] = base[VALUE];
    // Quiet to the owner, not to compiled code made from the block.
    series_changed(s.node());
  }
  base[RESULT] = unset_cell();
  return Status::OK;
}

}  // namespace

void register_system_routines() {
  struct Entry {
    const char* name;
    func::RoutineFn fn;
  } entries[] = {
      {rtn::build_config::NAME, build_config},
      {rtn::build_info::NAME, build_info},
      {rtn::global_object::NAME, global_object},
      {rtn::null_handle::NAME, null_handle},
      {rtn::error_catalog::NAME, error_catalog},
      {rtn::command_line::NAME, command_line},
      {rtn::os_info::NAME, os_info},
      {rtn::collector_active_q::NAME, collector_active},
      {rtn::collector_cycles::NAME, collector_cycles},
      {rtn::collector_node_cycles::NAME, collector_node_cycles},
      {rtn::set_callback_bits::NAME, set_callback_bits},
      {rtn::set_float_option::NAME, set_float_option},
      {rtn::set_quiet::NAME, set_quiet},
      {rtn::set_slot_quiet::NAME, set_slot_quiet},
      {rtn::interpreted_q::NAME, interpreted},
      {rtn::console_read_line::NAME, console_read_line},
      {rtn::console_terminal_q::NAME, console_terminal},
      {rtn::console_interrupts::NAME, console_interrupts},
      {rtn::console_size::NAME, console_size},
      {rtn::set_console_title::NAME, set_console_title},
  };
  for (const Entry& e : entries) func::routine_register(e.name, e.fn);
}

}  // namespace vel
