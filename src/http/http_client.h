// Reaching the gallery: the connection, request head lines, the User-Agent, and the reply reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

// The most one reply body may hold, so that a hostile server cannot exhaust memory. The gallery's
// replies are a few numbers or an address with a short report.
inline constexpr std::size_t MAX_REPLY_BODY = 4 * 1024 * 1024;

// --- Connection and request lines ---------------------------------------------------------------

// Resolves GALLERY_HOST and connects to its first IPv4 address on GALLERY_PORT.
platform::Connection gallery_connect();
// The message for a failed gallery_connect.
std::u16string_view connect_failure_message(platform::ConnectStatus status);

// Sends every byte, however many calls it takes; a failed send ends the process with
// "connection error".
void send_bytes(platform::Socket socket, const void* data, std::size_t length);
void send_line(platform::Socket socket, std::string_view text);
// One request head line: a printf-style line format with one text field.
std::string request_line(const char* format, const char* value);

// The Host line: "Host: <host>" on HTTP's own port 80, "Host: <host>:<port>" on any other.
std::string host_line(const char* host, std::uint16_t port);

// "Quillomark/2.0 (Windows NT 5.1)", built anew for each request.
std::string user_agent();

// --- Reply reader -------------------------------------------------------------------------------

// The length rule: -1 for a chunked body, N > 0 for a body of exactly N bytes, 0 for a body that
// runs until the server closes the connection.
inline constexpr int CHUNKED_BODY = -1;
inline constexpr int BODY_UNTIL_CLOSE = 0;

struct ReplyHead {
    int length_rule = BODY_UNTIL_CLOSE;
    int status = 0;
    bool cut_short = false;  // the connection closed or fell silent before the head's end
};

struct HeadBlock {
    int length_rule = BODY_UNTIL_CLOSE;
    bool closed = false;  // the connection ended before the empty line
};

struct Reply {
    int status = 0;
    std::optional<std::string> body;  // none after a failure that has already been shown
};
// Reads a whole reply: its head, then its body by the length rule.
Reply read_reply(platform::Socket socket);

// Reads heads until one whose status is not 100.
ReplyHead read_reply_head(platform::Socket socket);
// Reads one head, byte by byte so that no body byte is consumed; updates status on a status line.
HeadBlock read_header_block(platform::Socket socket, int& status);
// A status line sets status and gives 0; otherwise -1 for "Transfer-Encoding: chunked", the value
// of a Content-Length line, or 0.
int parse_header_line(std::string_view line, int& status);

// The body by the length rule; none after a failure that has already been shown. Bodies are raw
// bytes: readers that treat them as C text stop at the first NUL.
std::optional<std::string> read_body(platform::Socket socket, int length_rule);

struct ChunkedBody {
    std::string text;
    std::uint64_t decoded_length = 0;  // the sum of the chunk sizes
};
ChunkedBody read_chunked_body(platform::Socket socket);
