// The limits query: one GET of the limits page per run, its three numbers kept for the whole run.
#include "limits/server_limits.h"

#include <cstdint>

#include "common/constants.h"
#include "common/text.h"
#include "http/http_client.h"

namespace {

std::optional<ServerLimits> stored_limits;

// One number as "%d" reads it. Values outside 32 bits are refused rather than left undefined;
// negative ones are kept as their 32-bit pattern and so act as very large limits.
std::optional<std::uint32_t> read_number(std::string_view& rest) {
    const CDecimal number = read_c_decimal(rest);
    if (!number.has_digits || number.value > 0xFFFFFFFFLL || number.value < -0x80000000LL) return std::nullopt;
    rest.remove_prefix(number.length);
    return static_cast<std::uint32_t>(number.value);
}

}  // namespace

std::optional<ServerLimits> parse_limits(std::string_view body) {
    std::string_view rest = until_nul(body);
    std::uint32_t numbers[3];
    for (int k = 0; k < 3; ++k) {
        if (k > 0) {
            if (!rest.starts_with(':')) return std::nullopt;
            rest.remove_prefix(1);
        }
        const auto number = read_number(rest);
        if (!number) return std::nullopt;
        numbers[k] = *number;
    }
    return ServerLimits{numbers[0], numbers[1], numbers[2]};
}

const ServerLimits& fetch_limits() {
    if (stored_limits) return *stored_limits;

    const platform::Connection connection = gallery_connect();
    if (connection.status != platform::ConnectStatus::connected) {
        fatal_error(connect_failure_message(connection.status));
    }
    // The connection stays open and idle for the rest of the run; it is never used again.
    send_line(connection.socket, request_line(GET_LINE, LIMITS_PAGE));
    send_line(connection.socket, host_line(GALLERY_HOST, GALLERY_PORT));
    send_line(connection.socket, request_line(USER_AGENT_LAST_LINE, user_agent().c_str()));

    // The status is not examined: the body alone tells whether the numbers are there.
    const Reply reply = read_reply(connection.socket);
    const std::optional<ServerLimits> limits = reply.body ? parse_limits(*reply.body) : std::nullopt;
    if (!limits) fatal_error(messages::bad_limit_response);
    stored_limits = limits;
    return *stored_limits;
}
