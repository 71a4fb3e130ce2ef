// The scripted gallery's sockets: listen, accept, receive with a time limit, send, close.
#include "support/loopback.h"

#include "platform/platform.h"

#if defined(_WIN32)
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on
using socklen_t = int;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

using Handle = std::uintptr_t;
constexpr Handle bad_handle = ~Handle{0};
constexpr int quiet_limit_ms = 5000;

void close_handle(Handle handle) {
    if (handle == bad_handle) return;
#if defined(_WIN32)
    ::closesocket(static_cast<SOCKET>(handle));
#else
    ::close(static_cast<int>(handle));
#endif
}

// Waits until the socket can be read; false after the quiet limit.
bool wait_readable(Handle handle, int milliseconds) {
#if defined(_WIN32)
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<SOCKET>(handle), &set);
    timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
    return ::select(0, &set, nullptr, nullptr, &limit) > 0;
#else
    pollfd entry{static_cast<int>(handle), POLLIN, 0};
    return ::poll(&entry, 1, milliseconds) > 0;
#endif
}

long receive(Handle handle, char* buffer, std::size_t length) {
    return ::recv(handle, buffer, static_cast<int>(length), 0);
}

void send_all(Handle handle, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
#if defined(_WIN32)
        const long sent = ::send(handle, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
#else
        const long sent = ::send(static_cast<int>(handle), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
#endif
        if (sent <= 0) return;
        done += static_cast<std::size_t>(sent);
    }
}

std::string read_exactly(Handle handle, std::size_t length) {
    std::string bytes;
    char buffer[4096];
    while (bytes.size() < length && wait_readable(handle, quiet_limit_ms)) {
        const long got = receive(handle, buffer, std::min(sizeof buffer, length - bytes.size()));
        if (got <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
}

// Closes so that the peer sees a reset rather than an orderly end.
void reset_connection(Handle handle) {
    linger abort_at_once{1, 0};
    ::setsockopt(handle, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort_at_once), sizeof abort_at_once);
    close_handle(handle);
}

std::size_t content_length(const std::string& head) {
    const auto at = head.find("\r\nContent-Length:");
    if (at == std::string::npos) return 0;
    return std::strtoul(head.c_str() + at + 17, nullptr, 10);
}

void serve(ScriptedGallery* gallery);

#if defined(_WIN32)
DWORD WINAPI serve_thread(void* gallery) {
    serve(static_cast<ScriptedGallery*>(gallery));
    return 0;
}
#else
void* serve_thread(void* gallery) {
    serve(static_cast<ScriptedGallery*>(gallery));
    return nullptr;
}
#endif

void serve(ScriptedGallery* gallery) {
    for (const ScriptedExchange& exchange : gallery->script) {
        // A connection already waiting is served even when the test is stopping.
        bool ready = false;
        for (int waited = 0; !ready && waited < 20000; waited += 50) {
            ready = wait_readable(gallery->listener, 50);
            if (gallery->stopping) break;
        }
        if (!ready) break;
#if defined(_WIN32)
        const Handle client = ::accept(gallery->listener, nullptr, nullptr);
#else
        const Handle client = static_cast<Handle>(::accept4(static_cast<int>(gallery->listener), nullptr, nullptr, SOCK_CLOEXEC));
#endif
        if (client == bad_handle) break;
        if (&exchange == &gallery->script.back()) {
            // Refuse further connections from now on, before the client can try another.
            close_handle(gallery->listener);
            gallery->listener = bad_handle;
        }
        std::string request;
        if (exchange.reset_after > 0) {
            request = read_exactly(client, exchange.reset_after);
            gallery->requests.push_back(request);
            reset_connection(client);
            continue;
        }
        if (exchange.read_request) request = read_request(client);
        gallery->requests.push_back(request);
        send_all(client, exchange.reply);
        if (exchange.pause_ms > 0) {
#if defined(_WIN32)
            ::Sleep(static_cast<DWORD>(exchange.pause_ms));
#else
            ::usleep(static_cast<useconds_t>(exchange.pause_ms) * 1000);
#endif
            send_all(client, exchange.later);
        }
#if defined(_WIN32)
        ::shutdown(client, SD_SEND);
#else
        ::shutdown(static_cast<int>(client), SHUT_WR);
#endif
        // Unread bytes at close would reset the connection and could cut the reply short.
        char sink[4096];
        while (wait_readable(client, 0) && receive(client, sink, sizeof sink) > 0) {
        }
        close_handle(client);
    }
    close_handle(gallery->listener);  // when the script ended early
    gallery->listener = bad_handle;
}

}  // namespace

void test_sockets_start() {
#if defined(_WIN32)
    static bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
#endif
}

int receive_limit_seconds(std::uintptr_t socket) {
#if defined(_WIN32)
    DWORD limit = 0;
    int length = sizeof limit;
    ::getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&limit), &length);
    return static_cast<int>(limit / 1000);
