// Fuzzes the limits reply parser against strtoll, which reads the same numbers independently.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "limits/server_limits.h"
#include "ui_capture.h"

namespace {

[[noreturn]] void broken(const char* what, const std::string& text) {
    std::fprintf(stderr, "limits: %s for \"%s\"\n", what, text.c_str());
    std::abort();
}

// Three "%d"-style numbers joined by colons at the start of the text, each within 32 bits.
std::optional<ServerLimits> expected_limits(const std::string& text) {
    const char* next = text.c_str();
    long long numbers[3];
    for (int k = 0; k < 3; ++k) {
        if (k > 0 && *next++ != ':') return std::nullopt;
        char* end = nullptr;
        errno = 0;
        numbers[k] = std::strtoll(next, &end, 10);
        if (end == next || errno == ERANGE) return std::nullopt;
        if (numbers[k] > 0xFFFFFFFFLL || numbers[k] < -0x80000000LL) return std::nullopt;
        next = end;
    }
    return ServerLimits{static_cast<std::uint32_t>(numbers[0]), static_cast<std::uint32_t>(numbers[1]),
                        static_cast<std::uint32_t>(numbers[2])};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const std::optional<ServerLimits> limits = parse_limits(body);
    // The reply is C text to the parser: it ends at the first NUL.
    const std::string text(body.substr(0, body.find('\0')));
    const std::optional<ServerLimits> expected = expected_limits(text);
    if (limits.has_value() != expected.has_value()) broken(limits ? "accepted" : "refused", text);
    if (limits && (limits->largest_upload != expected->largest_upload || limits->most_files != expected->most_files ||
                   limits->largest_file != expected->largest_file))
        broken("numbers differ", text);
    return 0;
}
