// The interface each backend implements in full, and what the backends share. gallery_store.cpp
// forwards the public functions to it; store_sqlite.cpp and store_postgres.cpp implement it.
#pragma once

#include <set>
#include <utility>

#include "gallery_store.h"

// One open store. Every operation may run on any disk thread at once: a backend guards its own
// state and hands each call a connection of its pool.
struct StoreBackend {
    virtual ~StoreBackend() = default;
    // Makes a finished staged file's bytes durable for this store and closes its descriptor.
    virtual std::optional<StoreFailure> finish_staged(StagedFile& file) = 0;
    // Bytes were added to a staged file: a backend may take them in now rather than at its end.
    virtual std::optional<StoreFailure> take_staged(StagedFile&) { return std::nullopt; }
    // Waits for what finish_staged left under way.
    virtual std::optional<StoreFailure> settle_staged(StagedFile&) { return std::nullopt; }
    virtual std::int64_t store_album(NewAlbum& album, StoreFailure& failure) = 0;
    virtual std::uint64_t stored_bytes(StoreFailure& failure) = 0;
    virtual std::optional<StoredAlbum> load_album(std::int64_t album_id, StoreFailure& failure) = 0;
    virtual std::optional<StoredPicture> load_picture(std::int64_t picture_id, StoreFailure& failure) = 0;
    virtual int open_picture(std::int64_t picture_id, StoredPicture& picture, StoreFailure& failure) = 0;
    virtual std::optional<StoredAlbum> find_album(std::string_view key, StoreFailure& failure) = 0;
    virtual std::optional<StoredPicture> find_picture(std::string_view key, std::int64_t number,
                                                      StoreFailure& failure) = 0;
    virtual bool rename_album(std::int64_t album_id, std::string_view title, StoreFailure& failure) = 0;
    // Removes one picture's row (`picture_id` > 0) or empties and marks deleted a whole album (0), in
    // one transaction, and bumps the album's revision. Returns the ids of the pictures removed, whose
    // files are then removed; nothing when there was nothing to remove (or with `failure` set).
    virtual std::optional<std::vector<std::int64_t>> remove_rows(std::int64_t album_id, std::int64_t picture_id,
                                                                 StoreFailure& failure) = 0;
    // The files of pictures whose rows are gone: originals, this instance's cached and derived copies.
    virtual void remove_files(const std::vector<std::int64_t>& picture_ids) = 0;
    virtual std::vector<AlbumSummary> list_albums(StoreFailure& failure) = 0;
    virtual std::vector<std::string> expire_albums(std::chrono::hours older_than, StoreFailure& failure) = 0;
    virtual std::optional<std::string> legacy_address(bool picture, std::int64_t row_id, StoreFailure& failure) = 0;
};

std::optional<std::string> sqlite_open(const std::filesystem::path& data_dir, GalleryStore& store,
                                       bool beside_server = false);
StoreReport sqlite_check(const std::filesystem::path& data_dir);

std::optional<std::string> postgres_open(const std::string& conninfo, const std::filesystem::path& data_dir,
                                         const StoreBudgets& budgets, GalleryStore& store, bool beside_server);
// `data_dir` is the instance's folder, whose cached and derived copies are checked against the rows.
StoreReport postgres_check(const std::string& conninfo, const StoreBudgets& budgets,
                           const std::filesystem::path& data_dir);

// Shared by both: the failure for a system call's error number, removal of files a crash left half
// written (".part") in a folder, syncing a file and then its folder entry, and the disk blocks a
// file of `size` bytes takes.
StoreFailure failure_of(const std::string& what, int error_number);
void remove_partial_files(const std::filesystem::path& dir);
bool sync_file_and_close(int fd);
void sync_dir(const std::filesystem::path& dir);
std::uint64_t disk_blocks_bytes(std::uint64_t size);
// charged_bytes() as an SQL expression over a column of sizes, so a sum in the database agrees with it.
std::string charged_bytes_sql(const std::string& size_column);

// Derived copies (thumbnails) live in DATA/derived beside either backend's folders.
std::filesystem::path derived_dir_of(const std::filesystem::path& data_dir);
// Files in `dir` named by picture id (digits only, as SQLite's pictures and PostgreSQL's cached
// copies are) or made from one (derived copies) whose picture is not in `owned`: what a crash
// between a delete's commit and its file removal leaves behind.
std::vector<std::filesystem::path> orphan_files(const std::filesystem::path& dir, bool derived,
                                                const std::set<std::int64_t>& owned);
// Removes the orphans in `dir`.
void remove_orphan_files(const std::filesystem::path& dir, bool derived, const std::set<std::int64_t>& owned);
// Deletes each album in turn, files after rows; the keys of those deleted.
std::vector<std::string> delete_each(StoreBackend& backend,
                                     const std::vector<std::pair<std::int64_t, std::string>>& albums,
                                     StoreFailure& failure);
// The operator's "orphans: N" line of --check.
std::string orphans_line(std::uint64_t orphans);
