// The user's two options, kept in "tolva/uploader2.ini" in the per-user application-data folder.
#pragma once

#include <optional>
#include <string_view>

#include "common/types.h"
#include "platform/platform.h"

inline constexpr std::string_view SETTINGS_FOLDER = "tolva";
inline constexpr std::string_view SETTINGS_FILE = "uploader2.ini";
inline constexpr std::string_view DEFAULT_OPTION_LETTERS = "L";
inline constexpr std::string_view DEFAULT_SWITCH_WORD = "true";
// Every option letter must be one of these.
inline constexpr std::string_view OPTION_LETTERS = "LGIBZEKH";

// Reads and checks the file once per run; a missing, unreadable or invalid file is replaced by the
// defaults without a message. Always gives usable words.
const Settings& load_settings();
// Writes the default file ("cannot create configuration file" when it cannot) and gives the defaults.
const Settings& write_default_settings();

// The three words of a settings file, checked; none when the file must be replaced.
std::optional<Settings> read_settings(std::FILE* file);
