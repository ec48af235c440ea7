#include "evaluator/natives.h"

#include "evaluator/lexer_callback.h"
#include "evaluator/natives_control.h"
#include "evaluator/natives_eval.h"
#include "evaluator/natives_math.h"
#include "evaluator/natives_series.h"
#include "io/simple_io.h"

namespace vel {

// One line per natives module.
void natives_init() {
  register_natives_eval();
  natives_control_init();
  register_natives_math();
  natives_series_init();
  register_natives_system();
  simple_io::register_natives();
  lexer_callbacks_init();
}

}  // namespace vel
