// The store's contract, run against both backends: what one instance stores, every instance reads;
// an album is stored whole or not at all; the schema is made once however many instances start.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <set>

#include "gallery_store.h"
#include "postgres_cluster.h"
#include "sample_png.h"
#include "test_support.h"

namespace {

enum class Backend { sqlite, postgres };

class StoreContract : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        if (GetParam() == Backend::postgres) {
            SKIP_WITHOUT_POSTGRES();
            where.database = fresh_postgres_database();
        }
        where.data_dir = data.path / "instance-1";
    }

    // Another instance on the same store: its own data folder, the same database.
    StoreLocation second_instance() const {
        StoreLocation other = where;
        if (where.database) other.data_dir = data.path / "instance-2";
        return other;
    }

    GalleryStore open(const StoreLocation& at) {
        GalleryStore store;
        auto error = open_store(at, store);
        EXPECT_FALSE(error) << *error;
        return store;
    }

    TempFolder data;
    StoreLocation where;
};


std::string picture_bytes(const GalleryStore& store, std::int64_t id) {
    StoredPicture picture;
    StoreFailure failure;
    int fd = open_picture(store, id, picture, failure);
    EXPECT_GE(fd, 0) << failure.detail;
    std::string bytes;
    char buffer[65536];
    ssize_t n;
    while (fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<std::size_t>(n));
    if (fd >= 0) ::close(fd);
    EXPECT_EQ(bytes.size(), picture.size);
    return bytes;
}

void set_sqlite_version(const std::filesystem::path& data_dir, int version) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((data_dir / "gallery.sqlite").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, ("PRAGMA user_version=" + std::to_string(version)).c_str(), nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
}

std::string pattern(std::size_t size, char seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7 + i / 251);
    return bytes;
}

}  // namespace

TEST_P(StoreContract, WhatOneInstanceStoresEveryInstanceReadsByteForByte) {
    GalleryStore first = open(where);
    GalleryStore second = open(second_instance());
    // Larger than the pieces bytes move in (three of them), with an odd tail, and empty.
    std::string large = pattern(2 * 1024 * 1024 + 600 * 1024 + 13, 'a');
    std::string small("\x89PNG\0\xFF", 6);
    StoreFailure failure;
    NewAlbum album = album_of(first, {{"large.png", large}, {"a <&> é.png", small}, {"empty.png", ""}});
    std::int64_t id = store_album(first, album, failure);
    ASSERT_GT(id, 0) << failure.detail;

    StoreFailure error;
    for (const GalleryStore* store : {&first, &second}) {
        auto loaded = load_album(*store, id, error);
        ASSERT_TRUE(loaded) << error.detail;
        EXPECT_EQ(loaded->options, "L");
        EXPECT_EQ(loaded->switch_word, "true");
        EXPECT_EQ(loaded->created.size(), 19u) << loaded->created;
        ASSERT_EQ(loaded->pictures.size(), 3u);
        EXPECT_EQ(loaded->pictures[0].name, "large.png");
        EXPECT_EQ(loaded->pictures[1].name, "a <&> é.png");
        EXPECT_EQ(loaded->pictures[2].size, 0u);
        EXPECT_EQ(picture_bytes(*store, loaded->pictures[0].id), large);
        EXPECT_EQ(picture_bytes(*store, loaded->pictures[1].id), small);
        EXPECT_EQ(picture_bytes(*store, loaded->pictures[2].id), "");
        // A second read (from a cached copy, where the backend keeps one) gives the same bytes.
        EXPECT_EQ(picture_bytes(*store, loaded->pictures[0].id), large);
    }
    EXPECT_EQ(stored_bytes(second, error), charged_bytes(large.size()) + charged_bytes(small.size()) + charged_bytes(0));
}

