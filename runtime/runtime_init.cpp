#include "runtime_init.h"

#include <array>

#include "casefold.h"
#include "collector.h"
#include "datatypes/context.h"
#include "datatypes/core_words.h"
#include "datatypes/registry.h"
#include "datatypes/symbol.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/parse.h"
#include "externals.h"
#include "fatal.h"
#include "hashtable.h"
#include "io/lexer.h"
#include "memory.h"
#include "output.h"
#include "platform/platform.h"
#include "random.h"
#include "stack.h"
#include "valpool.h"

namespace vel {

bool g_initialising = false;

namespace {

void init_hooks() { dyn_print_init(); }

// The platform start ends with console detection, which needs the platform.
void init_platform() {
  platform::init();
  console_init();
}

// The process-wide hash seed comes from the secure source; when that fails
// the table code mixes a seed of its own, which still serves. The random
// generator starts from its fixed seed.
void init_random() {
  (void)hash_table::init_seed();
  random::init();
}

void init_memory() { memory_init(); }

void init_pools() {
  new_node_pool();
  g_mem.current_series_pool = new_series_pool();
}

void init_collector() { collector_init(); }

using InitFn = void (*)();

struct Step {
  const char* name;
  InitFn fn;
};

// Entry functions by step; a null entry is a module not built yet.
constexpr InitFn entry(InitStep s) {
  switch (s) {
    case InitStep::HOOKS: return init_hooks;
    case InitStep::PLATFORM: return init_platform;
    case InitStep::RANDOM: return init_random;
    case InitStep::MEMORY: return init_memory;
    case InitStep::EXTERNALS: return externals_init;
    case InitStep::DATATYPES: return register_datatypes;
    case InitStep::POOLS: return init_pools;
    case InitStep::GLOBAL_CONTEXT: return context::init_global;
    case InitStep::CASE_FOLDING: return case_folding_init;
    case InitStep::SYMBOL_TABLE: return symbol::init_table;
    case InitStep::TYPE_WORDS: return make_datatype_words;
    case InitStep::RUNTIME_WORDS: return init_runtime_words;
    case InitStep::NATIVES: return natives_init;
    case InitStep::PARSE: return parser_init;
    case InitStep::STACKS: return stack_init;
    case InitStep::LEXER: return lexer::init;
    case InitStep::INTERPRETER_ROOTS: return interp::interpreter_init;
    case InitStep::VALUE_POOL: return value_pool_init;
    case InitStep::COLLECTOR: return init_collector;
    default: return nullptr;
  }
}

constexpr std::array<Step, size_t(InitStep::COUNT)> kSteps = {{
#define VEL_X(cname, name) {name, entry(InitStep::cname)},
    VEL_INIT_STEPS(VEL_X)
#undef VEL_X
}};

std::array<bool, size_t(InitStep::COUNT)> g_ran{};
std::vector<std::string> g_log;

}  // namespace

void require_init(InitStep step) {
  if (!g_ran[size_t(step)]) fatal_error(98, 0);
}

bool init_ran(InitStep step) { return g_ran[size_t(step)]; }

const std::vector<std::string>& init_log() { return g_log; }

void runtime_init() {
  g_initialising = true;
  for (size_t i = 0; i < kSteps.size(); i++) {
    if (!kSteps[i].fn) continue;
    kSteps[i].fn();
    g_ran[i] = true;
    g_log.emplace_back(kSteps[i].name);
  }
}

void runtime_init_for_tests() {
  static bool done = false;
  if (done) return;
  done = true;
  platform::init_fpu();
  runtime_init();
  g_initialising = false;
  // C++ unit tests hold unrooted node handles freely; collections run only
  // where a test enables them.
  g_gc.enabled = false;
}

}  // namespace vel
