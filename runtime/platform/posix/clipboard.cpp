// The clipboard of the Linux build: the content last written, kept in the
// process.
#include "platform/clipboard.h"

namespace vel::platform {

namespace {
ClipboardContent g_store;
}

bool clipboard_read(ClipboardContent& out) {
  out = g_store;
  return true;
}

bool clipboard_write(const ClipboardContent& in) {
  g_store = in;
  return true;
}

}  // namespace vel::platform
