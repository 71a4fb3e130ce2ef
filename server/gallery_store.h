// The gallery's storage: albums and picture rows in SQLite, picture bytes in files named by row id.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct GalleryStore {
    std::filesystem::path database;      // DATA/gallery.sqlite
    std::filesystem::path picture_dir;   // DATA/pictures
    std::string read_only;               // non-empty: opened for reading only, for this reason
    bool immutable = false;              // read without the WAL's shared memory
};

// Why something could not be stored; `out_of_space` when the disk or a file size limit is the cause.
struct StoreFailure {
    std::string detail;
    bool out_of_space = false;
};

// A picture file being received: written under a temporary name in the picture folder, synced, and
// renamed to its final name by store_album. Removed on destruction unless it was placed.
struct StagedFile {
    int fd = -1;
    std::filesystem::path path;
    std::uint64_t size = 0;

    StagedFile() = default;
    StagedFile(StagedFile&& other) noexcept;
    StagedFile& operator=(StagedFile&& other) noexcept;
    ~StagedFile();
};

std::optional<StoreFailure> open_staged(const GalleryStore& store, StagedFile& file);
std::optional<StoreFailure> write_staged(StagedFile& file, std::string_view bytes);
// fsync and close; done off the network threads since it waits for the disk.
std::optional<StoreFailure> sync_staged(StagedFile& file);
void discard_staged(StagedFile& file);

struct NewPicture {
    std::string name;
    std::string content_type;
    StagedFile file;   // synced
};

struct NewAlbum {
    std::string options;
    std::string switch_word;
    std::string client;
    std::vector<NewPicture> pictures;
};

struct StoredPicture {
    std::int64_t id = 0;
    std::string name;
    std::string content_type;
    std::uint64_t size = 0;
};

struct StoredAlbum {
    std::int64_t id = 0;
    std::string created;   // UTC, "YYYY-MM-DD HH:MM:SS"
    std::string options;
    std::string switch_word;
    std::vector<StoredPicture> pictures;
};

// Creates or opens the store under `data_dir` and removes picture files that no row owns
// (left by a crash between writing a file and committing). An existing store that cannot be written
// (a full disk) is opened for reading, with `store.read_only` saying why. Returns an error text or nothing.
std::optional<std::string> open_store(const std::filesystem::path& data_dir, GalleryStore& store);

// Bytes of all stored pictures, for the storage quota.
std::uint64_t stored_bytes(const GalleryStore& store, std::string& error);

// Stores the album and all its pictures (their staged files renamed into place), or nothing at all.
// Returns the album id, or 0 with `failure` set.
std::int64_t store_album(const GalleryStore& store, NewAlbum& album, StoreFailure& failure);

// Nothing with `error` empty means there is no such album or picture.
std::optional<StoredAlbum> load_album(const GalleryStore& store, std::int64_t album_id, std::string& error);
std::optional<StoredPicture> load_picture(const GalleryStore& store, std::int64_t picture_id, std::string& error);

std::filesystem::path picture_path(const GalleryStore& store, std::int64_t picture_id);
