// The entry point: the whole program in one straight line.
#include <cstdlib>
#include <cstring>

#include "collector.h"
#include "fatal.h"
#include "memory.h"
#include "platform/platform.h"
#include "roots.h"
#include "evaluator/script.h"
#include "runtime_init.h"
#include "startup.h"

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
  // The build's host tool: vel --write-boot-image OUT ROOT MANIFEST.
  if (args.size() == 5 && args[1] == "--write-boot-image")
    platform::exit_process(write_boot_image(args[2], args[3], args[4]));
  start_runtime();
  if (const char* trace = std::getenv("VEL_TRACE_INIT"); trace && *trace == '1') {
    for (const std::string& step : init_log()) {
      std::string line = "init: " + step + "\n";
      platform::write_stream(platform::Stream::Err, line.data(), line.size());
    }
  }
  // Last, the console takes the command line: it runs the script named
  // there, or reads commands, until quit; when launch returns the process
  // ends quietly with status 0.
  // The call is start-up's own, not interpreted code: an error the console
  // reports from outside any script or command is near nothing.
  RootedCell launch(load_text("system/console/launch"));
  node_buffer(launch->node())->flags |= BUF_LIBRARY;
  series_changed(launch->node());
  (void)run_code(*launch);
}

int vel_main() {
  vel::run_outermost(start);
  // launch returned: the process ends quietly with status 0.
  vel::fatal_error(0, 0);
}

}  // namespace

#ifdef _WIN32
int wmain(int, wchar_t**) { return vel::run_with_big_stack(vel_main); }
#else
int main(int argc, char** argv) {
  vel::platform::set_args(argc, argv);
  return vel::run_with_big_stack(vel_main);
}
#endif
