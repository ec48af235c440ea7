#include "platform/console.h"

namespace vel::platform {

// Terminals render escape sequences themselves: output is always bytes.
ConsoleDevice* stdout_console() { return nullptr; }

}  // namespace vel::platform
