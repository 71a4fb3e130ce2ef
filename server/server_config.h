// The gallery's configuration: what the options table fills in and every part of the server reads.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "address_ranges.h"
#include "gallery_store.h"
#include "upload_body.h"

// What one client, and all clients together, may hold of the server. Idle connections cost a socket
// and a timer, so the wait for a request's first byte is long: a person may be reading a warning box.
struct ConnectionBudgets {
    std::uint64_t most_connections = 1000;           // open connections in all
    std::uint64_t most_per_client = 64;              // open connections from one address
    std::chrono::milliseconds idle_wait{std::chrono::minutes(15)};  // before the first byte of a request
    std::chrono::milliseconds head_time{std::chrono::seconds(30)};  // for the whole head, once it starts
    std::chrono::milliseconds body_gap{std::chrono::seconds(60)};   // longest pause in a body
    std::uint64_t least_body_rate = 1024;            // bytes per second; time bought is banked for body_gap at most
    std::chrono::milliseconds send_time{std::chrono::seconds(60)};  // for sending a reply
    std::uint64_t header_bytes = 16384;              // request line and header fields together
    std::uint64_t header_fields = 64;
    std::chrono::milliseconds linger_read{std::chrono::seconds(1)};  // one read after the reply
    std::chrono::milliseconds linger_time{std::chrono::seconds(2)};  // all reading after the reply
    std::uint64_t list_bytes = 1 << 20;              // one upload's file list, as sent
    std::uint64_t list_memory = 32 << 20;            // file lists held by all uploads under way
    std::uint64_t staged_files = 256;                // staged files open at once, in all
    std::uint64_t disk_queue = 256;                  // jobs waiting for each disk lane
    std::uint64_t page_cache = 64 << 20;             // rendered pages kept
    std::uint64_t disk_reserve = 8 << 20;            // left free on the disk beside an upload's bytes
    std::chrono::milliseconds stop_grace{std::chrono::seconds(20)};  // for requests under way at SIGTERM
    std::uint64_t form_bytes = 4096;                 // an album owner's form (a new name at most)
    std::chrono::milliseconds form_time{std::chrono::seconds(10)};  // for the whole form body
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
    std::uint64_t disk_threads = 2;          // uploads' writes, syncs and commits, off the network thread
    std::uint64_t read_threads = 2;          // page and picture reads, in their own lane
    std::uint64_t image_threads = 2;         // pictures made smaller at once
    std::uint64_t most_picture_pixels = 100000000;  // a picture's header may announce no more
    StoreBudgets store;                      // what the store may take: cache, database waits
    std::uint64_t expire_after_days = 0;     // albums older than this are deleted; 0: kept for ever
    bool log_requests = true;
    // Numbered album and picture links handed out before albums had keys answer with a redirect to
    // the new address; off, they are not found, like every number.
    bool legacy_links = false;
    // Proxies whose forwarded client address is believed; connections from anyone else are their peer.
    std::vector<AddressRange> trusted_proxies;
    std::optional<std::vector<AddressRange>> upload_allow;  // unset: anyone may upload
};

struct Gallery {
    ServerConfig config;
    GalleryStore store;
    std::string public_url;
};