TEST_P(StoreContract, LabelsWithAnyBytesStillStoreTheAlbum) {
    // A User-Agent is whatever bytes the client sent; names and options arrive as valid UTF-8.
    GalleryStore store = open(where);
    struct Case {
        std::string client, name;
    };
    for (const Case& c : std::vector<Case>{{"bad \xFF\xFE bytes", "a.png"},
                                           {std::string("nul \0 inside", 12), "b.png"},
                                           {"cut short \xE2\x82", "c.png"},
                                           {"surrogate \xED\xA0\x80", "d.png"},
                                           {"fine é ✓ 😀", "é ✓ 😀.png"}}) {
        SCOPED_TRACE(c.client);
        NewAlbum album = album_of(store, {{c.name, "bytes"}});
        album.client = c.client;
        StoreFailure failure;
        std::int64_t id = store_album(store, album, failure);
        ASSERT_GT(id, 0) << failure.detail;
        StoreFailure error;
        auto loaded = load_album(store, id, error);
        ASSERT_TRUE(loaded) << error.detail;
        EXPECT_EQ(loaded->pictures.at(0).name, c.name);
    }
}

TEST_P(StoreContract, MissingAlbumsAndPicturesAreNotErrors) {
    GalleryStore store = open(where);
    StoreFailure error{"stale"};
    EXPECT_FALSE(load_album(store, 42, error));
    EXPECT_TRUE(error.detail.empty()) << error.detail;
    EXPECT_FALSE(load_picture(store, 42, error));
    EXPECT_TRUE(error.detail.empty()) << error.detail;
    StoredPicture picture;
    EXPECT_EQ(open_picture(store, 42, picture, error), -1);
    EXPECT_TRUE(error.detail.empty()) << error.detail;
}

TEST_P(StoreContract, APictureThatCannotBeStoredUndoesItsWholeAlbumAndTheNextAlbumStores) {
    GalleryStore store = open(where);
    NewAlbum album = album_of(store, {{"a.png", "one"}, {"b.png", "two"}});
    // The last picture's staged file is gone before its bytes were finished.
    NewPicture lost{"c.png", "image/png", {}};
    ASSERT_FALSE(open_staged(store, lost.file));
    ASSERT_FALSE(write_staged(lost.file, "three"));
    std::filesystem::remove(lost.file.path);
    album.pictures.push_back(std::move(lost));
    StoreFailure failure;
    EXPECT_EQ(store_album(store, album, failure), 0);
    EXPECT_FALSE(failure.detail.empty());
    StoreFailure error;
    EXPECT_EQ(stored_bytes(store, error), 0u) << error.detail;
    EXPECT_FALSE(load_picture(store, 1, error));
    if (where.database) {
        EXPECT_EQ(postgres_query(*where.database, "SELECT count(*) FROM albums"), "0");
        // Bytes already in the database wait for the sweep, which takes them once they are old enough.
        StoreLocation sweeping = second_instance();
        sweeping.budgets.orphan_grace = {};
        GalleryStore sweeper = open(sweeping);
        EXPECT_EQ(postgres_query(*where.database, "SELECT count(*) FROM pg_largeobject_metadata"), "0");
    } else {
        EXPECT_EQ(count_rows(where.data_dir, "albums"), 0);
        EXPECT_EQ(count_picture_files(where.data_dir), 0u);
    }

    NewAlbum next = album_of(store, {{"d.png", "four"}});
    std::int64_t id = store_album(store, next, failure);
    ASSERT_GT(id, 0) << failure.detail;
    auto loaded = load_album(store, id, error);
    ASSERT_TRUE(loaded) << error.detail;
    EXPECT_EQ(picture_bytes(store, loaded->pictures.at(0).id), "four");
}

TEST_P(StoreContract, AlbumsFromInstancesStoringAtOnceGetDistinctIncreasingIds) {
    GalleryStore first = open(where);
    GalleryStore second = open(second_instance());
    std::vector<std::future<std::int64_t>> stored;
    for (int i = 0; i < 8; ++i)
        stored.push_back(std::async(std::launch::async, [&, i] {
            const GalleryStore& store = i % 2 ? first : second;
            NewAlbum album = album_of(store, {{"p" + std::to_string(i) + ".png", pattern(1000, static_cast<char>(i))}});
            StoreFailure failure;
            std::int64_t id = store_album(store, album, failure);
            EXPECT_GT(id, 0) << failure.detail;
            return id;
        }));
    std::set<std::int64_t> ids;
    for (auto& id : stored) ids.insert(id.get());
    EXPECT_EQ(ids.size(), 8u);
    StoreFailure failure;
    NewAlbum later = album_of(first, {{"later.png", "x"}});
    EXPECT_GT(store_album(first, later, failure), *ids.rbegin());
}

