// The gallery's listener: binds, admits connections within their budgets, runs until stopped.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "server_config.h"

// "largest_upload:most_files:largest_file", read by the uploader with "%d:%d:%d".
std::string limits_text(const UploadLimits& limits);

std::string default_public_url(std::string_view host, int port);

struct ServerState;

// One network thread for every connection; the disk and the database in two lanes of threads beside it.
class GalleryServer {
public:
    explicit GalleryServer(Gallery& gallery);  // `gallery` must outlive the server
    ~GalleryServer();
    GalleryServer(const GalleryServer&) = delete;
    GalleryServer& operator=(const GalleryServer&) = delete;

    // Returns the bound port, or 0 with `error` set.
    int bind(std::string& error);
    // Serves until stop(), or SIGINT/SIGTERM (when `on_signals`) and the grace period for requests under way.
    void run(bool on_signals = false);
    // Safe from any thread.
    void stop();

private:
    std::unique_ptr<ServerState> state_;
    std::string total_error_;  // why the stored total could not be read at start, if it could not
};
