// The store's contract, run against both backends: what one instance stores, every instance reads;
// an album is stored whole or not at all; the schema is made once however many instances start.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <set>
#include <thread>

#include "album_keys.h"
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

void sqlite_exec(const std::filesystem::path& data_dir, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((data_dir / "gallery.sqlite").c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "") << sql;
    sqlite3_free(message);
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
    // The last picture's staged file is damaged before its bytes were finished: gone (SQLite keeps
    // the file itself), or cut short (PostgreSQL reads it back through the descriptor it holds).
    NewPicture lost{"c.png", "image/png", {}};
    ASSERT_FALSE(open_staged(store, lost.file));
    ASSERT_FALSE(write_staged(lost.file, "three"));
    if (where.database)
        std::filesystem::resize_file(lost.file.path, 2);
    else
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

namespace {

std::int64_t store_named(const GalleryStore& store, NewAlbum& album) {
    StoreFailure failure;
    std::int64_t id = store_album(store, album, failure);
    EXPECT_GT(id, 0) << failure.detail;
    return id;
}

}  // namespace

// The schema each store had before albums had keys, with two albums and their pictures in it.
void make_store_from_before_keys(const StoreLocation& where) {
    if (where.database) {
        postgres_query(*where.database, R"sql(
CREATE TABLE albums (id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, created timestamptz NOT NULL DEFAULT now(),
    options text NOT NULL, switch_word text NOT NULL, client text NOT NULL, title text NOT NULL DEFAULT '');
CREATE TABLE pictures (id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, album_id bigint NOT NULL REFERENCES albums(id),
    position integer NOT NULL, name text NOT NULL, content_type text NOT NULL, size bigint NOT NULL, bytes oid NOT NULL);
CREATE INDEX pictures_by_album ON pictures(album_id, position);
CREATE INDEX pictures_by_bytes ON pictures(bytes);
CREATE TABLE store_identity (id text NOT NULL);
INSERT INTO store_identity (id) VALUES (gen_random_uuid()::text);
CREATE TABLE staged_objects (oid oid PRIMARY KEY, staged timestamptz NOT NULL DEFAULT now());
CREATE TABLE gallery_schema (version integer NOT NULL);
INSERT INTO gallery_schema (version) VALUES (1), (2), (3);
INSERT INTO albums (options, switch_word, client, title) VALUES ('L', 'true', 'old', 'Trip'), ('L', 'true', 'old', '');
INSERT INTO pictures (album_id, position, name, content_type, size, bytes) VALUES
    (1, 0, 'a.png', 'image/png', 3, lo_from_bytea(0, 'one')), (1, 1, 'b.png', 'image/png', 3, lo_from_bytea(0, 'two')),
    (2, 0, 'c.png', 'image/png', 5, lo_from_bytea(0, 'three'));
)sql");
        return;
    }
    std::filesystem::create_directories(where.data_dir / "pictures");
    sqlite_exec(where.data_dir, R"sql(
CREATE TABLE albums (id INTEGER PRIMARY KEY, created TEXT NOT NULL DEFAULT (datetime('now')), options TEXT NOT NULL,
    switch_word TEXT NOT NULL, client TEXT NOT NULL, title TEXT NOT NULL DEFAULT '');
CREATE TABLE pictures (id INTEGER PRIMARY KEY, album_id INTEGER NOT NULL REFERENCES albums(id), position INTEGER NOT NULL,
    name TEXT NOT NULL, content_type TEXT NOT NULL, size INTEGER NOT NULL);
CREATE INDEX pictures_by_album ON pictures(album_id, position);
INSERT INTO albums (options, switch_word, client, title) VALUES ('L', 'true', 'old', 'Trip'), ('L', 'true', 'old', '');
INSERT INTO pictures (album_id, position, name, content_type, size) VALUES
    (1, 0, 'a.png', 'image/png', 3), (1, 1, 'b.png', 'image/png', 3), (2, 0, 'c.png', 'image/png', 5);
PRAGMA user_version=2;
)sql");
    for (auto [id, bytes] : {std::pair{1, "one"}, {2, "two"}, {3, "three"}})
        write_file(where.data_dir / "pictures" / std::to_string(id), bytes);
}

TEST_P(StoreContract, AlbumsFromBeforeKeysGetOneKeepTheirIdsAndTheirOldLinksLeadToTheNewAddress) {
    make_store_from_before_keys(where);
    GalleryStore store = open(where);
    StoreFailure failure;
    auto first = load_album(store, 1, failure);
    auto second = load_album(store, 2, failure);
    ASSERT_TRUE(first && second) << failure.detail;
    EXPECT_TRUE(is_album_key(first->key)) << first->key;
    EXPECT_NE(first->key, second->key);
    EXPECT_TRUE(first->legacy);
    EXPECT_EQ(first->owner_hash, "") << "only the operator may delete an album from before owner links";
    EXPECT_EQ(first->title, "Trip");
    EXPECT_EQ(find_picture(store, second->key, 1, failure)->name, "c.png");
    EXPECT_EQ(picture_bytes(store, 3), "three");

    struct Link {
        bool picture;
        std::int64_t row;
        std::optional<std::string> address;
    };
    NewAlbum fresh = album_of(store, {{"d.png", "four"}});
    std::int64_t fresh_id = store_named(store, fresh);
    for (const Link& link : std::vector<Link>{{false, 1, "/a/" + first->key},
                                              {true, 2, "/a/" + first->key + "/2"},
                                              {true, 3, "/a/" + second->key + "/1"},
                                              {false, fresh_id, std::nullopt},  // never had a numbered link
                                              {false, 99, std::nullopt}}) {
        EXPECT_EQ(legacy_address(store, link.picture, link.row, failure), link.address) << link.row;
        EXPECT_TRUE(failure.detail.empty()) << failure.detail;
    }

    ASSERT_TRUE(delete_album(store, fresh_id, failure)) << failure.detail;
    ASSERT_TRUE(delete_album(store, 2, failure)) << failure.detail;
    EXPECT_EQ(legacy_address(store, false, 2, failure), std::nullopt) << "a deleted album's old link leads nowhere";
    // The newest album and picture rows are gone: their ids must not come back, after a restart
    // too, since nothing in memory remembers the highest.
    store = GalleryStore{};
    store = open(where);
    NewAlbum next = album_of(store, {{"e.png", "five"}});
    std::int64_t next_id = store_named(store, next);
    EXPECT_GT(next_id, fresh_id);
    EXPECT_GT(load_album(store, next_id, failure)->pictures.at(0).id, 4);
}

TEST(SqliteSchema, AStoreFromBeforeKeysThatCannotBeWrittenIsRefusedWithTheReasonNotServedBroken) {
    TempFolder data;
    make_store_from_before_keys(StoreLocation{data.path, std::nullopt, {}});
    // A file size limit below the database's shared-memory file stands in for a full disk.
    ProcessResult started = run_process({"/usr/bin/prlimit", "--fsize=20000", "--", GALLERY_SERVER_EXE, "--listen",
                                         "127.0.0.1:0", "--data", data.path.string()},
                                        {}, 20);
    EXPECT_EQ(started.exit_code, 1) << started.out << started.err;
    EXPECT_NE(started.err.find("must be migrated to 3, which needs it writable"), std::string::npos) << started.err;
}

TEST_P(StoreContract, AlbumsAreFoundByKeyAndPicturesByNumberOnly) {
    GalleryStore store = open(where);
    NewAlbum album = album_of(store, {{"a.png", "one"}, {"b.png", "two"}, {"c.png", "three"}});
    album.owner_hash = std::string(64, 'f');
    std::int64_t id = store_named(store, album);
    ASSERT_TRUE(is_album_key(album.key)) << "a key is made when none is given: " << album.key;
    StoreFailure failure;
    auto found = find_album(store, album.key, failure);
    ASSERT_TRUE(found) << failure.detail;
    EXPECT_EQ(found->id, id);
    EXPECT_EQ(found->owner_hash, album.owner_hash);
    EXPECT_FALSE(found->legacy);
    auto second = find_picture(store, album.key, 2, failure);
    ASSERT_TRUE(second) << failure.detail;
    EXPECT_EQ(second->name, "b.png");
    EXPECT_EQ(second->id, found->pictures[1].id);

    for (auto [key, hash] : {std::pair<std::string, std::string>{"short", ""}, {"", std::string(64, 'F')}, {"", "abc"}}) {
        NewAlbum malformed = album_of(store, {{"x.png", "x"}});
        malformed.key = key;
        malformed.owner_hash = hash;
        EXPECT_EQ(store_album(store, malformed, failure), 0) << key << " " << hash;
        EXPECT_FALSE(failure.detail.empty());
    }

    NewAlbum other = album_of(store, {{"d.png", "four"}});
    store_named(store, other);
    struct Miss {
        std::string key;
        std::int64_t number;
    };
    for (const Miss& miss : std::vector<Miss>{{album.key, 4},
                                              {album.key, 0},
                                              {album.key, -1},
                                              {other.key, 2},          // numbers are per album
                                              {new_album_key(), 1},    // no such album
                                              {album.key + "A", 1},    // not a key at all
                                              {"' OR 1=1 --", 1}}) {
        StoreFailure error{"stale"};
        EXPECT_FALSE(find_picture(store, miss.key, miss.number, error)) << miss.key << " " << miss.number;
        if (miss.number == 1) {
            EXPECT_FALSE(find_album(store, miss.key, error)) << miss.key;
        }
        EXPECT_TRUE(error.detail.empty()) << error.detail;
    }
}

TEST_P(StoreContract, ChangesBumpTheRevisionAndADeletedAlbumKeepsOnlyItsEmptyRow) {
    GalleryStore store = open(where);
    GalleryStore other_instance = open(second_instance());
    NewAlbum album = album_of(store, {{"a.png", "one"}, {"b.png", "two"}, {"c.png", "three"}});
    album.owner_hash = std::string(64, 'e');
    std::int64_t id = store_named(store, album);
    NewAlbum bystander = album_of(store, {{"kept.png", "kept"}});
    std::int64_t kept = store_named(store, bystander);
    StoreFailure failure;
    auto stored = find_album(store, album.key, failure);
    ASSERT_TRUE(stored) << failure.detail;
    const std::int64_t first_id = stored->pictures[0].id, second_id = stored->pictures[1].id;
    auto derived = [](const StoreLocation& at, std::int64_t picture) {
        return at.data_dir / "derived" / (std::to_string(picture) + "-480.webp");
    };
    // Both instances hold copies: a cached original (PostgreSQL) and derived ones.
    for (const StoredPicture& p : stored->pictures) {
        picture_bytes(other_instance, p.id);
        for (const StoreLocation& at : {where, second_instance()}) write_file(derived(at, p.id), "copy");
    }

    ASSERT_TRUE(rename_album(store, id, "Été <2027>", failure)) << failure.detail;
    auto renamed = find_album(store, album.key, failure);
    EXPECT_EQ(renamed->title, "Été <2027>");
    EXPECT_GT(renamed->revision, stored->revision);

    ASSERT_TRUE(remove_picture(store, id, second_id, failure)) << failure.detail;
    auto removed = find_album(other_instance, album.key, failure);
    ASSERT_EQ(removed->pictures.size(), 2u);
    EXPECT_EQ(removed->pictures[1].number, 3) << "numbers stay as they were given";
    EXPECT_GT(removed->revision, renamed->revision);
    EXPECT_FALSE(find_picture(other_instance, album.key, 2, failure));
    EXPECT_FALSE(std::filesystem::exists(derived(where, second_id)));
    EXPECT_FALSE(remove_picture(store, id, second_id, failure)) << "already removed";
    EXPECT_FALSE(remove_picture(store, kept, first_id, failure)) << "a picture of another album";
    EXPECT_TRUE(failure.detail.empty()) << failure.detail;

    ASSERT_TRUE(delete_album(other_instance, id, failure)) << failure.detail;
    auto deleted = find_album(store, album.key, failure);
    ASSERT_TRUE(deleted) << "a deleted album is still found, as deleted";
    EXPECT_TRUE(deleted->deleted);
    EXPECT_TRUE(deleted->pictures.empty());
    EXPECT_EQ(deleted->title, "");
    EXPECT_EQ(deleted->owner_hash, "");
    EXPECT_GT(deleted->revision, removed->revision);
    EXPECT_FALSE(load_picture(other_instance, first_id, failure));
    EXPECT_EQ(where.database ? postgres_query(*where.database, "SELECT count(*) FROM pg_largeobject_metadata")
                             : std::to_string(count_picture_files(where.data_dir)),
              "1")
        << "only the bystander's picture is left";
    EXPECT_FALSE(std::filesystem::exists(derived(second_instance(), first_id)));
    EXPECT_FALSE(std::filesystem::exists(second_instance().data_dir / "cache" / std::to_string(first_id)));

    // Nothing more can be done to it.
    EXPECT_FALSE(rename_album(store, id, "again", failure));
    EXPECT_FALSE(remove_picture(store, id, first_id, failure));
    EXPECT_FALSE(delete_album(store, id, failure));
    EXPECT_TRUE(failure.detail.empty()) << failure.detail;
    EXPECT_EQ(picture_bytes(store, load_album(store, kept, failure)->pictures.at(0).id), "kept");
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

TEST(PostgresConnections, AStoppedDatabaseIsAnswered503EvenForPicturesInTheCache) {
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

namespace {

const std::string open_transactions = "SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
                                      "AND xact_start IS NOT NULL AND pid <> pg_backend_pid()";

// Writes the bytes in the network's chunks, as an upload does.
void arrive(StagedFile& file, const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size(); at += 65536)
        ASSERT_FALSE(write_staged(file, std::string_view(bytes).substr(at, 65536)));
}

}  // namespace

// Each file is sent once whole and settled once the next one is, the album settling the last.
TEST(PostgresIngest, PicturesTakenInWhileTheyArriveAreStoredWholeWhateverTheirSize) {
    SKIP_WITHOUT_POSTGRES();
    // Around the 1 MiB pieces the store writes in; a file ending on a piece's end sends no bytes last.
    const std::vector<std::size_t> sizes{1, 64 * 1024, (1 << 20) - 1, 1 << 20, (1 << 20) + 1, 2 << 20, (3 << 20) + 5};
    struct Case {
        const char* name;
        std::uint64_t streamed_files;
        int most_under_way;  // files whose transaction may still be open once sent (this test settles one behind)
    };
    for (Case c : {Case{"while they arrive", 16, 2}, Case{"each once whole", 0, 0}, Case{"one connection to spare", 1, 1}}) {
        SCOPED_TRACE(c.name);
        StoreBudgets budgets;
        budgets.streamed_files = c.streamed_files;
        PostgresInstance pg(budgets);
        NewAlbum album{"L", "true", "test client", {}, {}};
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            NewPicture picture{"p" + std::to_string(i) + ".png", "image/png", {}};
            ASSERT_FALSE(open_staged(pg.store, picture.file));
            arrive(picture.file, pattern(sizes[i], static_cast<char>(i)));
            ASSERT_FALSE(send_staged(picture.file));
            EXPECT_LE(std::stoi(pg.count(open_transactions)), c.most_under_way) << "after file " << i;
            if (!album.pictures.empty()) {
                ASSERT_FALSE(settle_staged(album.pictures.back().file));
            }
            album.pictures.push_back(std::move(picture));
        }
        StoreFailure failure;
        std::int64_t id = store_album(pg.store, album, failure);
        ASSERT_GT(id, 0) << failure.detail;
        auto loaded = load_album(pg.store, id, failure);
        ASSERT_TRUE(loaded) << failure.detail;
        ASSERT_EQ(loaded->pictures.size(), sizes.size());
        for (std::size_t i = 0; i < sizes.size(); ++i)
            EXPECT_TRUE(picture_bytes(pg.store, loaded->pictures[i].id) == pattern(sizes[i], static_cast<char>(i)))
                << sizes[i] << " bytes";
        EXPECT_EQ(pg.count("SELECT count(*) FROM pg_largeobject_metadata"), std::to_string(sizes.size()));
        EXPECT_EQ(pg.count("SELECT count(*) FROM staged_objects"), "0");
    }
}

TEST(PostgresIngest, AFileStillArrivingIsSeenByNoOneAndLeavesNothingWhenAbandoned) {
    SKIP_WITHOUT_POSTGRES();
    PostgresInstance pg;
    {
        StagedFile file;
        ASSERT_FALSE(open_staged(pg.store, file));
        arrive(file, pattern(3 << 20, 'x'));
        // Its bytes are in the database already, uncommitted: no sweep, no other instance sees them.
        EXPECT_EQ(pg.count(open_transactions), "1");
        EXPECT_EQ(pg.count("SELECT count(*) FROM pg_largeobject_metadata"), "0");
    }
    // Abandoned, as by a client gone or a crash: its connection closes and takes the bytes with it.
    for (int i = 0; i < 100 && pg.count(open_transactions) != "0"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(pg.count(open_transactions), "0");
    EXPECT_EQ(pg.count("SELECT count(*) FROM pg_largeobject_metadata"), "0");
    EXPECT_EQ(pg.count("SELECT count(*) FROM staged_objects"), "0");
}
