// Process services for the Linux build.
#include <fenv.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fatal.h"
#include "platform/platform.h"

namespace vel::platform {

namespace {
std::vector<std::string> g_args;
}

void set_args(int argc, char** argv) {
  g_args.assign(argv, argv + argc);
}

void* reserve_pages(size_t size) {
  void* p = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

bool commit_pages(void* p, size_t size) { return mprotect(p, size, PROT_READ | PROT_WRITE) == 0; }

void decommit_pages(void* p, size_t size) {
  madvise(p, size, MADV_DONTNEED);
  mprotect(p, size, PROT_NONE);
}

void protect_pages(void* p, size_t size, bool accessible) {
  mprotect(p, size, accessible ? PROT_READ | PROT_WRITE : PROT_NONE);
}

void release_pages(void* p, size_t size) { munmap(p, size); }

void* alloc_pages(size_t size) {
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  return p;
}

bool free_pages(void* p, size_t size) { return munmap(p, size) == 0; }

void init_fpu() {
  // IEEE double, round to nearest, nothing traps.
  fesetround(FE_TONEAREST);
  fedisableexcept(FE_ALL_EXCEPT);
}

std::atomic<int> g_interrupt_pending{0};

namespace {

std::atomic<bool> g_interrupt_halts{false};

void on_fault(int sig) {
  int code = 99;
  switch (sig) {
    case SIGSEGV: code = 1; break;
    case SIGFPE: code = 13; break;
    case SIGILL: code = 17; break;
    case SIGBUS: code = 34; break;
    case SIGINT: code = 0; break;
  }
  fatal_error(code, 0);
}

void on_interrupt(int sig) {
  if (g_interrupt_halts.load() && g_interrupt_pending.exchange(1) == 0) return;
  on_fault(sig);
}

}  // namespace

void interrupt_halts(bool on) {
  g_interrupt_halts.store(on);
  g_interrupt_pending.store(0);
}

void install_fault_handlers() {
  // Faults report like the Windows build's exception filter. Sanitizer
  // builds keep their own handlers, which report more.
#if !defined(__SANITIZE_ADDRESS__)
  struct sigaction sa {};
  sa.sa_handler = on_fault;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND;
  for (int sig : {SIGSEGV, SIGFPE, SIGILL, SIGBUS}) sigaction(sig, &sa, nullptr);
#endif
  struct sigaction si {};
  si.sa_handler = on_interrupt;
  sigemptyset(&si.sa_mask);
  sigaction(SIGINT, &si, nullptr);
}

void init() {}

std::vector<std::string> command_line_args(bool& ok) {
  ok = true;
  return g_args;
}

std::string command_line() {
  std::string line;
  for (size_t i = 0; i < g_args.size(); i++) {
    if (i) line += ' ';
    const std::string& a = g_args[i];
    bool quote = a.empty() || a.find_first_of(" \t\"") != std::string::npos;
    if (quote) line += '"';
    line += a;
    if (quote) line += '"';
  }
  return line;
}

bool test_mode() { return true; }

void write_stream(Stream s, const char* bytes, size_t n) {
  int fd = s == Stream::Out ? 1 : 2;
  while (n > 0) {
    ssize_t w = ::write(fd, bytes, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes += w;
    n -= size_t(w);
  }
}

void error_box(const std::string& caption, const std::string& text) {
  std::string msg = caption + ": " + text + "\n";
  write_stream(Stream::Err, msg.data(), msg.size());
}

void exit_process(int status) {
  std::exit(status);
}

bool read_file(const std::string& path, std::string& out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  out.clear();
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  bool ok = !std::ferror(f);
  std::fclose(f);
  return ok;
}

}  // namespace vel::platform
