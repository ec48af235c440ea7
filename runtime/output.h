// Output hooks and console output.
//
// All printing leaves the runtime by one of two roads. Language-level
// printing (`print`, `prin`) hands each value to the value hooks; the
// low-level prints (diagnostics, start-up messages, tools) write to standard
// output through the console writer and then hand the same text to the
// raw-text hooks. A front end (the GUI console) registers its own hooks so
// both roads end in its terminal.
//
// The hook tables are the list of print destinations a program registers,
// not a way from this layer up to another: the one destination the runtime
// itself installs, standard output (stdout_print_hook), lives here.
//
// The console writer renders ANSI escape sequences through a ConsoleDevice
// when standard output is a Windows console, and writes UTF-8 bytes (escapes
// untouched) otherwise, which is always the case on Linux.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "cell.h"
#include "platform/console.h"

namespace vel {

// --- hooks ----------------------------------------------------------------

using ValueHook = void (*)(const Cell* value, bool newline);
// text is UTF-8 and not necessarily NUL-terminated; flag is 1 when a
// newline follows the text.
using TextHook = void (*)(const char* text, size_t len, int flag);

// Hooks in registration order. Room starts at 5 and grows by 5.
template <class Fn>
class HookTable {
 public:
  static constexpr size_t GROWTH = 5;
  void init();         // room for GROWTH entries, if there is none yet
  void add(Fn f);      // null is ignored
  bool remove(Fn f);   // first equal entry, closing the gap; false if absent
  size_t count() const { return count_; }
  size_t capacity() const { return capacity_; }
  Fn at(size_t i) const { return items_[i]; }
  // Calls every hook in order. A hook may add or remove hooks while it runs
  // (indexes are re-read each step); a removal during the walk may skip the
  // hook that moved into the removed slot.
  template <class... Args>
  void call(Args... args) const {
    for (size_t i = 0; i < count_; i++) items_[i](args...);
  }

 private:
  std::unique_ptr<Fn[]> items_;
  size_t count_ = 0, capacity_ = 0;
};

extern template class HookTable<ValueHook>;
extern template class HookTable<TextHook>;

// First step of the runtime initialisation.
void dyn_print_init();
// Appends each non-null hook to its table.
void dyn_print_add(ValueHook value_hook, TextHook text_hook);
// Removes the first equal entry of each non-null hook from its table.
void dyn_print_remove(ValueHook value_hook, TextHook text_hook);
void dyn_print_call_value_hooks(const Cell* value, bool newline);
void dyn_print_call_text_hooks(const char* text, size_t len, int flag);
const HookTable<ValueHook>& value_hooks();
// The value hook that writes a string! from its index (and a line end) to
// standard output through the console writer; other values are ignored.
// Installed at start-up, removable by a front end that prints elsewhere.
void stdout_print_hook(const Cell* text, bool newline);

// --- the console writer -----------------------------------------------------

// Console mode stages UTF-16 and hands it to the device in writes of at most
// CONSOLE_CHUNK units; byte mode stages UTF-8 and hands it to the sink once
// more than BYTE_FLUSH bytes are staged, and at the end of every write.
constexpr size_t CONSOLE_CHUNK = 510;
constexpr size_t BYTE_FLUSH = 1020;
// The line end of byte-mode output: CR LF on Windows, LF on Linux.
#ifdef _WIN32
constexpr const char* BYTE_NEWLINE = "\r\n";
#else
constexpr const char* BYTE_NEWLINE = "\n";
#endif

class ConsoleWriter {
 public:
  using ByteSink = void (*)(void* ctx, const char* bytes, size_t n);

  // console: the device to render on, or nullptr for byte mode.
  ConsoleWriter(ConsoleDevice* console, ByteSink sink, void* sink_ctx);

  // Writes text of size_in_bytes bytes made of units of 1 (Latin-1), 2
  // (UTF-16 / UCS-2) or 4 (code points) bytes, little-endian; a trailing
  // partial unit is ignored. Any other unit raises script/invalid-arg.
  // In console mode units 1 and 2 interpret escape sequences; unit 4 does
  // not, and ends its newline with LF alone.
  void write(const void* text, size_t size_in_bytes, int unit, bool newline);
  // Writes UTF-8 text: unchanged in byte mode, decoded and rendered (escape
  // sequences included) in console mode.
  void write_utf8(const char* text, size_t n, bool newline);

  // Keeps the console's current attribute as the one that SGR 0, 39 and 49
  // and the erase sequences restore.
  void save_default_attributes();

 private:
  template <class U>
  void console_units(const uint8_t* text, size_t n, bool newline);
  void console_code_points(const uint8_t* text, size_t n, bool newline);
  template <class U>
  size_t interpret_escape(const uint8_t* text, size_t n);
  void console_info_print();
  void stage_unit(char16_t u);
  void flush_units();
  void flush_pending_literally();

  void byte_units(const uint8_t* text, size_t n, int unit, bool newline);
  void stage_code_point(uint32_t cp);
  void stage_bytes(const char* bytes, size_t n);
  void flush_bytes();

  static constexpr size_t PENDING_MAX = 32;

  ConsoleDevice* console_;
  ByteSink sink_;
  void* sink_ctx_;
  uint16_t default_attr_ = 0x07;
  ConsoleCoord saved_cursor_;
  size_t nunits_ = 0, nbytes_ = 0, npending_ = 0;
  char16_t units_[CONSOLE_CHUNK + 2];
  char bytes_[BYTE_FLUSH + 4];
  // The start of an escape sequence that a write ended in, carried over to
  // the next write so that a sequence split across writes still renders.
  char16_t pending_[PENDING_MAX];
};

// The writer of the process's standard output. Byte mode until console_init
// finds a console; tests may assign a writer of their own and restore it.
ConsoleWriter& stdout_writer();
// Attaches standard output to the process's console when there is one, and
// keeps the console's attribute as the default. Call once at start-up after
// dyn_print_init and platform::init.
void console_init();
void console_write(const void* text, size_t size_in_bytes, int unit, bool newline);

// --- low-level prints -------------------------------------------------------
// Each writes to standard output, then passes the same UTF-8 text to the
// raw-text hooks (flag 0).

void print_cstring(const char* text);
void print_utf8(const char* text, size_t n);
void print_integer(int32_t value);
void print_hex2(uint8_t value);   // "%02X"
void print_hex8(uint32_t value);  // "%08X"
void print_float(double value);   // "%.16g"
void print_float32(float value);  // "%.7g"

}  // namespace vel
