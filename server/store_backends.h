// The interface each backend implements in full, and what the backends share. gallery_store.cpp
// forwards the public functions to it; store_sqlite.cpp and store_postgres.cpp implement it.
#pragma once

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
};

std::optional<std::string> sqlite_open(const std::filesystem::path& data_dir, GalleryStore& store);
StoreReport sqlite_check(const std::filesystem::path& data_dir);

std::optional<std::string> postgres_open(const std::string& conninfo, const std::filesystem::path& data_dir,
                                         const StoreBudgets& budgets, GalleryStore& store);
StoreReport postgres_check(const std::string& conninfo, const StoreBudgets& budgets);

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
