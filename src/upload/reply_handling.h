// What is done with the gallery's answer to the upload.
#pragma once

#include <string_view>

#include "platform/platform.h"

// Reads the reply on the upload connection and presents it. Never ends the process.
void handle_reply(platform::Socket connection);
// A status-200 body: an optional report before the marker, shown first, then the address to open.
void present_reply(std::string_view text);
// Only web addresses are handed to the desktop: anything else could name a program to run.
bool is_web_address(std::u16string_view address);
