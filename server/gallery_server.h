// The gallery's HTTP side: configuration, routes, and the upload exchange the uploader relies on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "gallery_store.h"
#include "upload_body.h"

namespace httplib {
class Server;
}

struct ServerConfig {
    std::string host = "127.0.0.1";
    int port = 8080;                  // 0: any free port
    std::filesystem::path data_dir;
    std::string public_url;           // empty: derived from host and port once bound
    UploadLimits limits;
    std::size_t threads = 8;
    int read_timeout_seconds = 10;
    bool log_requests = true;
};

struct Gallery {
    ServerConfig config;
    GalleryStore store;
    std::string public_url;
};

struct UploadReply {
    int status = 200;
    std::string body;
};

// "largest_upload:most_files:largest_file", read by the uploader with "%d:%d:%d".
std::string limits_text(const UploadLimits& limits);

std::string default_public_url(std::string_view host, int port);

// Parses, checks and stores one upload body; the reply is what goes back to the uploader.
UploadReply accept_upload(const Gallery& gallery, std::string_view body, const std::string& client);

// Installs routes, timeouts, thread pool and size limits. `gallery` must outlive `server`.
void configure_server(httplib::Server& server, const Gallery& gallery);
