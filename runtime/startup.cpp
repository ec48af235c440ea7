#include "startup.h"

#include "action_frames.h"

#ifndef _WIN32
#include <pthread.h>
#endif

#include <new>
#include <string>
#include <string_view>

#include "boot.h"
#include "collector.h"
#include "datatypes/error.h"
#include "datatypes/registry.h"
#include "datatypes/word.h"
#include "errors.h"
#include "evaluator/script.h"
#include "fatal.h"
#include "io/codecs.h"
#include "io/csv.h"
#include "io/json.h"
#include "platform/platform.h"
#include "roots.h"
#include "runtime_init.h"
#include "library_routines.h"
#include "system_routines.h"

namespace vel {

namespace {

// The boot code makes every native and action with `make`, so the word
// starts out holding the make action over a bare spec; the library then
// defines it with its full spec.
may_gc void seed_make_word() {
  RootedCell spec(load_text("[type spec] 1"));
  RootedCell make(
      call_action(act::make::SHAPE, {{act::make::TYPE, datatype_cell(TYPE_ACTION)}, {act::make::SPEC, *spec}}));
  Cell w = word::load("make");
  word::set(&w, *make);
}

}  // namespace

void start_runtime() {
  runtime_init();
  g_gc.enabled = true;
  g_initialising = false;
  run_boot_library();
}

void run_boot_library() {
  seed_make_word();
  register_system_routines();
  register_library_routines();
  codecs::register_routines();
  json::register_routines();
  csv::register_routines();
  boot::run();
  collector_boot_done();
}

int write_boot_image(const std::string& out, const std::string& root, const std::string& manifest) {
  runtime_init();
  g_gc.enabled = true;
  g_initialising = false;
  return boot::write_image(out, root, manifest);
}

int run_with_big_stack(int (*fn)()) {
#ifdef _WIN32
  return fn();  // the linker reserves the main thread's stack
#else
  struct Job {
    int (*fn)();
    int result;
  } job{fn, 0};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, size_t(256) << 20);
  pthread_t thread;
  auto run = [](void* p) -> void* {
    auto* j = static_cast<Job*>(p);
    j->result = j->fn();
    return nullptr;
  };
  if (pthread_create(&thread, &attr, run, &job) != 0) return fn();
  pthread_join(thread, nullptr);
  return job.result;
#endif
}

void run_outermost(void (*body)()) {
  try {
    body();
  } catch (const LowLevelThrow& t) {
    fatal_error(t.value == QUIET_EXIT_MARKER ? 0 : 95, 0);
  } catch (const VelError& e) {
    std::string caption, text;
    error::uncaught_report(e, &caption, &text);
    platform::error_box(caption, text);
    lowlevel_free_all();
    platform::exit_process(EXIT_UNCAUGHT_ERROR);
  } catch (const std::bad_alloc&) {
    fatal_error(94, 0);
  } catch (...) {
    fatal_error(95, 0);
  }
}

}  // namespace vel
