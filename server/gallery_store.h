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
};

struct NewPicture {
    std::string name;
    std::string content_type;
    std::string_view contents;
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
// (left by a crash between writing a file and committing). Returns an error text or nothing.
std::optional<std::string> open_store(const std::filesystem::path& data_dir, GalleryStore& store);

// Stores the album and all its pictures, or nothing at all. Returns the album id, or 0 with `error` set.
std::int64_t store_album(const GalleryStore& store, const NewAlbum& album, std::string& error);

// Nothing with `error` empty means there is no such album or picture.
std::optional<StoredAlbum> load_album(const GalleryStore& store, std::int64_t album_id, std::string& error);
std::optional<StoredPicture> load_picture(const GalleryStore& store, std::int64_t picture_id, std::string& error);

std::filesystem::path picture_path(const GalleryStore& store, std::int64_t picture_id);
