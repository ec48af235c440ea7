// Child processes: one run of a command, optionally through the shell,
// with its standard streams fed from and captured into memory or files.
// Texts cross this interface as UTF-8 (command, paths); captured streams
// come back as raw bytes.
#pragma once
#include <cstdint>
#include <string>

namespace vel::platform {

// Where one standard stream of the child goes, or comes from.
struct Redirect {
  enum class Kind : uint8_t { None, Data, File };
  Kind kind = Kind::None;
  std::string path;   // Kind::File: an operating-system path
  std::string bytes;  // Kind::Data, input only: the bytes fed to the child
};

struct SpawnRequest {
  std::string command;
  bool wait = false;
  bool show = false;
  bool shell = false;
  Redirect input, output, error;
};

struct SpawnResult {
  // The exit status after waiting (128 + the signal number for a child
  // killed by a signal), the process id without waiting, or -1 when the
  // process could not be started or a redirection could not be set up.
  int64_t status = -1;
  bool via_shell = false;  // the command ran through the shell
  std::string output, error;  // captured bytes, every one kept
};

// Runs the command. Without a shell the command line is split into
// arguments (blanks outside double quotes separate, the quotes go); a
// program that cannot be found is retried once through the shell, which
// answers its own "not found" status. Windows: CreateProcessW, "cmd /s /c".
// Linux: posix_spawn, "/bin/sh -c". A redirection forces waiting. Input is
// written and both outputs drained at the same time, so a child that fills
// one pipe while the other side is busy with another never blocks both.
SpawnResult spawn(const SpawnRequest& request);

// Captured text of a command run through the shell is in the system's ANSI
// code page on Windows: this gives it as UTF-8. Linux: unchanged.
std::string shell_text_to_utf8(const std::string& bytes);

}  // namespace vel::platform
