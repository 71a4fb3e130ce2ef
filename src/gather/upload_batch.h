// The upload batch: the file list and the contents of every accepted file, held in memory until
// they are sent, with the running count of bytes they add to the request body.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string_view>

#include "common/constants.h"
#include "common/types.h"

// Buffers grow by these fixed steps, never by doubling.
inline constexpr std::size_t LIST_GROWTH = 512;     // characters
inline constexpr std::size_t CONTENTS_GROWTH = 10;  // entries
inline constexpr std::size_t READ_PIECE = 10240;    // bytes per fread
// The request body must fit a 32-bit Content-Length; a file that would take the batch past it
// cannot be sent and is not held.
inline constexpr std::uint64_t LARGEST_BODY = 0xFFFFFFFF;
// What the body holds besides the batch, at most: the version and the two settings words, each on
// a line of its own. A file is held only when it fits with this room kept free.
inline constexpr std::uint64_t LONGEST_TEXT_LINES =
    2 * (PRODUCT_VERSION_UTF16.size() + LONGEST_OPTION_LETTERS + LONGEST_SWITCH_WORD + 3);

struct HeldFile {
    std::byte* bytes = nullptr;  // from platform::hold_area; null for an empty file
    std::uint64_t size = 0;
};

// The list and the table grow with realloc: a fixed step then costs no copy of the whole buffer
// when the block can grow in place, and a failed step leaves the buffer as it was.
struct UploadBatch {
    // One "%9.9d:%s\n" line per accepted file, UTF-16, no terminator kept.
    char16_t* list = nullptr;
    std::size_t list_length = 0;    // characters
    std::size_t list_capacity = 0;  // characters
    // One entry per accepted file, in the order of the list lines.
    HeldFile* files = nullptr;
    std::size_t count = 0;
    std::size_t table_capacity = 0;
    // Each refusal is announced once per run.
    bool warned_too_big = false;
    bool warned_too_many = false;
    bool warned_too_deep = false;
    bool warned_no_memory = false;
    bool warned_body_too_large = false;
    bool warned_line_break = false;
    bool warned_folder_left = false;
    // The walk could not return to where it started: relative names no longer name what the user
    // meant.
    bool current_dir_lost = false;
    // Bytes the batch adds to the body: 2 for the line feed that closes the list, 2 per list
    // character, and every file's size.
    std::uint64_t total = 2;

    UploadBatch() = default;
    UploadBatch(const UploadBatch&) = delete;
    UploadBatch& operator=(const UploadBatch&) = delete;
    ~UploadBatch();
};

// Starts empty with the first steps of room (or none, when even that cannot be had: adding grows it).
void batch_init(UploadBatch& batch);
// Holds one file: reads size bytes of the open file into a new area and appends its list line, with
// name exactly as the file was reached. Refused, with the batch unchanged and the reason shown, when
// the file is shorter than its size, when memory runs short, or when its contents and line would
// take the body past 4 GB (these two once per run).
bool batch_add_file(UploadBatch& batch, std::uint64_t size, std::u16string_view name, std::FILE* file);
// Appends a list line alone. False, with the memory message once per run, when the list cannot
// grow; the list is then unchanged.
bool batch_add_line(UploadBatch& batch, std::uint64_t size, std::u16string_view name);
void batch_release(UploadBatch& batch);

// The number of files whose contents are held.
std::size_t batch_count(const UploadBatch& batch);
std::u16string_view batch_list(const UploadBatch& batch);
std::span<const HeldFile> batch_files(const UploadBatch& batch);
