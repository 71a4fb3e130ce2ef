// Records shared between the stages of a run.
#pragma once

#include <cstdint>
#include <string>

// The gallery's limits. Read as signed decimals but always compared unsigned, so a negative number
// acts as a very large limit.
struct ServerLimits {
    std::uint32_t largest_upload = 0;  // bytes of request body
    std::uint32_t most_files = 0;
    std::uint32_t largest_file = 0;  // bytes
};

// The user's two options, passed to the gallery unchanged.
struct Settings {
    std::string option_letters;
    std::string switch_word;
};
