// Conversion, formatting and error reporting shared by every stage.
#include "common/text.h"

#include <algorithm>
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

CDecimal read_c_decimal(std::string_view text) {
    constexpr std::int64_t past_32_bits = 0x100000001LL;
    CDecimal number;
    std::size_t i = 0;
    while (i < text.size() && is_c_space(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        number.has_digits = true;
        number.value = std::min(number.value * 10 + (text[i] - '0'), past_32_bits);
    }
    if (negative) number.value = -number.value;
    number.length = number.has_digits ? i : 0;
    return number;
}

std::string_view until_nul(std::string_view text) { return text.substr(0, text.find('\0')); }

void show_error(std::u16string_view text) {
    platform::show_message(captions::error, text, platform::MessageStyle::error);
}

void fatal_error(std::u16string_view text) {
    show_error(text);
    std::exit(1);
}
