// A loopback gallery that answers the limits query generously and swallows uploads as fast as it can,
// logging for each upload how long the client was silent after connecting and how long it sent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int IDLE_EXIT_MS = 120'000;  // no client for this long: the benchmark is over or gone
constexpr std::size_t AREA = 1 << 20;

using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

void send_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string reply(std::string_view body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

// The value of a header, matched without regard to case; empty when absent.
std::string header_value(std::string_view head, std::string_view name) {
    std::string lower(head);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto at = lower.find("\r\n" + std::string(name) + ":");
    if (at == std::string::npos) return {};
    const auto start = at + 3 + name.size();
    return std::string(head.substr(start, head.find("\r\n", start) - start));
}

// The bodies of the first SAVED_BODIES uploads are kept, so that curl can post the very same bytes.
constexpr int SAVED_BODIES = 2;

void serve(int fd, std::FILE* stats, const char* save_dir, int& saved, std::vector<char>& area) {
    const timeval limit{30, 0};  // a stuck client must not stop the benchmark
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const auto accepted = Clock::now();
    Clock::time_point first{};
    std::string head;
    std::size_t body_start = std::string::npos;
    while (body_start == std::string::npos) {
        const ssize_t n = ::recv(fd, area.data(), area.size(), 0);
        if (n <= 0) return;
        if (head.empty()) first = Clock::now();
        head.append(area.data(), static_cast<std::size_t>(n));
        const auto end = head.find("\r\n\r\n");
        if (end != std::string::npos) body_start = end + 4;
        if (head.size() > 65536 && body_start == std::string::npos) return;
    }
    if (head.starts_with("GET ")) {
        send_all(fd, reply("4294967295:-1:-1"));
        return;
    }
    if (header_value(head, "expect") == " 100-continue") send_all(fd, "HTTP/1.1 100 Continue\r\n\r\n");
    const std::size_t length = std::strtoull(header_value(head, "content-length").c_str(), nullptr, 10);
    std::FILE* save = nullptr;
    if (save_dir != nullptr && saved < SAVED_BODIES) {
        save = std::fopen((std::string(save_dir) + "/body-" + std::to_string(saved + 1) + ".bin").c_str(), "wb");
    }
    std::size_t have = head.size() - body_start;
    if (save != nullptr) std::fwrite(head.data() + body_start, 1, have, save);
    while (have < length) {
        const ssize_t n = ::recv(fd, area.data(), std::min(area.size(), length - have), 0);
        if (n <= 0) break;
        if (save != nullptr) std::fwrite(area.data(), 1, static_cast<std::size_t>(n), save);
        have += static_cast<std::size_t>(n);
    }
    const auto last = Clock::now();
    if (save != nullptr) {
        std::fclose(save);
        ++saved;
    }
    send_all(fd, reply("http://127.0.0.1/album/1"));
    std::fprintf(stats, "post %zu %zu %.3f %.3f\n", length, have, ms_between(accepted, first), ms_between(first, last));
    std::fflush(stats);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: sink PORT STATS_FILE [SAVE_DIR for body-1.bin and body-2.bin]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    std::FILE* stats = std::fopen(argv[2], "a");
    const char* save_dir = argc > 3 ? argv[3] : nullptr;
    if (stats == nullptr) return 2;

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 16) != 0) {
        std::perror("sink: bind/listen");
        return 2;
    }
    std::vector<char> area(AREA);
    int saved = 0;
    while (true) {
        pollfd waiting{listener, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, IDLE_EXIT_MS);
        if (ready == 0) return 0;
        if (ready < 0) {
            if (errno == EINTR) continue;
            return 2;
        }
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        // One client at a time is enough: the uploader's limits connection is answered and closed
        // before it opens the upload connection.
        serve(fd, stats, save_dir, saved, area);
        ::close(fd);
    }
}
