// The two implementations behind gallery_store.h, each in its own file; only gallery_store.cpp
// calls them, after looking at which backend the store was opened with.
#pragma once

#include "gallery_store.h"

std::optional<std::string> sqlite_open(const std::filesystem::path& data_dir, GalleryStore& store);
StoreReport sqlite_check(const std::filesystem::path& data_dir);
std::uint64_t sqlite_stored_bytes(const GalleryStore& store, std::string& error);
std::int64_t sqlite_store_album(const GalleryStore& store, NewAlbum& album, StoreFailure& failure);
std::optional<StoredAlbum> sqlite_load_album(const GalleryStore& store, std::int64_t album_id, std::string& error);
std::optional<StoredPicture> sqlite_load_picture(const GalleryStore& store, std::int64_t picture_id,
                                                 std::string& error);

std::optional<std::string> postgres_open(const std::string& conninfo, const std::filesystem::path& data_dir,
                                         GalleryStore& store);
StoreReport postgres_check(const std::string& conninfo);
std::uint64_t postgres_stored_bytes(const GalleryStore& store, std::string& error);
std::int64_t postgres_store_album(const GalleryStore& store, NewAlbum& album, StoreFailure& failure);
std::optional<StoredAlbum> postgres_load_album(const GalleryStore& store, std::int64_t album_id, std::string& error);
std::optional<StoredPicture> postgres_load_picture(const GalleryStore& store, std::int64_t picture_id,
                                                   std::string& error);
int postgres_open_picture(const GalleryStore& store, std::int64_t picture_id, StoredPicture& picture,
                          std::string& error);

// Shared by both: the failure for a system call's error number, and removal of files a crash left
// half written (".part") in a folder.
StoreFailure failure_of(const std::string& what, int error_number);
void remove_partial_files(const std::filesystem::path& dir);
