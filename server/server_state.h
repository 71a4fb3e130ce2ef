// What the listener and its connections share: the connection registry, the storage count, the page
// cache and the executors. Touched only on the network thread, except the disk lanes (which run work
// handed to them) and the atomic counters they update.
#pragma once

#include <boost/asio.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>

#include "disk_lanes.h"
#include "page_cache.h"
#include "server_config.h"
#include "thumbnails.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

class Connection;

struct ClientRecord {
    std::size_t connections = 0;
    std::chrono::steady_clock::time_point rate_clock{};  // when the client's upload rate allows its next byte
};

// The stored total for the quota as the disk threads read it after each commit. Reads are numbered
// under the lock, so a total read earlier never replaces one read later, whatever order their
// completions reach the network thread in.
struct StoredTotal {
    std::mutex lock;
    std::uint64_t next_read = 0;
};

struct ServerState {
    explicit ServerState(Gallery& g)
        : gallery(g),
          writes(static_cast<std::size_t>(std::max<std::uint64_t>(g.config.disk_threads, 1)), g.config.budgets.disk_queue),
          reads(static_cast<std::size_t>(std::max<std::uint64_t>(g.config.read_threads, 1)), g.config.budgets.disk_queue),
          images(static_cast<std::size_t>(std::max<std::uint64_t>(g.config.image_threads, 1)), g.config.budgets.disk_queue) {
        pages.budget = g.config.budgets.page_cache;
        thumbnails.dir = g.store.picture_dir.parent_path() / "derived";
        thumbnails.most_pixels = g.config.most_picture_pixels;
    }

    Gallery& gallery;
    std::map<std::string, ClientRecord> clients;
    std::list<Connection*> idle;       // connections waiting for a request or lingering, oldest first
    std::size_t connections = 0;
    std::size_t closing = 0;           // evicted, not yet gone: their slots are already free
    std::uint64_t stored_bytes = 0;    // pictures stored, for the quota
    std::uint64_t stored_read = 0;     // the number of the read `stored_bytes` came from
    std::uint64_t reserved_bytes = 0;  // announced by uploads under way
    std::uint64_t list_memory = 0;     // file lists held by uploads under way
    std::atomic<std::uint64_t> staged_open{0};  // staged files open, on any disk thread
    StoredTotal total_reads;
    PageCache pages;
    bool stopping = false;
    // Declared after the registry: connections still deregister while the io_context destroys them,
    // and the lanes are joined before the io_context goes, so nothing is posted to a dead one.
    asio::io_context io{1};
    DiskLane writes;
    DiskLane reads;
    DiskLane images;               // thumbnails and the picture headers pages need, apart from other reads
    ThumbnailMaker thumbnails;
    tcp::acceptor acceptor{io};
    asio::signal_set signals{io};
    asio::steady_timer grace{io};
    int spare_descriptor = -1;  // given up to answer a connection when descriptors run out
};
