// Storage tests: round trips, all-or-nothing albums, and the start-up sweep of stray files.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>


#include "gallery_store.h"
#include "server_options.h"
#include "test_support.h"

namespace {


std::int64_t store_pictures(const GalleryStore& store, NewAlbum album, std::string& error) {
    StoreFailure failure;
    std::int64_t id = store_album(store, album, failure);
    error = failure.detail;
    return id;
}

}  // namespace

TEST(GalleryStore, AlbumRoundTripKeepsOrderNamesAndBytes) {
    TempFolder data;
    GalleryStore store;
    ASSERT_FALSE(open_store(data.path, store));
    std::string error;
    std::string bytes("\x89PNG\0\xFF", 6);
    std::int64_t id = store_pictures(store, album_of(store, {{"b.png", bytes}, {"a <&> é.png", "second"}}), error);
    ASSERT_GT(id, 0) << error;

    StoreFailure failure;
    auto album = load_album(store, id, failure);
    ASSERT_TRUE(album) << failure.detail;
    EXPECT_EQ(album->options, "L");
    EXPECT_EQ(album->switch_word, "true");
    ASSERT_EQ(album->pictures.size(), 2u);
    EXPECT_EQ(album->pictures[0].name, "b.png");
    EXPECT_EQ(album->pictures[1].name, "a <&> é.png");
    EXPECT_EQ(album->pictures[0].size, 6u);
    EXPECT_EQ(read_whole_file(picture_path(store, album->pictures[0].id)), bytes);
    EXPECT_EQ(read_whole_file(picture_path(store, album->pictures[1].id)), "second");

    auto picture = load_picture(store, album->pictures[1].id, failure);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->content_type, "image/png");
}

TEST(GalleryStore, MissingAlbumsAndPicturesAreNotErrors) {
    TempFolder data;
    GalleryStore store;
    ASSERT_FALSE(open_store(data.path, store));
    StoreFailure failure{"stale"};
    EXPECT_FALSE(load_album(store, 42, failure));
    EXPECT_TRUE(failure.detail.empty());
    EXPECT_FALSE(load_picture(store, 42, failure));
    EXPECT_TRUE(failure.detail.empty());
}

TEST(GalleryStore, DatabaseIsInWalMode) {
    TempFolder data;
    GalleryStore store;
    ASSERT_FALSE(open_store(data.path, store));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((data.path / "gallery.sqlite").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)), "wal");
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

TEST(GalleryStoreFailure, AFileThatCannotBeWrittenUndoesTheWholeAlbum) {
    TempFolder data;
    GalleryStore store;
    ASSERT_FALSE(open_store(data.path, store));
    // The second picture will get row id 2; a folder in its place makes its rename fail.
    std::filesystem::create_directory(store.picture_dir / "2");
    std::string error;
    EXPECT_EQ(store_pictures(store, album_of(store, {{"a.png", "one"}, {"b.png", "two"}, {"c.png", "three"}}), error), 0);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(count_rows(data.path, "albums"), 0);
    EXPECT_EQ(count_rows(data.path, "pictures"), 0);
    EXPECT_FALSE(std::filesystem::exists(store.picture_dir / "1"));
    EXPECT_FALSE(std::filesystem::exists(store.picture_dir / "2.part"));

    std::filesystem::remove(store.picture_dir / "2");
    std::int64_t id = store_pictures(store, album_of(store, {{"a.png", "one"}, {"b.png", "two"}}), error);
    ASSERT_GT(id, 0) << error;
    EXPECT_EQ(count_rows(data.path, "pictures"), 2);
    EXPECT_EQ(count_picture_files(data.path), 2u);
}

TEST(GalleryStoreFailure, AMissingPictureFolderStoresNothing) {
    TempFolder data;
    GalleryStore store;
    ASSERT_FALSE(open_store(data.path, store));
    NewAlbum album = album_of(store, {{"a.png", "one"}});
    std::filesystem::remove_all(store.picture_dir);
    write_file(store.picture_dir, "a file where the folder should be");
    std::string error;
    EXPECT_EQ(store_pictures(store, std::move(album), error), 0);
    EXPECT_EQ(count_rows(data.path, "albums"), 0);
    EXPECT_EQ(count_rows(data.path, "pictures"), 0);
}

