#include "evaluator/script.h"

#include <string>

#include "errors.h"
#include "evaluator/interpreter.h"
#include "io/lexer.h"
#include "roots.h"
#include "stack.h"

namespace vel {

size_t find_script_header(std::string_view text) {
  for (size_t at = text.find("Vel"); at != std::string_view::npos; at = text.find("Vel", at + 1)) {
    size_t i = at + 3;
    if (text.substr(i, 7) == "/System") i += 7;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) i++;
    if (i < text.size() && text[i] == '[') return at;
  }
  return std::string_view::npos;
}

may_gc Cell load_text(std::string_view text) {
  // The lexer wants a NUL after the text and no series under it.
  std::string copy(text);
  lexer::ScanOptions o;
  return lexer::scan(reinterpret_cast<const uint8_t*>(copy.c_str()), copy.size(), o).value;
}

namespace {

may_gc Status eval_top(Cell block) {
  RootedCell keep(block);
  StackMark mark = stack_save();
  // An error a status carried up here goes on as the top level catches it.
  Status s = throw_if_error(interp::eval_block(block, false));
  stack_restore(mark);
  return s;
}

}  // namespace

may_gc Status run_script(std::string_view text, const Cell& name) {
  size_t at = find_script_header(text);
  if (at == std::string_view::npos) fire(ErrId::NO_HEADER, name);
  RootedCell code(load_text(text.substr(at)));
  // Skip the header word and its block.
  code->w1 = 2;
  return eval_top(*code);
}

may_gc Status run_source(std::string_view text) { return eval_top(load_text(text)); }

may_gc Status run_code(const Cell& block) { return eval_top(block); }

}  // namespace vel
