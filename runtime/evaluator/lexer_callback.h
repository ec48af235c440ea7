// Vel functions as lexer callbacks.
#pragma once
#include "status.h"

namespace vel {

// Connects the lexer's callbacks to the interpreter.
void lexer_callbacks_init();

// A signal (break, throw, ...) out of a callback leaves the scan and passes
// on from the native that started it.
struct LexerSignal {
  Status status;
};

}  // namespace vel
