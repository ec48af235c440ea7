// The routines of the codec objects in system/codecs (library/codecs/).
#pragma once

namespace vel::codecs {

void register_routines();

}  // namespace vel::codecs