TEST_P(StoreContract, StagedFilesACrashLeftAreRemovedAtStart) {
    std::filesystem::path staging = open(where).picture_dir;  // open and closed again, as by a crash
    write_file(staging / "incoming-1-1.part", "half an upload");
    write_file(staging / "README", "not ours");
    GalleryStore reopened = open(where);
    EXPECT_FALSE(std::filesystem::exists(staging / "incoming-1-1.part"));
    EXPECT_TRUE(std::filesystem::exists(staging / "README"));
}

TEST_P(StoreContract, CheckReportsTheStateWithoutChangingIt) {
    StoreReport before = check_store(where);
    EXPECT_FALSE(before.healthy) << before.text;
    EXPECT_NE(before.text.find("the first start makes"), std::string::npos) << before.text;
    EXPECT_FALSE(check_store(where).healthy) << "a check makes no store";

    GalleryStore store = open(where);
    NewAlbum album = album_of(store, {{"a.png", "12345"}});
    StoreFailure failure;
    ASSERT_GT(store_album(store, album, failure), 0) << failure.detail;
    StoreReport after = check_store(where);
    EXPECT_TRUE(after.healthy) << after.text;
    EXPECT_NE(after.text.find(where.database ? "schema: version 4" : "schema: version 3"), std::string::npos)
        << after.text;
    EXPECT_NE(after.text.find("albums: 1, pictures: 1, bytes: 5"), std::string::npos) << after.text;

    // A picture whose bytes are gone makes the store damaged.
    if (where.database)
        postgres_query(*where.database, "SELECT lo_unlink(bytes) FROM pictures");
    else
        std::filesystem::remove(picture_path(store, 1));
    StoreReport damaged = check_store(where);
    EXPECT_FALSE(damaged.healthy) << damaged.text;
    EXPECT_NE(damaged.text.find(": 1\n"), std::string::npos) << damaged.text;
}

TEST_P(StoreContract, AlbumsKeepTheirTitleAndAlbumsFromBeforeTitlesHaveNone) {
    GalleryStore store = open(where);
    NewAlbum untitled = album_of(store, {{"a.png", "1"}});
    StoreFailure failure;
    std::int64_t old_id = store_album(store, untitled, failure);
    ASSERT_GT(old_id, 0) << failure.detail;
    // The album above stands for one stored before titles existed: its title is put back to the
    // column's default, which is what the migration gives such albums.
    if (where.database)
        postgres_query(*where.database, "UPDATE albums SET title = DEFAULT");
    NewAlbum titled = album_of(store, {{"b.png", "2"}});
    titled.title = "Été <2026>";
    std::int64_t id = store_album(store, titled, failure);
    ASSERT_GT(id, 0) << failure.detail;
    StoreFailure error;
    EXPECT_EQ(load_album(store, id, error)->title, "Été <2026>");
    EXPECT_EQ(load_album(store, old_id, error)->title, "");
}

TEST(SqliteSchema, AStoreFromVersionOneGainsTitlesAndKeepsItsAlbums) {
    TempFolder data;
    std::filesystem::create_directories(data.path / "pictures");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((data.path / "gallery.sqlite").c_str(), &db), SQLITE_OK);
    const char* version_one =
        "CREATE TABLE albums (id INTEGER PRIMARY KEY, created TEXT NOT NULL DEFAULT (datetime('now')),"
        " options TEXT NOT NULL, switch_word TEXT NOT NULL, client TEXT NOT NULL);"
        "CREATE TABLE pictures (id INTEGER PRIMARY KEY, album_id INTEGER NOT NULL REFERENCES albums(id),"
        " position INTEGER NOT NULL, name TEXT NOT NULL, content_type TEXT NOT NULL, size INTEGER NOT NULL);"
        "INSERT INTO albums (options, switch_word, client) VALUES ('L', 'true', 'old');"
        "PRAGMA user_version=1;";
    EXPECT_EQ(sqlite3_exec(db, version_one, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    GalleryStore store;
    auto opened = open_store(data.path, store);
    ASSERT_FALSE(opened) << *opened;
    StoreFailure error;
    auto album = load_album(store, 1, error);
    ASSERT_TRUE(album) << error.detail;
    EXPECT_EQ(album->title, "");
    EXPECT_EQ(album->options, "L");
}

TEST_P(StoreContract, AStoreFromANewerVersionIsRefusedNotDowngraded) {
    { GalleryStore store = open(where); }
    if (where.database)
        postgres_query(*where.database, "INSERT INTO gallery_schema (version) VALUES (99)");
    else
        set_sqlite_version(where.data_dir, 99);
    GalleryStore store;
    auto error = open_store(where, store);
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("version 99"), std::string::npos) << *error;
    EXPECT_FALSE(check_store(where).healthy);
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreContract, ::testing::Values(Backend::sqlite, Backend::postgres),
                         [](const auto& info) { return info.param == Backend::sqlite ? "SQLite" : "PostgreSQL"; });

