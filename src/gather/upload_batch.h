// The upload batch: the file list and the contents of every accepted file, held in memory until
// they are sent, with the running count of bytes they add to the request body.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

// Buffers grow by these fixed steps, never by doubling.
inline constexpr std::size_t LIST_GROWTH = 512;     // characters
inline constexpr std::size_t CONTENTS_GROWTH = 10;  // entries
inline constexpr std::size_t READ_PIECE = 10240;    // bytes per fread
// The request body must fit a 32-bit Content-Length; a file that would take the batch past it
// cannot be sent and is not held.
inline constexpr std::uint64_t LARGEST_BODY = 0xFFFFFFFF;

struct HeldFile {
    std::unique_ptr<std::byte[]> bytes;
    std::uint64_t size = 0;
};

struct UploadBatch {
    // One "%9.9d:%s\n" line per accepted file, UTF-16, no terminator kept.
    std::vector<char16_t> list;
    // One entry per accepted file, in the order of the list lines.
    std::vector<HeldFile> files;
    bool warned_too_big = false;
    bool warned_too_many = false;
    bool warned_too_deep = false;
    // Bytes the batch adds to the body: 2 for the line feed that closes the list, 2 per list
    // character, and every file's size.
    std::uint64_t total = 2;
};

void batch_init(UploadBatch& batch);
// Reads size bytes of an open file into a new area. On failure (the file is shorter than its
// size, or the area cannot be had) it shows why, and the batch is unchanged.
bool batch_add_contents(UploadBatch& batch, std::uint64_t size, std::FILE* file);
// Appends the file's list line; name is the name exactly as the file was reached.
void batch_add_line(UploadBatch& batch, std::uint64_t size, std::u16string_view name);
void batch_release(UploadBatch& batch);

// The number of files whose contents are held.
std::size_t batch_count(const UploadBatch& batch);
