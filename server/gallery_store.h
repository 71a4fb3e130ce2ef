// The gallery's storage: one interface, two backends chosen at start. SQLite keeps albums in a
// database file beside a folder of picture files; PostgreSQL keeps rows and picture bytes (large
// objects) in one shared database, so any instance serves any album. Uploads are staged in a local
// folder either way, and nothing above this header knows which backend runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct StoreBackend;  // the backend's state and its implementation of the operations below

// What the store may take of the machine; each is an option of the server.
struct StoreBudgets {
    std::uint64_t cache_bytes = 1ull << 30;  // PostgreSQL: disk for pictures copied out of the database
    // PostgreSQL: disk the cache always leaves free, so uploads find room: the largest upload and
    // the reserve kept beside it.
    std::uint64_t cache_leaves_free = (100ull << 20) + (8ull << 20);
    std::chrono::milliseconds database_wait{std::chrono::seconds(10)};  // PostgreSQL: connecting, one
                                                                        // statement, one lock
    // PostgreSQL: how long picture bytes no album references are kept (an upload under way is that old
    // at most) before the sweep removes them.
    std::chrono::milliseconds orphan_grace{std::chrono::hours(24)};
};

struct GalleryStore {
    // SQLite: DATA/pictures, where pictures live. PostgreSQL: DATA/incoming, where uploads are
    // staged before they go into the database. Staged files are made here either way.
    std::filesystem::path picture_dir;
    std::string read_only;   // non-empty: opened for reading only, for this reason
    bool shared = false;     // several instances may serve this store (PostgreSQL)
    std::shared_ptr<StoreBackend> backend;
};

// Where the store is: a data folder, and for PostgreSQL a libpq connection string ("postgresql://…",
// "key=value …", or empty for the PG* environment variables).
struct StoreLocation {
    std::filesystem::path data_dir;
    std::optional<std::string> database;
    StoreBudgets budgets;
    // Opened by an operator's command while a gallery may serve the same store: nothing is swept
    // (the running gallery's uploads under way are staged files too) and no instance folder is taken.
    bool beside_server = false;
};

// Why something could not be stored or read: `out_of_space` when the disk or a file size limit is
// the cause, `unavailable` when the database did not answer in time (worth trying again later).
struct StoreFailure {
    std::string detail;
    bool out_of_space = false;
    bool unavailable = false;
};

// A picture file being received: written under a temporary name in the store's picture folder,
// finished by sync_staged and handed to store_album. Removed on destruction unless the store took it over.
struct StagedFile {
    int fd = -1;
    std::filesystem::path path;
    std::uint64_t size = 0;
    StoreBackend* store = nullptr;  // the store that made it, which outlives it
    std::uint32_t object = 0;       // PostgreSQL: the large object holding its bytes once finished
    bool finished = false;          // sync_staged succeeded

    StagedFile() = default;
    StagedFile(StagedFile&& other) noexcept;
    StagedFile& operator=(StagedFile&& other) noexcept;
    ~StagedFile();
};

std::optional<StoreFailure> open_staged(const GalleryStore& store, StagedFile& file);
std::optional<StoreFailure> write_staged(StagedFile& file, std::string_view bytes);
// Finishes a staged file as soon as its last byte is written: its bytes are made durable for the
// store (synced to disk, or copied into the database) and its descriptor is released, so an upload
// holds none for files already received. It waits for the disk or the database, so it runs off the
// network thread. Calling it again does nothing.
std::optional<StoreFailure> sync_staged(StagedFile& file);
// Only local: picture bytes already in the database are removed by the store's sweep.
void discard_staged(StagedFile& file);

struct NewPicture {
    std::string name;
    std::string content_type;
    StagedFile file;
};

struct NewAlbum {
    std::string options;
    std::string switch_word;
    std::string client;  // the uploader's User-Agent
    std::vector<NewPicture> pictures;
    std::string title;   // empty: the page names the album by its date
    // Fields added later are initialised here, so records written out in full before them still are.
    std::string key{};         // its public identifier (new_album_key); empty: store_album makes one
    std::string owner_hash{};  // owner_secret_hash of the owner's secret; empty: only the operator manages it
    std::string uploader{};    // the uploader's address, for the operator only
};

struct StoredPicture {
    std::int64_t id = 0;
    std::string name;
    std::string content_type;
    std::uint64_t size = 0;
    // Its number within its album, from 1, fixed at upload and never reused there: the public
    // address of a picture is its album's key and this number.
    std::int64_t number = 0;
};

