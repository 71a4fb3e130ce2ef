// Records shared between the stages of a run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The gallery's limits. Read as signed decimals but always compared unsigned, so a negative number
// acts as a very large limit.
struct ServerLimits {
    std::uint32_t largest_upload = 0;  // bytes of request body
    std::uint32_t most_files = 0;
    std::uint32_t largest_file = 0;  // bytes
};

// The user's two options, passed to the gallery unchanged. Longer words in the settings file are cut
// to these lengths (bytes, each of which widens to at most one UTF-16 character).
inline constexpr std::size_t LONGEST_OPTION_LETTERS = 20;
inline constexpr std::size_t LONGEST_SWITCH_WORD = 10;
struct Settings {
    std::string option_letters;
    std::string switch_word;
};
