// Reads an HTTP/1.1 reply: the head byte by byte, then the body by Content-Length, chunked
// transfer, or until the server closes the connection.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

#include "common/constants.h"
#include "common/text.h"
#include "http/http_client.h"

namespace {

constexpr std::size_t HEAD_AREA = 1025;
constexpr std::size_t SIZE_LINE_AREA = 80;
constexpr std::size_t UNTIL_CLOSE_AREA = 1024;
// Chunk sizes from here on are not valid for this reader.
constexpr std::uint64_t LARGEST_CHUNK = 0x7FFFFFFF;

// A decimal integer as C's atoi reads it (0 without digits), saturated at the limits of int
// instead of overflowing.
int read_decimal(std::string_view text) {
    return static_cast<int>(std::clamp<std::int64_t>(read_c_decimal(text).value, INT_MIN, INT_MAX));
}

// The next piece of text between delimiters, as strtok finds it: leading delimiters are skipped
// and a run of them counts as one. Advances rest past the piece.
std::optional<std::string_view> next_piece(std::string_view& rest, char delimiter) {
    const auto start = rest.find_first_not_of(delimiter);
    if (start == std::string_view::npos) {
        rest = {};
        return std::nullopt;
    }
    rest.remove_prefix(start);
    const auto end = rest.find(delimiter);
    const std::string_view piece = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    return piece;
}

// Reads a chunk-size line; none when the body must end here (closed connection or a line too long).
std::optional<std::string> read_size_line(platform::Socket socket) {
    char area[SIZE_LINE_AREA];
    for (std::size_t i = 0; i < SIZE_LINE_AREA; ++i) {
        if (platform::net_recv(socket, &area[i], 1) <= 0) return std::nullopt;
        if (i > 0 && area[i] == '\n' && area[i - 1] == '\r') return std::string(area, i - 1);
    }
    return std::nullopt;
}

// The chunk size as "%x" reads it: optional white space, an optional sign, an optional "0x", hex
// digits. None when there is no digit, or the size is 2^31 or more (a negative size is one).
std::optional<std::uint64_t> parse_chunk_size(std::string_view line) {
    line = until_nul(line);
    std::size_t i = 0;
    while (i < line.size() && is_c_space(line[i])) ++i;
    bool negative = false;
    if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
    const auto hex_digit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    // "0x" counts as a prefix only when a digit follows; otherwise the "0" is the number.
    if (i + 2 < line.size() && line[i] == '0' && (line[i + 1] == 'x' || line[i + 1] == 'X') && hex_digit(line[i + 2]) >= 0) {
        i += 2;
    }
    std::uint64_t size = 0;
    std::size_t digits = 0;
    for (; i < line.size() && hex_digit(line[i]) >= 0; ++i, ++digits) {
        size = size * 16 + static_cast<std::uint64_t>(hex_digit(line[i]));
        if (size > LARGEST_CHUNK) return std::nullopt;
    }
    if (digits == 0 || (negative && size != 0)) return std::nullopt;
    return size;
}

}  // namespace

int parse_header_line(std::string_view line, int& status) {
    line = until_nul(line);
    if (line.starts_with("HTTP/1")) {
        std::string_view rest = line;
        next_piece(rest, ' ');
        const auto code = next_piece(rest, ' ');
        // A status line with nothing after the protocol carries no status: 0, like one without digits.
        status = code ? read_decimal(*code) : 0;
        return 0;
    }
    std::string_view rest = line;
    const auto name = next_piece(rest, ':');
    if (!name) return 0;
    const auto value = next_piece(rest, ':');
    if (name->starts_with("Transfer-Encoding")) {
        if (!value) return 0;
        const auto start = value->find_first_not_of(' ');
        const std::string_view word = start == std::string_view::npos ? std::string_view{} : value->substr(start);
        return word == "chunked" ? CHUNKED_BODY : 0;
    }
    if (name->starts_with("Content-Length")) return value ? read_decimal(*value) : 0;
    return 0;
}

HeadBlock read_header_block(platform::Socket socket, int& status) {
    char area[HEAD_AREA];
    std::size_t line_start = 0;
    bool chunked = false;
    int length = 0;
    for (std::size_t i = 0; i < HEAD_AREA; ++i) {
        if (platform::net_recv(socket, &area[i], 1) <= 0) return {BODY_UNTIL_CLOSE, true};
        if (i == 0 || area[i] != '\n' || area[i - 1] != '\r') continue;
        if (i - line_start < 2) break;  // the empty line ends the head
        const int rule = parse_header_line(std::string_view(&area[line_start], i - 1 - line_start), status);
        if (rule == CHUNKED_BODY) chunked = true;
        else if (rule > 0) length = rule;
        line_start = i + 1;
    }
    // A head that fills the whole area ends there; what follows is read as body.
    return {chunked ? CHUNKED_BODY : length, false};
}

ReplyHead read_reply_head(platform::Socket socket) {
    int status = 0;
    HeadBlock block;
    do {
        block = read_header_block(socket, status);
    } while (status == 100 && !block.closed);  // a closed connection sends no further head
    return {block.length_rule, status, block.closed};
}

namespace {

std::optional<std::string> read_exact(platform::Socket socket, std::size_t length) {
    if (length > MAX_REPLY_BODY) {
        show_error(messages::response_terminated);
        return std::nullopt;
    }
    std::string body(length, '\0');
    std::size_t have = 0;
    while (have < length) {
        const long got = platform::net_recv(socket, body.data() + have, length - have);
        if (got <= 0) {
            show_error(messages::response_terminated);
            return std::nullopt;
        }
        have += static_cast<std::size_t>(got);
    }
    return body;
}

std::string read_until_close(platform::Socket socket) {
    std::string body(UNTIL_CLOSE_AREA, '\0');
    std::size_t have = 0;
    while (have < UNTIL_CLOSE_AREA) {
        const long got = platform::net_recv(socket, body.data() + have, UNTIL_CLOSE_AREA - have);
        if (got <= 0) break;
        have += static_cast<std::size_t>(got);
    }
    body.resize(have);
    return body;
}

}  // namespace

std::optional<std::string> read_body(platform::Socket socket, int length_rule) {
    if (length_rule > 0) return read_exact(socket, static_cast<std::size_t>(length_rule));
    if (length_rule == BODY_UNTIL_CLOSE) return read_until_close(socket);
    return read_chunked_body(socket).text;
}

Reply read_reply(platform::Socket socket) {
    const ReplyHead head = read_reply_head(socket);
    // A head cut short by a closed or silent connection ends the reply: its body is empty, and a
    // silent gallery is not waited for a second time.
    if (head.cut_short) return {head.status, std::string()};
    return {head.status, read_body(socket, head.length_rule)};
}

ChunkedBody read_chunked_body(platform::Socket socket) {
    ChunkedBody body;
    while (const auto line = read_size_line(socket)) {
        const auto size = parse_chunk_size(*line);
        if (!size || body.decoded_length + *size > MAX_REPLY_BODY) {
            show_error(messages::response_terminated);
            break;
        }
        if (*size == 0) break;  // the last chunk; trailers are not read
        const auto chunk = read_exact(socket, static_cast<std::size_t>(*size));
        char line_end[2];
        platform::net_recv(socket, line_end, sizeof line_end);  // the CR LF after the chunk data
        body.decoded_length += *size;
        // A broken chunk is left out; a chunk holding a NUL adds only the bytes before it.
        if (chunk) body.text += until_nul(*chunk);
    }
    return body;
}
