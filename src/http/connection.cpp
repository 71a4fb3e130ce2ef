// The gallery connection, request head lines and the User-Agent text.
#include <cstdio>

#include "common/constants.h"
#include "common/text.h"
#include "http/http_client.h"

platform::Connection gallery_connect() { return platform::connect_ipv4(GALLERY_HOST, GALLERY_PORT); }

std::u16string_view connect_failure_message(platform::ConnectStatus status) {
    return status == platform::ConnectStatus::unresolved ? messages::cannot_resolve : messages::cannot_connect;
}

void send_bytes(platform::Socket socket, const void* data, std::size_t length) {
    const auto* next = static_cast<const unsigned char*>(data);
    // A send may take only part of what it is given; the rest must follow or the request is cut.
    while (length > 0) {
        const long sent = platform::net_send(socket, next, length);
        if (sent <= 0) fatal_error(messages::connection_error);
        next += sent;
        length -= static_cast<std::size_t>(sent);
    }
}

void send_line(platform::Socket socket, std::string_view text) { send_bytes(socket, text.data(), text.size()); }

std::string request_line(const char* format, const char* value) { return format_text(format, value); }

std::string host_line(const char* host, std::uint16_t port) {
    if (port == HTTP_PORT) return request_line(HOST_LINE, host);
    return request_line(HOST_LINE, format_text(HOST_WITH_PORT, host, static_cast<unsigned>(port)).c_str());
}

std::string user_agent() {
    const std::string version(PRODUCT_VERSION), token(PRODUCT_TOKEN);
    return format_text(USER_AGENT_FORMAT, token.c_str(), version.c_str(), platform::os_description().c_str());
}
