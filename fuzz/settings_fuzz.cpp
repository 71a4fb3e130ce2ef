// Fuzzes the settings file reader: whatever the file holds, accepted words must be usable as sent.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "settings/settings_file.h"

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "settings: %s\n", what);
    std::abort();
}

bool has_space(std::string_view word) {
    for (const char c : word) {
        if (c == ' ' || (c >= '\t' && c <= '\r')) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return -1;  // fmemopen needs at least one byte
    std::vector<std::uint8_t> copy(data, data + size);  // fmemopen wants a writable buffer
    std::FILE* file = ::fmemopen(copy.data(), copy.size(), "r");
    if (file == nullptr) std::abort();
    const auto settings = read_settings(file);
    std::fclose(file);
    if (!settings) return 0;

    const std::string_view letters = settings->option_letters;
    const std::string_view word = settings->switch_word;
    // A NUL byte in the file ends a word early, so either word may come out empty.
    if (letters.size() > 20) broken("option letters longer than 20");
    if (letters.find_first_not_of(OPTION_LETTERS) != std::string_view::npos) broken("an option letter not allowed");
    if (word.size() > 10) broken("switch word longer than 10");
    if (has_space(word)) broken("switch word holds white space");
    return 0;
}
