// Writes access log lines with every field escaped.
#include "access_log.h"

#include <cstdio>

std::string log_escape(std::string_view text, std::size_t longest) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (char c : text.substr(0, longest)) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\') {
            out += c;
        } else {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    if (text.size() > longest) out += "...";
    return out;
}

std::string access_line(const AccessRecord& r) {
    return log_escape(r.client) + " \"" + log_escape(r.method) + " " + log_escape(r.target) + "\" " +
           std::to_string(r.status) + " in=" + std::to_string(r.bytes_in) + " out=" + std::to_string(r.bytes_out) +
           " " + std::to_string(r.milliseconds) + "ms\n";
}

void log_access(const AccessRecord& record) {
    std::string line = access_line(record);
    // One write per line, so lines from other writers never interleave within it.
    std::fwrite(line.data(), 1, line.size(), stderr);
}
