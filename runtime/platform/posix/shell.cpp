// The desktop shell for the Linux build: xdg-open, when installed.
#include "platform/shell.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace vel::platform {

namespace {

std::string find_on_path(const char* program) {
  const char* path = std::getenv("PATH");
  if (!path) return {};
  std::string dirs(path);
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    std::string full = (dir.empty() ? "." : dir) + "/" + program;
    if (access(full.c_str(), X_OK) == 0) return full;
    start = end + 1;
  }
  return {};
}

}  // namespace

bool shell_open(const std::string& target) {
  std::string opener = find_on_path("xdg-open");
  if (opener.empty()) return false;
  // Run it in a grandchild so that it is not left as a zombie of ours and
  // the caller does not wait for the browser.
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    if (fork() == 0) {
      execl(opener.c_str(), opener.c_str(), target.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    _exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0)
    if (errno != EINTR) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace vel::platform
