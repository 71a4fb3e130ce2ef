// A scripted gallery on loopback: it accepts connections in turn, records what each one sent, and
// answers each with fixed raw bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ScriptedExchange {
    std::string reply;            // sent as it stands once the request has arrived
    bool read_request = true;     // false: answer at once, without waiting for a request
};

struct ScriptedGallery {
    std::uintptr_t listener = ~std::uintptr_t{0};
    std::uint16_t port = 0;
    std::vector<ScriptedExchange> script;
    std::vector<std::string> requests;  // one per accepted connection, as received
    std::mutex mutex;
    std::thread worker;
    std::atomic<bool> stopping = false;
};

// Starts serving the script on 127.0.0.1 (port 0: any free port). After the last exchange the
// listener closes, so further connections are refused. False when the port cannot be bound.
bool gallery_start(ScriptedGallery& gallery, std::uint16_t port, std::vector<ScriptedExchange> script);
// Ends the script (a connection already accepted is still answered) and closes everything.
void gallery_stop(ScriptedGallery& gallery);
std::vector<std::string> gallery_requests(ScriptedGallery& gallery);

// Reads one request as a gallery would: the head up to the empty line, then Content-Length bytes.
// Stops early when the client closes or stays silent for a few seconds.
std::string read_request(std::uintptr_t socket);

// Starts the socket library in test programs (a no-op on POSIX systems).
void test_sockets_start();
