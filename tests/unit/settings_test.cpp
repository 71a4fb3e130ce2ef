// The settings file: its three fixed-width words and their checks, and the defaults written once.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "common/constants.h"
#include "settings/settings_file.h"
#include "stubs/ui_recorder.h"
#include "support/temp_folder.h"

namespace {

std::optional<Settings> read_text(const TempFolder& folder, const std::string& text) {
    const std::filesystem::path path = folder.path / "uploader2.ini";
    write_file(path, text);
    std::FILE* file = platform::open_file(native_path_of(path), "r");
    if (file == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return std::nullopt;
    }
    std::optional<Settings> settings = read_settings(file);
    std::fclose(file);
    return settings;
}

TEST(ReadSettings, KeepsThreeValidWordsCutToTheirWidths) {
    struct Case {
        std::string text;
        std::string letters;
        std::string word;
    };
    const Case cases[] = {
        {"2.0\nLG\nfalse", "LG", "false"},
        {"2.0\r\nL\r\ntrue\r\n", "L", "true"},
        {"  2.0 \t GGL   on", "GGL", "on"},  // a letter may repeat
        {"2.0 LGIBZEKH anything", "LGIBZEKH", "anything"},
        {"2.0 LGIBZ true and more words", "LGIBZ", "true"},
        {"2.0 L abcdefghijklmnop", "L", "abcdefghij"},  // the third word's first ten characters
        {"2.0 L 42!?", "L", "42!?"},                    // the third word is not checked
        // Twenty letters are read; the five after them become the third word, and the real one is unread.
        {"2.0 LLLLLGGGGGIIIIIBBBBBZZZZZ true", "LLLLLGGGGGIIIIIBBBBB", "ZZZZZ"},
        {"2.0 LLLLLGGGGGIIIIIBBBBBzz!  true", "LLLLLGGGGGIIIIIBBBBB", "zz!"},
    };
    TempFolder folder;
    for (const Case& c : cases) {
        const std::optional<Settings> settings = read_text(folder, c.text);
        ASSERT_TRUE(settings) << c.text;
        EXPECT_EQ(settings->option_letters, c.letters) << c.text;
        EXPECT_EQ(settings->switch_word, c.word) << c.text;
    }
}

TEST(ReadSettings, RefusesFilesThatMustBeReplaced) {
    TempFolder folder;
    for (const char* text : {
             "",
             "2.0",
             "2.0 L",            // two words only
             "2.1 L true",       // another version
             "2.00 L true",
             "2.0xx L true",     // cut to five characters, still not the version
             "2.0.0.0 L true",
             "v2.0 L true",
             "2.0 l true",       // letters are capitals
             "2.0 LGA true",     // a letter outside the set
             "2.0 L- true",
             "2.0 LLLLLGGGGGIIIIIBBBBX true",
         }) {
        EXPECT_FALSE(read_text(folder, text)) << text;
    }
}

// Points APPDATA at a folder for one test, then removes it again.
class AppDataAt {
public:
    explicit AppDataAt(const std::filesystem::path& folder) {
#if defined(_WIN32)
        ::_wputenv((L"APPDATA=" + folder.wstring()).c_str());
#else
        ::setenv("APPDATA", folder.c_str(), 1);
#endif
    }
    ~AppDataAt() {
#if defined(_WIN32)
        ::_wputenv(L"APPDATA=");
#else
        ::unsetenv("APPDATA");
#endif
    }
    AppDataAt(const AppDataAt&) = delete;
    AppDataAt& operator=(const AppDataAt&) = delete;
};

// The settings are read once per process, so this is the only test that loads them.
TEST(LoadSettings, WritesTheDefaultsWhenThereIsNoFileAndKeepsWhatItRead) {
    recorded_ui().clear();
    TempFolder app_data;
    const AppDataAt variable(app_data.path);

    const Settings& first = load_settings();
    EXPECT_EQ(first.option_letters, "L");
    EXPECT_EQ(first.switch_word, "true");
    const std::filesystem::path file = app_data.path / "tolva" / "uploader2.ini";
#if defined(_WIN32)
    EXPECT_EQ(read_whole_file(file), "2.0\r\nL\r\ntrue");
#else
    EXPECT_EQ(read_whole_file(file), "2.0\nL\ntrue");
#endif
    EXPECT_TRUE(recorded_ui().empty());

    // A changed file is not read again in the same run.
    write_file(file, "2.0 GK false");
    const Settings& again = load_settings();
    EXPECT_EQ(&again, &first);
    EXPECT_EQ(again.option_letters, "L");
    EXPECT_EQ(again.switch_word, "true");
}

}  // namespace