TEST(PostgresSchema, InstancesStartingAtOnceMigrateOnceAndAllStart) {
    SKIP_WITHOUT_POSTGRES();
    TempFolder data;
    std::string database = fresh_postgres_database();
    std::vector<std::future<std::optional<std::string>>> starts;
    for (int i = 0; i < 6; ++i)
        starts.push_back(std::async(std::launch::async, [&, i] {
            GalleryStore store;
            return open_store(StoreLocation{data.path / std::to_string(i), database, {}}, store);
        }));
    for (auto& start : starts) {
        auto error = start.get();
        EXPECT_FALSE(error) << *error;
    }
    EXPECT_EQ(postgres_query(database, "SELECT string_agg(version::text, ',') FROM gallery_schema"), "1,2,3,4");
}

TEST(PostgresQuota, AnInstanceCountsWhatTheOthersStoredOnceItStoresItself) {
    SKIP_WITHOUT_POSTGRES();
    std::string png = make_sample_png(40, 40, 1);
    ServerConfig config;
    config.database = fresh_postgres_database();
    config.storage_quota = png.size() * 5 / 2;  // room for two pictures, not three
    auto first = start_gallery(config);
    auto second = start_gallery(config);
    auto upload = [&](const RunningGallery& g) {
        return raw_exchange(g.port, upload_request(upload_body("L", "true", {{"p.png", png}}))).status;
    };
    EXPECT_EQ(upload(*second), 200);
    EXPECT_EQ(upload(*first), 200);  // it learns of the second's picture as it stores its own
    EXPECT_EQ(upload(*first), 507);
}

TEST(PostgresCache, AFolderMovedToAnotherDatabaseNeverServesTheOldOnesPictures) {
    SKIP_WITHOUT_POSTGRES();
    TempFolder data;
    for (const char* bytes : {"from the first database", "from the second database"}) {
        GalleryStore store;
        ASSERT_FALSE(open_store(StoreLocation{data.path, fresh_postgres_database(), {}}, store));
        NewAlbum album = album_of(store, {{"a.png", bytes}});
        StoreFailure failure;
        ASSERT_EQ(store_album(store, album, failure), 1) << failure.detail;
        EXPECT_EQ(picture_bytes(store, 1), bytes);  // picture 1 in each, cached under the same id
    }
}

TEST(PostgresSchema, TwoInstancesOnOneDataFolderAreRefused) {
    SKIP_WITHOUT_POSTGRES();
    TempFolder data;
    StoreLocation where{data.path, fresh_postgres_database(), {}};
    GalleryStore first, second;
    ASSERT_FALSE(open_store(where, first));
    auto error = open_store(where, second);
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("its own --data folder"), std::string::npos) << *error;
}

TEST(PostgresSchema, AnUnreachableDatabaseIsReportedAtStartAndByCheck) {
    TempFolder data;
    StoreLocation where{data.path, "host=" + (data.path / "no-server").string() + " dbname=none connect_timeout=2", {}};
    GalleryStore store;
    auto error = open_store(where, store);
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("cannot connect to the database"), std::string::npos) << *error;
    StoreReport report = check_store(where);
    EXPECT_FALSE(report.healthy);
    EXPECT_NE(report.text.find("unreachable"), std::string::npos) << report.text;
}

namespace {

struct PostgresInstance {
    TempFolder data;
    StoreLocation where;
    GalleryStore store;

