// The POSIX layouts of the platform layer's records; included by platform.h only.
#pragma once

#include "platform/platform.h"

namespace platform {

struct SavedDir {
    int descriptor = -1;  // marks the folder itself, so a rename meanwhile does not matter
    NativePath path;      // used when no descriptor could be had
};

struct DirWalker {
    void* handle = nullptr;  // DIR*
};

}  // namespace platform
