// A socket pair whose writing side sends the whole input and shuts down before the reader starts.
#include "socket_feed.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

std::optional<FedSocket> FedSocket::make(const std::uint8_t* data, std::size_t size) {
    if (size > LARGEST_FED_INPUT) return std::nullopt;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        std::perror("socketpair");
        std::abort();
    }
    FedSocket fed(pair[0], pair[1]);
    int buffer = 4 * LARGEST_FED_INPUT;
    ::setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    // Never block: a full buffer is a fault of this harness, reported at once rather than hanging.
    ::fcntl(pair[1], F_SETFL, O_NONBLOCK);
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(pair[1], data + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            std::fprintf(stderr, "socket_feed: %zu of %zu bytes fit the socket buffer\n", sent, size);
            std::abort();
        }
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(pair[1], SHUT_WR);
    return fed;
}

FedSocket::FedSocket(FedSocket&& other) noexcept : reader_(other.reader_), writer_(other.writer_) {
    other.reader_ = other.writer_ = -1;
}

FedSocket::~FedSocket() {
    if (reader_ >= 0) ::close(reader_);
    if (writer_ >= 0) ::close(writer_);
}

std::size_t FedSocket::unread() const {
    int pending = 0;
    if (::ioctl(reader_, FIONREAD, &pending) != 0) return 0;
    return static_cast<std::size_t>(pending);
}