TEST(GalleryStoreSweep, OpeningRemovesFilesNoRowOwnsAndKeepsTheRest) {
    TempFolder data;
    GalleryStore store;
    ASSERT_FALSE(open_store(data.path, store));
    std::string error;
    std::int64_t id = store_pictures(store, album_of(store, {{"a.png", "kept"}}), error);
    ASSERT_GT(id, 0);
    write_file(store.picture_dir / "77", "orphan from a crash");
    write_file(store.picture_dir / "78.part", "half written");
    write_file(store.picture_dir / "README", "not ours");

    GalleryStore reopened;
    ASSERT_FALSE(open_store(data.path, reopened));
    EXPECT_FALSE(std::filesystem::exists(store.picture_dir / "77"));
    EXPECT_FALSE(std::filesystem::exists(store.picture_dir / "78.part"));
    EXPECT_TRUE(std::filesystem::exists(store.picture_dir / "README"));
    EXPECT_EQ(read_whole_file(store.picture_dir / "1"), "kept");
}

TEST(GalleryStoreFailure, AnUnusableDataFolderIsReported) {
    TempFolder data;
    write_file(data.path / "file", "x");
    GalleryStore store;
    auto error = open_store(data.path / "file", store);
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->empty());
}

TEST(GalleryStoreQuota, TheDiskHeldByStoredPicturesStaysWithinTheQuota) {
    ServerConfig config;
    config.storage_quota = 30000;
    auto g = start_gallery(config);
    std::string last_album;
    auto upload = [&](const std::vector<BodyFile>& files) {
        HttpReply reply = raw_exchange(g->port, upload_request(upload_body("L", "true", files)));
        if (reply.status == 200) last_album = album_path(reply.body);
        return reply.status;
    };
    // Tiny files that merely start like a picture are no pictures: nothing is kept.
    std::vector<BodyFile> stubs;
    for (int i = 0; i < 500; ++i) stubs.push_back({"stub" + std::to_string(i) + ".jpg", "\xFF\xD8\xFF"});
    EXPECT_EQ(upload(stubs), 422);
    EXPECT_EQ(count_picture_files(g->data.path), 0u);

    // The shortest GIF is a picture; each takes a disk block at least, and the quota counts it so.
    const std::string gif("GIF89a\x01\x00\x01\x00\x00\x00\x00;", 14);
    int stored = 0;
    while (stored < 100 && upload({{"g.gif", gif}}) == 200) ++stored;
    EXPECT_GT(stored, 0);
    EXPECT_LT(stored, 100) << "the quota never refused";
    std::uint64_t held = 0;
    for (const auto& entry : std::filesystem::directory_iterator(g->data.path / "pictures")) {
        struct stat info {};
        ASSERT_EQ(::stat(entry.path().c_str(), &info), 0);
        held += static_cast<std::uint64_t>(info.st_blocks) * 512;
    }
    EXPECT_LE(held, config.storage_quota);
    EXPECT_EQ(http_get(g->port, last_album).status, 200);
}

TEST(GalleryStoreOptions, TheStoresBudgetsAreOptionsThatReachTheStore) {
    OptionsParse parsed = parse_server_options(
        {"--data", "d", "--cache-size", "5000", "--database-timeout", "3", "--orphan-grace", "0"});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.config.store.cache_bytes, 5000u);
    EXPECT_EQ(parsed.config.store.database_wait, std::chrono::seconds(3));
    EXPECT_EQ(parsed.config.store.orphan_grace, std::chrono::seconds(0));
    EXPECT_NE(parse_server_options({"--data", "d", "--database-timeout", "0"}).error, "") << "a wait of nothing";
    std::string usage = server_usage();
    for (const char* listed : {"--cache-size BYTES", "(default 1073741824)", "--database-timeout SECONDS", "(default 10)",
                               "--orphan-grace SECONDS", "(default 86400)"})
        EXPECT_NE(usage.find(listed), std::string::npos) << listed;
}
