// The Windows layouts of the platform layer's records; included by platform.h only.
#pragma once

#include <optional>

#include "platform/platform.h"

namespace platform {

struct SavedDir {
    void* handle = nullptr;  // the folder itself (a HANDLE), so a rename meanwhile does not matter
    NativePath path;         // used where the system cannot say where the handle's folder is now
};

struct DirWalker {
    void* handle = nullptr;             // the search's HANDLE
    std::optional<NativePath> pending;  // the entry that starting the search has already read
};

}  // namespace platform
