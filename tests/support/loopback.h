// A scripted gallery on loopback: it accepts connections in turn, records what each one sent, and
// answers each with fixed raw bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>
#include <string>
#include <vector>

struct ScriptedExchange {
    std::string reply;            // sent as it stands once the request has arrived
    bool read_request = true;     // false: answer at once, without waiting for a request
    // Read only this many bytes, then reset the connection (a gallery that drops an upload).
    std::size_t reset_after = 0;
    // After the reply, stay silent this long, then send `later` (a gallery that stalls).
    int pause_ms = 0;
    std::string later = {};
};

struct ScriptedGallery {
    std::uintptr_t listener = ~std::uintptr_t{0};
    std::uint16_t port = 0;
    std::vector<ScriptedExchange> script;
    std::vector<std::string> requests;  // one per accepted connection, as received
    // The serving thread, by the system's own means: the shipped Windows runtime has no std::thread.
    std::uintptr_t worker = 0;
    std::atomic<bool> stopping = false;
};

// Starts serving the script on 127.0.0.1 (port 0: any free port). After the last exchange the
// listener closes, so further connections are refused. False when the port cannot be bound.
bool gallery_start(ScriptedGallery& gallery, std::uint16_t port, std::vector<ScriptedExchange> script);
// Ends the script (a connection already accepted is still answered) and closes everything.
void gallery_stop(ScriptedGallery& gallery);
// What each connection sent; read it after gallery_stop.
std::vector<std::string> gallery_requests(const ScriptedGallery& gallery);

// Reads one request as a gallery would: the head up to the empty line, then Content-Length bytes.
// Stops early when the client closes or stays silent for a few seconds.
std::string read_request(std::uintptr_t socket);

// The receive time limit set on a socket, in whole seconds.
int receive_limit_seconds(std::uintptr_t socket);
// Sets a socket's receive time limit, so that tests need not wait the program's own.
void set_receive_limit_ms(std::uintptr_t socket, int milliseconds);

// Starts the socket library in test programs (a no-op on POSIX systems).
void test_sockets_start();

// A connection from this process whose other end sends the given bytes at once, then closes.
struct ScriptedPeer {
    ScriptedGallery gallery;
    std::uintptr_t socket = ~std::uintptr_t{0};

    explicit ScriptedPeer(std::string_view bytes, int pause_ms = 0, std::string_view later = {});
    ~ScriptedPeer();
    // Everything still unread on the connection.
    std::string rest();
};
