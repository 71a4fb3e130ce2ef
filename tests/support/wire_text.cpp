// Texts as the gallery receives them.
#include "support/wire_text.h"

#include <cinttypes>
#include <cstdio>

#include "platform/utf8.h"

std::string utf16le(std::string_view utf8) {
    std::string bytes;
    for (const char16_t c : platform::utf8_to_utf16(utf8)) {
        bytes += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    }
    return bytes;
}

std::string list_line(std::uint64_t size, std::string_view name) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%09" PRIu64 ":", size);
    return digits + std::string(name) + "\n";
}
