// The operator's commands on a store: gallery-server list | show KEY | delete KEY | expire DAYS,
// each with the gallery's usual --data and --database, safe while a gallery serves the same store;
// and the running gallery's own expiry of old albums.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "gallery_store.h"

struct AdminOutcome {
    int exit_code = 1;  // 0 done, 1 failed (or no such album), 2 the command line was refused
    std::string text;   // what to print: the answer, or why it failed
};

// True for the words that start an admin command.
bool is_admin_command(std::string_view word);
// The whole command: `command` is its word, `args` what follows it (its argument, then the
// gallery's usual options).
AdminOutcome admin_command(std::string_view command, const std::vector<std::string>& args);

// Deletes albums older than `older_than` every hour on a thread of its own, off the network thread,
// until destroyed. Zero hours: nothing runs.
class AlbumExpiry {
public:
    AlbumExpiry(const GalleryStore& store, std::chrono::hours older_than);
    ~AlbumExpiry();
    AlbumExpiry(const AlbumExpiry&) = delete;
    AlbumExpiry& operator=(const AlbumExpiry&) = delete;

private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};
