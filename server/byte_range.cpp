// Reads a Range header for a file of known size.
#include "byte_range.h"

#include <charconv>

namespace {

bool read_number(std::string_view text, std::uint64_t& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && end == text.data() + text.size();
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

ByteRange decide_range(std::string_view header, std::uint64_t size) {
    header = trim(header);
    constexpr std::string_view unit = "bytes=";
    if (header.size() < unit.size()) return {};
    for (std::size_t i = 0; i < unit.size(); ++i)
        if ((header[i] | 0x20) != unit[i] && header[i] != unit[i]) return {};
    std::string_view wanted = trim(header.substr(unit.size()));
    if (wanted.find(',') != std::string_view::npos) return {};
    std::size_t dash = wanted.find('-');
    if (dash == std::string_view::npos) return {};
    std::string_view from = trim(wanted.substr(0, dash));
    std::string_view to = trim(wanted.substr(dash + 1));

    std::uint64_t first = 0, last = 0;
    if (from.empty()) {  // the last N bytes
        if (!read_number(to, last)) return {};
        if (last == 0 || size == 0) return {ByteRange::unsatisfiable, 0, 0};
        return {ByteRange::part, last >= size ? 0 : size - last, size - 1};
    }
    if (!read_number(from, first)) return {};
    if (to.empty()) {
        last = size == 0 ? 0 : size - 1;
    } else if (!read_number(to, last) || last < first) {
        return {};
    }
    if (first >= size) return {ByteRange::unsatisfiable, 0, 0};
    return {ByteRange::part, first, last >= size ? size - 1 : last};
}
