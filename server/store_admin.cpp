// The operator's commands on a store, and the running gallery's expiry of old albums.
#include "store_admin.h"

bool is_admin_command(std::string_view word) {
    return word == "list" || word == "show" || word == "delete" || word == "expire";
}

AdminOutcome admin_command(std::string_view, const std::vector<std::string>&) { return {1, "not built yet\n"}; }

AlbumExpiry::AlbumExpiry(const GalleryStore&, std::chrono::hours) {}

AlbumExpiry::~AlbumExpiry() {
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}
