// call: runs an external command through the platform's process layer.
#pragma once
#include "stack.h"

namespace vel::ext_process {

// call [cmd /wait /show /console /shell /input in /output out /error err]
Status native_call(Cell* base);

}  // namespace vel::ext_process
