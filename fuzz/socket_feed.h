// Hands fuzz input to the reply reader through a real connected socket, as a gallery would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/platform.h"

// Inputs above this are refused: the whole input is written before anything is read, so it must fit
// the socket's buffer or the write would block.
inline constexpr std::size_t LARGEST_FED_INPUT = 64 * 1024;

// A stream socket whose peer has sent exactly these bytes and then shut down its side. None when the
// input is too large.
class FedSocket {
public:
    static std::optional<FedSocket> make(const std::uint8_t* data, std::size_t size);
    FedSocket(FedSocket&& other) noexcept;
    FedSocket(const FedSocket&) = delete;
    FedSocket& operator=(const FedSocket&) = delete;
    FedSocket& operator=(FedSocket&&) = delete;
    ~FedSocket();

    platform::Socket socket() const { return static_cast<platform::Socket>(reader_); }
    // Bytes sent but not yet read: tells how much a reader consumed.
    std::size_t unread() const;

private:
    FedSocket(int reader, int writer) : reader_(reader), writer_(writer) {}
    int reader_ = -1;
    int writer_ = -1;
};
