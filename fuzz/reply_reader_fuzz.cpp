// Fuzzes the reply reader: heads, then the body in whichever framing the head chose.
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string_view>

#include "http/http_client.h"
#include "socket_feed.h"
#include "ui_capture.h"

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "reply reader: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    captured_ui() = {};
    auto fed = FedSocket::make(data, size);
    if (!fed) return -1;
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    const ReplyHead head = read_reply_head(fed->socket());
    const std::size_t after_head = size - fed->unread();
    // The head is read byte by byte so that no body byte is taken with it.
    const std::string_view rest = input.substr(after_head);
    if (head.length_rule < CHUNKED_BODY) broken("length rule below -1");

    if (head.length_rule == CHUNKED_BODY) {
        const ChunkedBody chunked = read_chunked_body(fed->socket());
        if (chunked.text.size() > chunked.decoded_length) broken("chunked text longer than its chunks");
        if (chunked.decoded_length > MAX_REPLY_BODY) broken("chunked body past the body limit");
        if (chunked.text.find('\0') != std::string::npos) broken("chunked text holds a NUL");
        // The same bytes through read_body must give the same text.
        auto again = FedSocket::make(reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size());
        const auto body = read_body(again->socket(), CHUNKED_BODY);
        if (!body || *body != chunked.text) broken("read_body and read_chunked_body disagree");
        return 0;
    }

    const auto body = read_body(fed->socket(), head.length_rule);
    if (head.length_rule > 0) {
        const auto rule = static_cast<std::size_t>(head.length_rule);
        if (rest.size() >= rule && rule <= MAX_REPLY_BODY) {
            if (!body || *body != rest.substr(0, rule)) broken("a complete body was not returned as sent");
        } else {
            if (body) broken("a short or oversized body was returned");
            if (captured_ui().messages.empty()) broken("a short body went unreported");
        }
    } else {
        // Until close: at most one area, exactly the bytes that followed the head.
        if (!body || *body != rest.substr(0, 1024)) broken("until-close body differs from what was sent");
    }
    return 0;
}
