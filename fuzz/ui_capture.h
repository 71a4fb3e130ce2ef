// What the code under test would have shown or opened, recorded instead of reaching the desktop.
#pragma once

#include <string>
#include <vector>

struct CapturedUi {
    std::vector<std::u16string> messages;   // "<caption>: <text>"
    std::vector<std::u16string> addresses;  // handed to open_address
};

// Cleared before each input.
CapturedUi& captured_ui();
