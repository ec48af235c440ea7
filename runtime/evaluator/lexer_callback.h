// Vel functions as lexer callbacks, and the transcode native.
#pragma once

namespace vel {

// Connects the lexer's callbacks to the interpreter and registers transcode.
void lexer_callbacks_init();

}  // namespace vel
