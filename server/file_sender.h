// Sending a stored picture: opened, read a piece at a time on the read lane, each piece written out
// before the next is read; one range at most.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <optional>

#include <boost/beast/http.hpp>

struct FileSend {
    int fd = -1;
    int status = 200;
    std::uint64_t next = 0, end = 0, sent = 0;
    std::optional<boost::beast::http::response<boost::beast::http::empty_body>> head;
    std::optional<boost::beast::http::response_serializer<boost::beast::http::empty_body>> serializer;

    FileSend() = default;
    FileSend(const FileSend&) = delete;
    FileSend& operator=(const FileSend&) = delete;
    ~FileSend() {
        if (fd >= 0) ::close(fd);
    }
};
