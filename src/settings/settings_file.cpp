// The settings file: three words read with fixed widths, checked, and reset to defaults when wrong.
#include "settings/settings_file.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "common/constants.h"
#include "common/text.h"

namespace {

std::optional<Settings> loaded;

std::optional<platform::NativePath> settings_folder() {
    std::optional<platform::NativePath> folder = platform::app_data_folder();
    if (folder) *folder += platform::path_separator + platform::native_path(SETTINGS_FOLDER);
    return folder;
}

std::optional<platform::NativePath> settings_path() {
    std::optional<platform::NativePath> path = settings_folder();
    if (path) *path += platform::path_separator + platform::native_path(SETTINGS_FILE);
    return path;
}

}  // namespace

std::optional<Settings> read_settings(std::FILE* file) {
    char version[6] = {}, letters[LONGEST_OPTION_LETTERS + 1] = {}, switch_word[LONGEST_SWITCH_WORD + 1] = {};
    // Each word is cut at its width (the two longest lengths); what is cut off becomes the next word.
    static_assert(LONGEST_OPTION_LETTERS == 20 && LONGEST_SWITCH_WORD == 10);
    if (std::fscanf(file, "%5s%20s%10s", version, letters, switch_word) != 3) return std::nullopt;
    if (std::string_view(version) != PRODUCT_VERSION) return std::nullopt;
    for (const char* letter = letters; *letter != '\0'; ++letter) {
        if (OPTION_LETTERS.find(*letter) == std::string_view::npos) return std::nullopt;
    }
    return Settings{letters, switch_word};
}

const Settings& load_settings() {
    if (loaded) return *loaded;
    const std::optional<platform::NativePath> path = settings_path();
    std::FILE* file = path ? platform::open_file(*path, "r") : nullptr;
    if (file != nullptr) {
        std::optional<Settings> settings = read_settings(file);
        std::fclose(file);
        if (settings) {
            loaded = std::move(settings);
            return *loaded;
        }
    }
    return write_default_settings();
}

const Settings& write_default_settings() {
    if (const auto folder = settings_folder()) platform::make_folder(*folder);  // may exist already
    const std::optional<platform::NativePath> path = settings_path();
    std::FILE* file = path ? platform::open_file(*path, "w") : nullptr;
    if (file == nullptr) {
        show_error(messages::cannot_create_settings);
    } else {
        // Text mode: the line breaks become CR LF on Windows.
        const std::string version(PRODUCT_VERSION), letters(DEFAULT_OPTION_LETTERS), word(DEFAULT_SWITCH_WORD);
        std::fputs(version.c_str(), file);
        std::fputs("\n", file);
        std::fputs(letters.c_str(), file);
        std::fputs("\n", file);
        std::fputs(word.c_str(), file);
        std::fclose(file);
    }
    loaded = Settings{std::string(DEFAULT_OPTION_LETTERS), std::string(DEFAULT_SWITCH_WORD)};
    return *loaded;
}
