// One upload run, from the limits query to the gallery's answer.
#pragma once

#include <vector>

#include "platform/platform.h"

// Runs the stages in their fixed order and gives the process's exit status: 0 after a completed
// exchange, whatever the gallery answered; 1 when the upload connection cannot be made. Fatal
// failures inside the stages end the process with 1 themselves.
int run_upload(const std::vector<platform::NativePath>& paths);