#else
    timeval limit{};
    socklen_t length = sizeof limit;
    ::getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVTIMEO, &limit, &length);
    return static_cast<int>(limit.tv_sec);
#endif
}

void set_receive_limit_ms(std::uintptr_t socket, int milliseconds) {
#if defined(_WIN32)
    const DWORD limit = static_cast<DWORD>(milliseconds);
#else
    const timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
#endif
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
}

std::string read_request(std::uintptr_t socket) {
    std::string request;
    char buffer[65536];
    std::size_t wanted = std::string::npos;
    while (request.size() < wanted) {
        if (!wait_readable(socket, quiet_limit_ms)) break;
        const long got = receive(socket, buffer, sizeof buffer);
        if (got <= 0) break;
        request.append(buffer, static_cast<std::size_t>(got));
        const auto head_end = request.find("\r\n\r\n");
        if (wanted == std::string::npos && head_end != std::string::npos) {
            wanted = head_end + 4 + content_length(request.substr(0, head_end + 2));
        }
    }
    return request;
}

bool gallery_start(ScriptedGallery& gallery, std::uint16_t port, std::vector<ScriptedExchange> script) {
    test_sockets_start();
    if (script.empty()) {
        gallery.script.clear();
        gallery.requests.clear();
        return true;  // nothing listens: every connection is refused
    }
#if defined(_WIN32)
    const Handle listener = ::socket(AF_INET, SOCK_STREAM, 0);
#else
    // Programs started by the tests must not inherit the listener and keep it open.
    const Handle listener = static_cast<Handle>(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
#endif
    if (listener == bad_handle) return false;
    int yes = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 8) != 0) {
        close_handle(listener);
        return false;
    }
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    gallery.listener = listener;
    gallery.port = ntohs(address.sin_port);
    gallery.script = std::move(script);
    gallery.requests.clear();
    gallery.stopping = false;
#if defined(_WIN32)
    gallery.worker = reinterpret_cast<std::uintptr_t>(::CreateThread(nullptr, 0, serve_thread, &gallery, 0, nullptr));
#else
    pthread_t thread;
    if (::pthread_create(&thread, nullptr, serve_thread, &gallery) == 0) gallery.worker = static_cast<std::uintptr_t>(thread);
#endif
    return gallery.worker != 0;
}

void gallery_stop(ScriptedGallery& gallery) {
    gallery.stopping = true;
    if (gallery.worker == 0) return;
#if defined(_WIN32)
    const HANDLE thread = reinterpret_cast<HANDLE>(gallery.worker);
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
#else
    ::pthread_join(static_cast<pthread_t>(gallery.worker), nullptr);
#endif
    gallery.worker = 0;
}

std::vector<std::string> gallery_requests(const ScriptedGallery& gallery) { return gallery.requests; }

ScriptedPeer::ScriptedPeer(std::string_view bytes, int pause_ms, std::string_view later) {
    if (gallery_start(gallery, 0, {{std::string(bytes), false, 0, pause_ms, std::string(later)}})) {
        socket = platform::connect_ipv4("127.0.0.1", gallery.port).socket;
    }
}

ScriptedPeer::~ScriptedPeer() {
    platform::net_close(socket);
    gallery_stop(gallery);
}

std::string ScriptedPeer::rest() {
    std::string left;
    char buffer[4096];
    long got;
    while ((got = platform::net_recv(socket, buffer, sizeof buffer)) > 0) left.append(buffer, static_cast<std::size_t>(got));
    return left;
}