    explicit PostgresInstance(StoreBudgets budgets = {}) : where{data.path, fresh_postgres_database(), budgets} {
        auto error = open_store(where, store);
        EXPECT_FALSE(error) << *error;
    }

    std::int64_t store_pictures(const std::vector<std::pair<std::string, std::string>>& pictures) {
        NewAlbum album = album_of(store, pictures);
        StoreFailure failure;
        std::int64_t id = store_album(store, album, failure);
        EXPECT_GT(id, 0) << failure.detail;
        return id;
    }

    std::string count(const std::string& sql) const { return postgres_query(*where.database, sql); }
};

std::uint64_t disk_held(const std::filesystem::path& dir) {
    std::uint64_t held = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        struct stat info {};
        if (::stat(entry.path().c_str(), &info) == 0 && S_ISREG(info.st_mode))
            held += static_cast<std::uint64_t>(info.st_blocks) * 512;
    }
    return held;
}

}  // namespace

// Connections the database ends, as an administrator or an immediate restart does, are replaced
// without a failed request, however many the pool holds.
TEST(PostgresConnections, ConnectionsCutByTheServerAreReplacedWithoutAFailedRequest) {
    SKIP_WITHOUT_POSTGRES();
    for (bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "an immediate restart" : "every connection terminated, twice");
        PostgresInstance pg;
        std::int64_t album = pg.store_pictures({{"a.png", "bytes"}});
        std::vector<std::future<void>> readers;
        for (int i = 0; i < 4; ++i)
            readers.push_back(std::async(std::launch::async, [&] {
                StoreFailure failure;
                EXPECT_TRUE(load_album(pg.store, album, failure)) << failure.detail;
            }));
        for (auto& reader : readers) reader.get();
        for (int round = 0; round < (restart ? 1 : 2); ++round) {
            if (restart)
                restart_postgres_immediately();
            else
                pg.count("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                         "WHERE datname = current_database() AND pid <> pg_backend_pid()");
            for (int i = 0; i < 4; ++i) {
                NewAlbum next = album_of(pg.store, {{"b.png", pattern(3000, static_cast<char>(i))}});
                StoreFailure failure;
                EXPECT_GT(store_album(pg.store, next, failure), album) << failure.detail;
            }
            StoreFailure failure;
            EXPECT_TRUE(load_album(pg.store, album, failure)) << failure.detail;
        }
    }
}

TEST(PostgresConnections, AStoppedDatabaseIsAnswered503WhileCachedPicturesAreStillServed) {
    SKIP_WITHOUT_POSTGRES();
    ServerConfig config;
    config.database = fresh_postgres_database();
    config.store.database_wait = std::chrono::seconds(2);
    auto g = start_gallery(config);
    std::string png = make_sample_png(20, 20, 1);
    HttpReply first = raw_exchange(g->port, upload_request(upload_body("L", "true", {{"a.png", png}, {"b.png", png}})));
    ASSERT_EQ(first.status, 200);
    const std::string album = album_path(first.body);
    ASSERT_EQ(http_get(g->port, album + "/1/original").body, png);  // now in this instance's cache

    {
        // Nothing answers until the pause ends; each request must still get its answer meanwhile.
        // A picture in the cache is not served either: only the database can say that its album
        // has not been deleted meanwhile.
        PostgresPause pause;
        for (const std::string& path : {album, album + "/1/original", album + "/2/original"}) {
            HttpReply reply = http_get(g->port, path);
            EXPECT_EQ(reply.status, 503) << path << ": " << reply.body;
            EXPECT_NE(reply.body.find("database"), std::string::npos) << reply.body;
        }
        HttpReply upload = raw_exchange(g->port, upload_request(upload_body("L", "true", {{"c.png", png}})), 20000);
        EXPECT_EQ(upload.status, 503) << upload.body;
    }
    EXPECT_EQ(http_get(g->port, album).status, 200);
    EXPECT_EQ(http_get(g->port, album + "/2/original").body, png);
    EXPECT_EQ(raw_exchange(g->port, upload_request(upload_body("L", "true", {{"c.png", png}}))).status, 200);
}

