// percent!: its own text; every computation is float!'s.
#include "datatypes/percent.h"

#include <string_view>

#include "datatypes/strout.h"
#include "series_ops.h"

namespace vel {

int percent_text(double fraction, char* out) { return float_form_text(fraction * 100.0, FloatTextKind::PERCENT, out); }

namespace {

may_gc int32_t percent_format(const Cell& v, NodeId out, int32_t part) {
  char text[FLOAT_TEXT_MAX];
  int n = percent_text(v.f64(), text);
  append_latin1(out, std::string_view(text, size_t(n)));
  return part - n;
}

int32_t percent_form(Cell v, NodeId out, const Cell*, int32_t part) { return percent_format(v, out, part); }
int32_t percent_mold(Cell v, NodeId out, uint32_t, const Cell*, int32_t part, int32_t) {
  return percent_format(v, out, part);
}

}  // namespace

void register_type_PERCENT() {
  TypeBuilder(TYPE_PERCENT)
      .form(percent_form)
      .mold(percent_mold)
      .inherit(ACT_MAKE)
      .inherit(ACT_RANDOM)
      .inherit(ACT_TO)
      .inherit(ACT_COMPARE)
      .inherit(ACT_ABSOLUTE)
      .inherit(ACT_ADD)
      .inherit(ACT_DIVIDE)
      .inherit(ACT_MULTIPLY)
      .inherit(ACT_NEGATE)
      .inherit(ACT_POWER)
      .inherit(ACT_REMAINDER)
      .inherit(ACT_ROUND)
      .inherit(ACT_SUBTRACT)
      .inherit(ACT_EVEN_Q)
      .inherit(ACT_ODD_Q)
      .done();
}

}  // namespace vel
