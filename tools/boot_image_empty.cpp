// The host tool's boot image: none. The host tool writes images; it never
// starts from one.
#include "boot_image.h"

namespace vel {

const unsigned char g_boot_image[] = {0};
const size_t g_boot_image_size = 0;

}  // namespace vel
