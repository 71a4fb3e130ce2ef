// Pictures as the pages show them: the pixel size read from a header, and smaller copies made with
// libvips. Every uploaded file is hostile input: only four loaders are allowed, and a picture's
// size is checked from its header before anything is decoded.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>

// Long-edge sizes made for each picture: two for album cards (a srcset), one for the picture view.
constexpr int card_size = 480;
constexpr int large_card_size = 960;
constexpr int view_size = 1920;
bool is_thumbnail_size(int size);

// What a picture's header says, once turned upright by its EXIF orientation.
struct PictureFacts {
    bool decodable = false;  // false: shown by its original only
    int width = 0, height = 0;
    bool animated = false;
};

// The pixel size of a copy at `size` on the long edge; never larger than the picture.
std::pair<int, int> fitted_size(const PictureFacts& facts, int size);

// Reads only the header of the picture in `fd` (left open, read from its start).
PictureFacts read_picture_facts(int fd);

// Nothing when the header of the picture at `path` is fine, else why it is refused: a header
// announcing more than `most_pixels`, or no header the gallery can read is no refusal (such a file is
// stored and shown as it is).
std::optional<std::string> refuse_by_header(const std::filesystem::path& path, std::uint64_t most_pixels);

// Derived copies live in `dir` (DATA/derived), named by picture id and size. They are never needed
// for a backup: a missing one is made again, and one older than its original is stale.
struct ThumbnailMaker {
    std::filesystem::path dir;
    std::uint64_t most_pixels = 100000000;
    std::mutex mutex;
    std::condition_variable finished;
    std::set<std::string> in_progress;  // one maker per file: others wait for it
    std::uint64_t made = 0;             // copies made since start
};

// Facts of picture `id`, whose original is open in `fd`: kept beside the copies once read.
PictureFacts picture_facts(ThumbnailMaker& maker, std::int64_t id, int fd);

// The path of picture `id`'s copy at `size`, made now when missing or stale, or empty with `error`
// when the original cannot be made smaller (undecodable, or too many pixels). Blocks: runs on a
// worker thread.
std::filesystem::path thumbnail_path(ThumbnailMaker& maker, std::int64_t id, int fd, int size, std::string& error);

// Removes picture `id`'s copies and facts from `dir`, once its row is gone.
void remove_derived_copies(const std::filesystem::path& dir, std::int64_t id);
// The picture a file in the derived folder was made from, or nothing for a name the maker never
// writes. Half-written copies (".part") belong to their picture too.
std::optional<std::int64_t> derived_owner(std::string_view file_name);

constexpr std::string_view thumbnail_type = "image/webp";
