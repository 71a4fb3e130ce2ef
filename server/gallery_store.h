// The gallery's storage: one interface, two backends chosen at start. SQLite keeps albums in a
// database file beside a folder of picture files; PostgreSQL keeps rows and picture bytes (large
// objects) in one shared database, so any instance serves any album. Uploads are staged in a local
// folder either way, and nothing above this header knows which backend runs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct PostgresStore;  // connections and the local picture cache; defined by the PostgreSQL backend

struct GalleryStore {
    // SQLite: DATA/pictures, where pictures live. PostgreSQL: DATA/incoming, where uploads are
    // staged before they are copied into the database. Staged files are made here either way.
    std::filesystem::path picture_dir;
    std::filesystem::path database;      // SQLite only: DATA/gallery.sqlite
    std::string read_only;               // SQLite only: non-empty: opened for reading only, for this reason
    bool immutable = false;              // SQLite only: read without the WAL's shared memory
    std::shared_ptr<PostgresStore> postgres;  // set: the PostgreSQL backend runs
};

// Where the store is: a data folder, and for PostgreSQL a libpq connection string ("postgresql://…",
// "key=value …", or empty for the PG* environment variables).
struct StoreLocation {
    std::filesystem::path data_dir;
    std::optional<std::string> database;
};

// Why something could not be stored; `out_of_space` when the disk or a file size limit is the cause.
struct StoreFailure {
    std::string detail;
    bool out_of_space = false;
};

// A picture file being received: written under a temporary name in the store's picture folder,
// synced, and handed to store_album. Removed on destruction unless the store took it over.
struct StagedFile {
    int fd = -1;
    std::filesystem::path path;
    std::uint64_t size = 0;
    // Whether the bytes must reach the disk before the commit: not when the store copies them into
    // a database whose commit makes them durable.
    bool durable = true;

    StagedFile() = default;
    StagedFile(StagedFile&& other) noexcept;
    StagedFile& operator=(StagedFile&& other) noexcept;
    ~StagedFile();
};

std::optional<StoreFailure> open_staged(const GalleryStore& store, StagedFile& file);
std::optional<StoreFailure> write_staged(StagedFile& file, std::string_view bytes);
// Finishes a staged file as soon as its last byte is written: its bytes are made durable for the
// store and its descriptor is released, so an upload holds none for files already received. It
// waits for the disk (or the database), so it runs off the network thread.
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
    std::string title;   // empty: the page names the album by its date
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
    std::string title;
};

// Opens the store at `where` (PostgreSQL when a database is named), creating or migrating its
// schema, and removes staged files a crash left behind. Returns an error text or nothing.
std::optional<std::string> open_store(const StoreLocation& where, GalleryStore& store);
// The SQLite store under `data_dir`. An existing store that cannot be written (a full disk) is
// opened for reading, with `store.read_only` saying why.
std::optional<std::string> open_store(const std::filesystem::path& data_dir, GalleryStore& store);

// What `gallery-server --check` prints: the store's place, schema version and contents, read
// without changing anything. `healthy` is false when the store cannot be used as it stands.
struct StoreReport {
    bool healthy = false;
    std::string text;
};
StoreReport check_store(const StoreLocation& where);

// Bytes of all stored pictures, for the storage quota.
std::uint64_t stored_bytes(const GalleryStore& store, std::string& error);
// What one stored picture of `file_size` bytes costs the store, as the quota charges it.
std::uint64_t charged_bytes(std::uint64_t file_size);

// Stores the album and all its pictures, or nothing at all. Returns the album id, or 0 with
// `failure` set. Runs off the network thread: it waits for the disk or the database.
std::int64_t store_album(const GalleryStore& store, NewAlbum& album, StoreFailure& failure);

// Nothing with `error` empty means there is no such album or picture.
std::optional<StoredAlbum> load_album(const GalleryStore& store, std::int64_t album_id, std::string& error);
std::optional<StoredPicture> load_picture(const GalleryStore& store, std::int64_t picture_id, std::string& error);

// A picture's row and a descriptor to read its bytes from (the caller closes it); -1 with `error`
// empty when there is no such picture.
int open_picture(const GalleryStore& store, std::int64_t picture_id, StoredPicture& picture, std::string& error);

// SQLite only: where a stored picture's file is.
std::filesystem::path picture_path(const GalleryStore& store, std::int64_t picture_id);