struct StoredAlbum {
    std::int64_t id = 0;
    std::string created;   // UTC, "YYYY-MM-DD HH:MM:SS"
    std::string options;
    std::string switch_word;
    std::vector<StoredPicture> pictures;
    std::string title;
    std::string key{};
    std::string owner_hash{};  // empty: no owner link (a legacy album)
    std::string uploader{};
    std::string client{};
    // Bumped by every change (rename, removal, deletion), so a page cached anywhere is keyed on it.
    std::int64_t revision = 0;
    // Deleted: the row stays, without pictures, so its address answers "gone" for ever and its key
    // and id are never handed out again.
    bool deleted = false;
    bool legacy = false;  // stored before albums had keys; its old numbered links may still lead to it
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

// What all stored pictures cost, as the quota charges them (charged_bytes of each).
std::uint64_t stored_bytes(const GalleryStore& store, StoreFailure& failure);
// What one stored picture of `file_size` bytes costs the store: the disk blocks its bytes take and
// what its file and row take beside them, so many tiny pictures cannot outgrow the quota.
std::uint64_t charged_bytes(std::uint64_t file_size);
// The smallest file taken as a picture: a GIF's signature, screen descriptor and trailer; nothing
// shorter parses in any format the gallery takes.
constexpr std::uint64_t smallest_picture = 14;

// Stores the album and all its pictures, or nothing at all. Returns the album id, or 0 with
// `failure` set. Runs off the network thread: it waits for the disk or the database.
std::int64_t store_album(const GalleryStore& store, NewAlbum& album, StoreFailure& failure);

// Nothing with `failure.detail` empty means there is no such album or picture.
std::optional<StoredAlbum> load_album(const GalleryStore& store, std::int64_t album_id, StoreFailure& failure);
std::optional<StoredPicture> load_picture(const GalleryStore& store, std::int64_t picture_id, StoreFailure& failure);

// A picture's row and a descriptor to read its bytes from (the caller closes it); -1 with
// `failure.detail` empty when there is no such picture.
int open_picture(const GalleryStore& store, std::int64_t picture_id, StoredPicture& picture, StoreFailure& failure);

// SQLite only: where a stored picture's file is.
std::filesystem::path picture_path(const GalleryStore& store, std::int64_t picture_id);

// The SQLite store's layout under a data folder (the store, its check and its backup read it here).
std::filesystem::path sqlite_database_file(const std::filesystem::path& data_dir);
std::filesystem::path sqlite_picture_dir(const std::filesystem::path& data_dir);

// Albums by key. Nothing with `failure.detail` empty: no album has this key. A deleted album is
// found, with `deleted` set and no pictures.
std::optional<StoredAlbum> find_album(const GalleryStore& store, std::string_view key, StoreFailure& failure);
// One picture by its album's key and its number, in one indexed query. Nothing (detail empty) when
// the album is deleted, or the picture removed or never there.
std::optional<StoredPicture> find_picture(const GalleryStore& store, std::string_view key, std::int64_t number,
                                          StoreFailure& failure);

// Changes made by an album's owner or the operator. Each bumps the album's revision. False with
// `failure.detail` empty: no such live album (or no such picture in it). Rows go in one
// transaction; the files (pictures, cached copies, derived copies) are removed after it commits,
// and whatever a crash leaves between the two is removed when the store is next opened.
bool rename_album(const GalleryStore& store, std::int64_t album_id, std::string_view title, StoreFailure& failure);
bool remove_picture(const GalleryStore& store, std::int64_t album_id, std::int64_t picture_id, StoreFailure& failure);
bool delete_album(const GalleryStore& store, std::int64_t album_id, StoreFailure& failure);

// The operator's view of one album.
struct AlbumSummary {
    std::string key;
    std::string title;
    std::string created;  // UTC, "YYYY-MM-DD HH:MM:SS"
    std::int64_t pictures = 0;
    std::uint64_t bytes = 0;
    std::string uploader;
    std::string client;
    bool deleted = false;
};
// Every album, deleted ones included, oldest first.
std::vector<AlbumSummary> list_albums(const GalleryStore& store, StoreFailure& failure);
// Deletes every live album created more than `older_than` ago; returns the keys deleted. In a shared
// store one instance expires at a time: the others return nothing.
std::vector<std::string> expire_albums(const GalleryStore& store, std::chrono::hours older_than, StoreFailure& failure);

// For an album (`picture` false) or picture row stored before albums had keys, its address now:
// "/a/<key>" or "/a/<key>/<number>". Nothing for any other row, or a deleted or removed one.
std::optional<std::string> legacy_address(const GalleryStore& store, bool picture, std::int64_t row_id,
                                          StoreFailure& failure);
