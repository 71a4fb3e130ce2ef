// The gallery this build talks to, fixed by the build's GALLERY_HOST_VALUE and GALLERY_PORT_VALUE.
#include "common/constants.h"

const char GALLERY_HOST[] = GALLERY_HOST_VALUE;
const std::uint16_t GALLERY_PORT = GALLERY_PORT_VALUE;
