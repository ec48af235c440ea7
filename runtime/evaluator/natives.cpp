#include "evaluator/natives.h"

#include "datatypes/map.h"
#include "datatypes/object.h"
#include "evaluator/natives_control.h"
#include "evaluator/natives_eval.h"
#include "evaluator/natives_math.h"
#include "evaluator/natives_series.h"
#include "io/http.h"
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
  http::register_url_actions();
  object::register_natives();
  map::register_natives();
}

}  // namespace vel
