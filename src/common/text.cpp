// Conversion, formatting and error reporting shared by every stage.
#include "common/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "common/constants.h"
#include "platform/platform.h"

std::u16string widen(std::string_view text) { return platform::ansi_to_utf16(text); }

std::string format_text(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

std::string_view until_nul(std::string_view text) { return text.substr(0, text.find('\0')); }

void show_error(std::u16string_view text) {
    platform::show_message(captions::error, text, platform::MessageStyle::error);
}

void fatal_error(std::u16string_view text) {
    show_error(text);
    std::exit(1);
}
