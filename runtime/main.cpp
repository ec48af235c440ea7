// The entry point: the whole program in one straight line.
#include <cstdlib>
#include <cstring>

#include "collector.h"
#include "fatal.h"
#include "platform/platform.h"
#include "runtime_init.h"

namespace {

void start() {
  using namespace vel;
  platform::init_fpu();
  platform::install_fault_handlers();
  bool args_ok = true;
  std::vector<std::string> args = platform::command_line_args(args_ok);
  if (!args_ok) {
    static const char kMsg[] = "CommandLineToArgvW failed!\n";
    platform::write_stream(platform::Stream::Out, kMsg, sizeof kMsg - 1);
  }
  runtime_init();
  if (const char* trace = std::getenv("VEL_TRACE_INIT"); trace && *trace == '1') {
    for (const std::string& step : init_log()) {
      std::string line = "init: " + step + "\n";
      platform::write_stream(platform::Stream::Err, line.data(), line.size());
    }
  }
  g_gc.enabled = true;
  g_initialising = false;
  // The top-level code and the console's launch plug in here.
}

int vel_main() {
  vel::run_outermost(start);
  // launch returned: the process ends quietly with status 0.
  vel::fatal_error(0, 0);
}

}  // namespace

#ifdef _WIN32
int wmain(int, wchar_t**) { return vel_main(); }
#else
#include <pthread.h>

// The interpreter runs on a thread with a 256 MB stack, as the Windows
// build's main thread has, so that depth guards rather than the machine
// decide how deep recursion may go.
int main(int argc, char** argv) {
  vel::platform::set_args(argc, argv);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, size_t(256) << 20);
  pthread_t thread;
  static int status = 0;
  auto run = [](void*) -> void* {
    status = vel_main();
    return nullptr;
  };
  if (pthread_create(&thread, &attr, run, nullptr) != 0) return vel_main();
  pthread_join(thread, nullptr);
  return status;
}
#endif
