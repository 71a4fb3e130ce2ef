// The Windows layouts of the platform layer's records; included by platform.h only.
#pragma once

#include <optional>

#include "platform/platform.h"

namespace platform {

struct SavedDir {
    NativePath path;
};

struct DirWalker {
    void* handle = nullptr;             // the search's HANDLE
    std::optional<NativePath> pending;  // the entry that starting the search has already read
};

}  // namespace platform
