// Shared by the POSIX files of the platform layer only.
#pragma once

namespace platform {

// True when the environment variable exists and is not empty.
bool env_is_set(const char* name);

}  // namespace platform
