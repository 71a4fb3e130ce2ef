// The gallery's HTTP side: configuration, the budgets every connection lives within, and the server.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "gallery_store.h"
#include "upload_body.h"

// What one client may hold of the server. Idle connections cost a socket and a timer, so the wait
// for a request's first byte is long: a person may be reading a warning box meanwhile.
struct ConnectionBudgets {
    std::uint64_t most_connections = 1000;           // open connections in all
    std::uint64_t most_per_client = 64;              // open connections from one address
    std::chrono::milliseconds idle_wait{std::chrono::minutes(15)};  // before the first byte of a request
    std::chrono::milliseconds head_time{std::chrono::seconds(30)};  // for the whole head, once it starts
    std::chrono::milliseconds body_gap{std::chrono::seconds(60)};   // longest pause in a body
    std::uint64_t least_body_rate = 1024;          // bytes per second a body must average (after body_gap)
    std::chrono::milliseconds send_time{std::chrono::seconds(60)};  // for sending a reply
    std::uint64_t header_bytes = 16384;              // request line and header fields together
    std::uint64_t header_fields = 64;
};

struct ServerConfig {
    std::string host = "127.0.0.1";
    int port = 8080;                  // 0: any free port
    std::filesystem::path data_dir;
    std::optional<std::string> database;  // libpq connection string; set: PostgreSQL holds the albums
    bool check = false;                   // report the store's state and exit
    std::string public_url;           // empty: derived from host and port once bound
    UploadLimits limits;
    ConnectionBudgets budgets;
    std::uint64_t storage_quota = 0;       // bytes of stored pictures; 0: none but the disk
    std::uint64_t client_upload_rate = 0;  // bytes per second per client address; 0: unlimited
    std::uint64_t disk_threads = 2;          // database and fsync work, off the network thread
    StoreBudgets store;                      // what the store may take: cache, database waits
    bool log_requests = true;
};

struct Gallery {
    ServerConfig config;
    GalleryStore store;
    std::string public_url;
};

// "largest_upload:most_files:largest_file", read by the uploader with "%d:%d:%d".
std::string limits_text(const UploadLimits& limits);

std::string default_public_url(std::string_view host, int port);

struct ServerState;

// One network thread for every connection; database and disk syncs on a small pool beside it.
class GalleryServer {
public:
    explicit GalleryServer(Gallery& gallery);  // `gallery` must outlive the server
    ~GalleryServer();
    GalleryServer(const GalleryServer&) = delete;
    GalleryServer& operator=(const GalleryServer&) = delete;

    // Returns the bound port, or 0 with `error` set.
    int bind(std::string& error);
    // Serves until stop() or SIGINT/SIGTERM (when `on_signals`).
    void run(bool on_signals = false);
    // Safe from any thread.
    void stop();

private:
    std::unique_ptr<ServerState> state_;
};
