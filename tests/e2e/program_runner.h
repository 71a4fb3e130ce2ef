// Runs the built program, natively or under Wine, against a scripted gallery, and gathers what it
// did: exit status, message boxes, opened addresses, the requests the gallery received.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/loopback.h"

struct ProgramRun {
    int exit_status = -1;
    std::string messages;               // standard error: "<caption>: <text>\n" per box
    std::vector<std::string> opened;    // addresses handed to the desktop, UTF-8
    std::vector<std::string> requests;  // as the gallery received them, one per connection
    std::optional<std::string> settings_after;  // the settings file's bytes after the run
};

struct ProgramSetup {
    std::vector<std::string> arguments;
    std::optional<std::string> settings;  // written before the run; none: no settings file
    std::vector<ScriptedExchange> script;
    std::filesystem::path folder;         // the program's current directory
    bool keep_settings_folder = false;    // leave the settings folder as the test made it
    // "NAME=value" entries that replace or add to the program's environment (PATH, DISPLAY, ...).
    std::vector<std::string> environment = {};
};

bool under_wine();
ProgramRun run_program(const ProgramSetup& setup);
// The folder of the stand-in desktop programs (xdg-open) put first on the program's PATH. The
// stand-in xdg-open records the address and exits with UPLOADER_OPEN_STATUS (default 0).
std::filesystem::path stand_in_programs();
// The folder that holds the settings file for the program under test.
std::filesystem::path settings_folder();
