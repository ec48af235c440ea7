// Console input on Linux: libedit on a terminal, plain reads otherwise.
#include "platform/line_input.h"

#include <histedit.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace vel::platform {

namespace {

constexpr int kHistorySize = 200;  // as many lines as the console's history block holds
constexpr int kEscapeWaitMs = 40;  // a key's escape sequence arrives within this

EditLine* g_el = nullptr;
History* g_history = nullptr;
std::string g_prompt;
bool g_cancelled = false;

char* prompt_text(EditLine*) { return g_prompt.data(); }

// Both ways of cancelling a line end it at once: the reader hands libedit a
// line feed and remembers why.
int cancel(wchar_t* out) {
  g_cancelled = true;
  *out = L'\n';
  return 1;
}

bool byte_ready(int wait_ms) {
  pollfd p{STDIN_FILENO, POLLIN, 0};
  return poll(&p, 1, wait_ms) > 0;
}

// libedit's character source: bytes from standard input decoded as UTF-8.
// A lone Escape (no sequence follows) and Ctrl+C cancel the line; escape
// sequences of the cursor keys pass through to libedit's key bindings.
int read_char(EditLine*, wchar_t* out) {
  auto next_byte = [](unsigned char& b) -> int {
    for (;;) {
      ssize_t n = ::read(STDIN_FILENO, &b, 1);
      if (n == 1) return 1;
      if (n == 0) return 0;
      if (errno != EINTR) return -1;
    }
  };
  unsigned char b;
  int r = next_byte(b);
  if (r != 1) return r;
  if (b == 0x03) return cancel(out);
  if (b == 0x1B && !byte_ready(kEscapeWaitMs)) return cancel(out);
  if (b < 0x80) {
    *out = wchar_t(b);
    return 1;
  }
  int more = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : 0;
  uint32_t cp = more == 3 ? b & 0x07u : more == 2 ? b & 0x0Fu : b & 0x1Fu;
  if (more == 0) cp = 0xFFFD;  // a stray continuation byte
  for (int i = 0; i < more; i++) {
    unsigned char c;
    if (next_byte(c) != 1 || (c & 0xC0) != 0x80) {
      cp = 0xFFFD;
      break;
    }
    cp = (cp << 6) | (c & 0x3Fu);
  }
  *out = wchar_t(cp);
  return 1;
}

void close_editor() {
  if (g_el) el_end(g_el);
  if (g_history) history_end(g_history);
  g_el = nullptr;
  g_history = nullptr;
}

bool open_editor() {
  if (g_el) return true;
  // libedit measures and draws characters by the locale's encoding; the
  // runtime's text is UTF-8 whatever the environment says.
  if (!std::setlocale(LC_CTYPE, "")) std::setlocale(LC_CTYPE, "C.UTF-8");
  if (MB_CUR_MAX == 1) std::setlocale(LC_CTYPE, "C.UTF-8");
  g_el = el_init("vel", stdin, stdout, stderr);
  if (!g_el) return false;
  g_history = history_init();
  HistEvent ev;
  if (g_history) {
    history(g_history, &ev, H_SETSIZE, kHistorySize);
    history(g_history, &ev, H_SETUNIQUE, 1);
    el_set(g_el, EL_HIST, history, g_history);
  }
  el_set(g_el, EL_EDITOR, "emacs");
  el_set(g_el, EL_PROMPT, prompt_text);
  el_set(g_el, EL_GETCFN, read_char);
  // Ctrl+C reaches read_char as a byte, not as a signal to whichever thread
  // the system picks.
  el_set(g_el, EL_SETTY, "-d", "-isig", static_cast<const char*>(nullptr));
  std::atexit(close_editor);  // puts the terminal back as it was
  return true;
}

// Without echo, for /hide: the line is read plainly and a new line shown.
bool read_hidden(std::string& line) {
  termios saved{}, quiet{};
  bool tty = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (tty) {
    quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  line.clear();
  bool got = false;
  unsigned char b;
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, &b, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got = true;
    if (b == '\n') break;
    line += char(b);
  }
  if (tty) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    write_stream(Stream::Out, "\n", 1);
  }
  return got;
}

// A pipe or a file: lines of any length, a final line without its line end
// included; CR LF ends a line like LF.
bool read_plain(std::string& line) {
  static char* buf = nullptr;
  static size_t cap = 0;
  ssize_t n = getline(&buf, &cap, stdin);
  if (n < 0) return false;
  line.assign(buf, size_t(n));
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace

bool input_is_terminal() { return isatty(STDIN_FILENO) && isatty(STDOUT_FILENO); }

bool read_line(std::string_view prompt, bool hide, std::string& line) {
  if (!input_is_terminal() || !open_editor()) {
    if (!prompt.empty()) write_stream(Stream::Out, prompt.data(), prompt.size());
    return hide ? read_hidden(line) : read_plain(line);
  }
  if (hide) {
    write_stream(Stream::Out, prompt.data(), prompt.size());
    return read_hidden(line);
  }
  g_prompt.assign(prompt);
  g_cancelled = false;
  int count = 0;
  const char* got = el_gets(g_el, &count);
  if (!got || count <= 0) {
    if (!g_cancelled) {
      write_stream(Stream::Out, "\n", 1);
      return false;
    }
    got = "";
  }
  line.assign(got);
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (g_cancelled) {
    line += char(27);
  } else if (!line.empty() && g_history) {
    HistEvent ev;
    history(g_history, &ev, H_ENTER, line.c_str());
  }
  return true;
}

void terminal_size(int& columns, int& rows) {
  columns = rows = 0;
  winsize ws{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 || ioctl(STDIN_FILENO, TIOCGWINSZ, &ws) == 0) {
    columns = ws.ws_col;
    rows = ws.ws_row;
  }
}

bool set_console_title(const std::string&) { return true; }

}  // namespace vel::platform