TEST(PostgresCache, WalkingEveryPictureKeepsTheCacheWithinItsBudget) {
    SKIP_WITHOUT_POSTGRES();
    StoreBudgets budgets;
    budgets.cache_bytes = 3 * 64 * 1024;
    PostgresInstance pg(budgets);
    std::vector<std::pair<std::string, std::string>> pictures;
    for (int i = 0; i < 8; ++i) pictures.push_back({"p" + std::to_string(i) + ".png", pattern(60 * 1024, static_cast<char>(i))});
    pictures.push_back({"larger-than-the-cache.png", pattern(400 * 1024, 'z')});
    std::int64_t album = pg.store_pictures(pictures);
    StoreFailure failure;
    auto loaded = load_album(pg.store, album, failure);
    ASSERT_TRUE(loaded) << failure.detail;
    for (int round = 0; round < 2; ++round)
        for (std::size_t i = 0; i < pictures.size(); ++i) {
            SCOPED_TRACE(pictures[i].first);
            EXPECT_EQ(picture_bytes(pg.store, loaded->pictures[i].id), pictures[i].second);
            EXPECT_LE(disk_held(pg.data.path / "cache"), budgets.cache_bytes + 4096);  // + the store's marker
        }
    EXPECT_GT(pg.store_pictures({{"after.png", "still stored"}}), album);
}

TEST(PostgresCache, ACachedFileCutShortIsFetchedAgain) {
    SKIP_WITHOUT_POSTGRES();
    std::string bytes = pattern(300 * 1024, 'c');
    TempFolder data;
    StoreLocation where{data.path, fresh_postgres_database(), {}};
    std::filesystem::path cached = data.path / "cache" / "1";
    for (bool restarted : {false, true}) {
        SCOPED_TRACE(restarted ? "after a restart" : "while running");
        GalleryStore store;
        ASSERT_FALSE(open_store(where, store));
        if (!restarted) {
            NewAlbum album = album_of(store, {{"a.png", bytes}});
            StoreFailure failure;
            ASSERT_EQ(store_album(store, album, failure), 1) << failure.detail;
        }
        EXPECT_EQ(picture_bytes(store, 1), bytes);
        ASSERT_TRUE(std::filesystem::exists(cached));
        std::filesystem::resize_file(cached, bytes.size() / 3);  // as a crash before the data reached the disk
        if (restarted) {
            GalleryStore reopened;
            store = GalleryStore{};
            ASSERT_FALSE(open_store(where, reopened));
            EXPECT_EQ(picture_bytes(reopened, 1), bytes);
        } else {
            EXPECT_EQ(picture_bytes(store, 1), bytes);
        }
    }
}

TEST(PostgresSweep, BytesNoAlbumTookAreRemovedAfterTheGracePeriodAndOnlyThen) {
    SKIP_WITHOUT_POSTGRES();
    PostgresInstance pg;
    std::int64_t album = pg.store_pictures({{"kept.png", "kept"}});
    {
        // An upload abandoned after its first picture went into the database, as by kill -9.
        NewAlbum abandoned = album_of(pg.store, {{"lost.png", "lost"}});
    }
    EXPECT_EQ(pg.count("SELECT count(*) FROM pg_largeobject_metadata"), "2");
    StoreLocation other{pg.data.path / "other", pg.where.database, {}};
    { GalleryStore young; ASSERT_FALSE(open_store(other, young)); }
    EXPECT_EQ(pg.count("SELECT count(*) FROM pg_largeobject_metadata"), "2") << "within the grace period";

    // An upload still under way when the sweep runs past its grace period is refused, not stored broken.
    NewAlbum slow = album_of(pg.store, {{"slow.png", "slow"}});
    other.budgets.orphan_grace = {};
    GalleryStore sweeper;
    ASSERT_FALSE(open_store(other, sweeper));
    EXPECT_EQ(pg.count("SELECT count(*) FROM pg_largeobject_metadata"), "1");
    EXPECT_EQ(pg.count("SELECT count(*) FROM staged_objects"), "0");
    StoreFailure failure;
    EXPECT_EQ(store_album(pg.store, slow, failure), 0);
    EXPECT_NE(failure.detail.find("removed"), std::string::npos) << failure.detail;
    EXPECT_EQ(pg.count("SELECT count(*) FROM albums"), "1");
    EXPECT_EQ(picture_bytes(pg.store, 1), "kept");
    EXPECT_TRUE(load_album(pg.store, album, failure)) << failure.detail;
}
