// Runtime initialisation: every module's init, in one fixed order.
//
// The order matters: each module may use those before it, and a module's
// init checks its prerequisites with require_init(). Modules not built yet
// have no entry function and are skipped, keeping their place in the order.
#pragma once
#include <string>
#include <vector>

namespace vel {

// Step, name. Listed in the order they run.
#define VEL_INIT_STEPS(X)                                    \
  X(HOOKS, "output hooks")                                   \
  X(PLATFORM, "platform")                                    \
  X(RANDOM, "random generator")                              \
  X(MEMORY, "memory manager")                                \
  X(EXTERNALS, "external resources")                         \
  X(TYPE_TABLES, "type tables")                              \
  X(DATATYPES, "datatypes")                                  \
  X(IMAGING, "imaging")                                      \
  X(ACTIONS, "actions")                                      \
  X(POOLS, "first pools")                                    \
  X(ROOT_BLOCK, "root block and stacks")                     \
  X(GLOBAL_CONTEXT, "global context")                        \
  X(CASE_FOLDING, "case folding")                            \
  X(SYMBOL_TABLE, "symbol hash table")                       \
  X(TYPE_WORDS, "datatype words")                            \
  X(RUNTIME_WORDS, "runtime words")                          \
  X(NATIVES, "natives")                                      \
  X(PARSE, "parse")                                          \
  X(OWNERSHIP, "ownership")                                  \
  X(CRYPTO, "checksum methods")                              \
  X(COMPRESSION, "compression methods")                      \
  X(PROCESS_BUFFER, "process output buffer")                 \
  X(STACKS, "stacks")                                        \
  X(LEXER, "lexer")                                          \
  X(BOOT_DATA, "boot data")                                  \
  X(INTERPRETER_ROOTS, "interpreter roots")                  \
  X(VALUE_POOL, "value pool")                                \
  X(COLLECTOR, "collector")

enum class InitStep {
#define VEL_X(cname, name) cname,
  VEL_INIT_STEPS(VEL_X)
#undef VEL_X
  COUNT
};

// Start-up flags.
extern bool g_initialising;  // words made from text are kept in the root block

void runtime_init();
// Ends the process with "assertion failed" when step has not run.
void require_init(InitStep step);
bool init_ran(InitStep step);
// The names of the steps that ran, in order.
const std::vector<std::string>& init_log();

// For the unit tests: runtime_init once per process.
void runtime_init_for_tests();

}  // namespace vel
