// What the listener and its sessions share: the connection registry, the storage count and the
// executors. Touched only on the network thread, except `disk`, which runs work handed to it.
#pragma once

#include <boost/asio.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "gallery_server.h"
#include "thumbnails.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

class Session;

struct ClientRecord {
    std::size_t connections = 0;
    std::chrono::steady_clock::time_point rate_clock{};  // when the client's upload rate allows its next byte
};

struct ServerState {
    explicit ServerState(Gallery& g)
        : gallery(g), disk(static_cast<std::size_t>(std::max<std::uint64_t>(g.config.disk_threads, 1))),
          images(static_cast<std::size_t>(std::max<std::uint64_t>(g.config.image_threads, 1))) {
        thumbnails.dir = g.store.picture_dir.parent_path() / "derived";
        thumbnails.most_pixels = g.config.most_picture_pixels;
    }

    Gallery& gallery;
    std::map<std::string, ClientRecord> clients;
    std::list<Session*> idle;          // connections waiting for a request, oldest first
    std::size_t connections = 0;
    std::uint64_t stored_bytes = 0;    // pictures stored, for the quota
    std::uint64_t reserved_bytes = 0;  // announced by uploads under way
    // Declared after the registry: sessions still deregister while the io_context destroys them.
    asio::io_context io{1};
    asio::thread_pool disk;
    asio::thread_pool images;      // thumbnails, apart from the disk work uploads wait for
    ThumbnailMaker thumbnails;
    tcp::acceptor acceptor{io};
    asio::signal_set signals{io};
};
