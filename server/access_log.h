// The access log: one line per request on standard error, safe to read in a terminal and to split.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Printable ASCII stays as it is, except `"` and `\`; every other byte becomes \xHH. A line can then
// neither hide nor fake a field, nor reach the terminal as a control sequence. Cut at `longest` bytes
// of input, marked with "...".
std::string log_escape(std::string_view text, std::size_t longest = 200);

struct AccessRecord {
    std::string_view client, method, target;
    int status = 0;
    std::uint64_t bytes_in = 0, bytes_out = 0;
    std::int64_t milliseconds = 0;
};

std::string access_line(const AccessRecord& record);
void log_access(const AccessRecord& record);
