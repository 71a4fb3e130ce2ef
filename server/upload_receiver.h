// An upload's body: its head and file list read on the network thread, its files written, sniffed
// and finished on the write lane one received chunk at a time. The socket is read again only once a
// chunk is written, so an upload has one buffer in flight and one staged file open at most.
#pragma once

#include <boost/asio.hpp>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gallery_pages.h"
#include "gallery_store.h"
#include "upload_body.h"

// The listed files as their bytes arrive. Owned by whichever thread works on it: the network thread
// between chunks, the write lane during one.
struct ReceivedFiles {
    const GalleryStore* store = nullptr;
    std::atomic<std::uint64_t>* open_count = nullptr;  // staged files open in the whole server
    std::uint64_t most_open = 0;
    std::vector<ListedFile> files;   // names move on into pictures or refusals: each is kept once
    std::size_t index = 0;
    std::uint64_t left = 0;          // bytes of files[index] still to come
    std::string sniff;
    bool typed = false;
    std::string_view type;
    StagedFile staged;
    std::vector<NewPicture> pictures;   // finished: synced and closed
    std::vector<Refusal> refusals;
    std::optional<StoreFailure> failure;
    bool too_many_open = false;      // the server's staged-file budget was full

    ReceivedFiles() = default;
    ReceivedFiles(const ReceivedFiles&) = delete;
    ReceivedFiles& operator=(const ReceivedFiles&) = delete;
    ~ReceivedFiles();
};

// Takes the list over; files of no bytes are settled at once.
void start_files(ReceivedFiles& received, std::vector<ListedFile> files);
// Writes the contents in `data` to their staged files, finishing each file as its last byte arrives.
// Blocks on the disk: runs on the write lane.
void take_file_bytes(ReceivedFiles& received, std::string_view data);

struct ServerState;

// Everything an upload holds on the network thread; gives back its reservations when it goes.
struct UploadPhase {
    UploadPhase(ServerState& state, UploadHeadReader head);
    ~UploadPhase();
    UploadPhase(const UploadPhase&) = delete;
    UploadPhase& operator=(const UploadPhase&) = delete;

    ServerState& state;
    UploadHeadReader head;
    std::uint64_t body_left = 0;
    std::uint64_t list_held = 0;  // counted against the server's list memory
    std::size_t list_counted = 0; // files of head.head.files already counted
    std::uint64_t reserved = 0;   // counted against the quota
    // The body's rate: each byte buys 1/rate seconds, banked for the longest pause at most, so bytes
    // sent early buy no silence later. Time spent not reading (throttled, writing) is added.
    std::chrono::steady_clock::time_point paid_until;
    std::unique_ptr<ReceivedFiles> files;  // null while the write lane has it
    boost::asio::steady_timer throttle;
};

// The 403's reason, which the uploader shows; the client's address follows it in brackets.
inline constexpr std::string_view upload_not_allowed = "this gallery does not take uploads from your address";

// What an entry of the file list costs to hold.
std::uint64_t listed_cost(const ListedFile& file);
