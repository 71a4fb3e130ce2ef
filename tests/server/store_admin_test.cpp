// The operator's commands through the real gallery-server, on both stores, while a gallery serves
// the same store; and a delete killed between its commit and its file removal.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <thread>

#include "album_keys.h"
#include "gallery_store.h"
#include "postgres_cluster.h"
#include "test_support.h"

namespace {

enum class Backend { sqlite, postgres };

class StoreAdmin : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        if (GetParam() == Backend::postgres) {
            SKIP_WITHOUT_POSTGRES();
            where.database = fresh_postgres_database();
        }
        where.data_dir = dir.path / "data";
    }

    std::vector<std::string> database_options() const {
        if (!where.database) return {};
        return {"--database", *where.database};
    }

    ProcessResult command(std::vector<std::string> words, const std::vector<std::string>& env = {}) const {
        words.insert(words.begin(), GALLERY_SERVER_EXE);
        words.insert(words.end(), {"--data", where.data_dir.string()});
        for (const std::string& option : database_options()) words.push_back(option);
        return run_process(words, env, 60);
    }

    LocalGallery serve(std::vector<std::string> options = {}) const {
        for (const std::string& option : database_options()) options.push_back(option);
        return start_local_gallery(where.data_dir, dir.path / "gallery.log", {}, options);
    }

    // Stores an album as if uploaded the given number of days ago; returns its key.
    std::string stored(const std::vector<std::pair<std::string, std::string>>& pictures, const std::string& title,
                       int age_days) {
        GalleryStore store;
        auto error = open_store(where, store);
        EXPECT_FALSE(error) << *error;
        NewAlbum album = album_of(store, pictures);
        album.title = title;
        album.uploader = "203.0.113.9";
        StoreFailure failure;
        std::string id = std::to_string(store_album(store, album, failure)), hours = std::to_string(age_days * 24);
        EXPECT_NE(id, "0") << failure.detail;
        if (where.database) {
            postgres_query(*where.database, "UPDATE albums SET created = now() - interval '" + hours + " hours' WHERE id = " + id);
        } else {
            sqlite3* db = nullptr;
            sqlite3_open((where.data_dir / "gallery.sqlite").c_str(), &db);
            std::string sql = "UPDATE albums SET created = datetime('now', '-" + hours + " hours') WHERE id = " + id;
            EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
        }
        return album.key;
    }

    TempFolder dir;
    StoreLocation where;
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
    return text;
}

}  // namespace

TEST_P(StoreAdmin, CommandsListShowDeleteAndExpireWhileTheGalleryServes) {
    // Old enough to expire, but deleted first: expiry must not count it again.
    std::string reported = stored({{"a.png", "12345"}, {"b\n.png", "678"}}, "Holiday\tpics\n\x1b[31m", 40);
    std::string old = stored({{"c.png", "x"}}, "Old", 40);
    std::string recent = stored({{"d.png", "yy"}}, "", 0);
    auto gallery = serve();
    ASSERT_GT(gallery.port, 0) << read_whole_file(dir.path / "gallery.log");

    struct Step {
        std::vector<std::string> words;
        int exit_code;
        std::string shown;      // in standard output ({R}, {O}, {N}: the albums' keys)
        std::string not_shown;  // nowhere in standard output
        std::string error;      // in standard error
    };
    const std::vector<Step> steps{
        {{"list"}, 0,
         "key\tcreated\tpictures\tbytes\tuploader\ttitle\n{R}\t", "\x1b", ""},
        {{"list"}, 0, "\t2\t8\t203.0.113.9\tHoliday\\x09pics\\x0a\\x1b[31m\n{O}\t", "", ""},
        {{"show", "{R}"}, 0, "title: Holiday\\x09pics\\x0a\\x1b[31m\n", "\x1b", ""},
        {{"show", "{R}"}, 0, "number\tbytes\ttype\tname\n1\t5\timage/png\ta.png\n2\t3\timage/png\tb\\x0a.png\n", "", ""},
        {{"show", "{R}"}, 0, "uploader: 203.0.113.9\nclient: test client\nstate: live\n", "", ""},
        {{"show", "not-a-key"}, 2, "", "", "is not an album key"},
        {{"show", "-AAAAAAAAAAAAAAAAAAAAA"}, 1, "", "", "no album has the key -AAAAAAAAAAAAAAAAAAAAA"},
        {{"show"}, 2, "", "", "usage: gallery-server show KEY"},
        {{"delete", "{R}"}, 0, "deleted album {R}: 2 pictures, 8 bytes\n", "", ""},
        {{"delete", "{R}"}, 1, "", "", "already deleted"},
        {{"show", "{R}"}, 0, "state: deleted\n", "a.png", ""},
        {{"expire", "0"}, 2, "", "", "from 1 to"},
        {{"expire", "30days"}, 2, "", "", "from 1 to"},
        {{"expire", "30"}, 0, "expired 1 albums older than 30 days\n{O}\n", "{N}", ""},
        {{"expire", "30"}, 0, "expired 0 albums", "", ""},
        {{"list"}, 0, "{N}\t", "{O}", ""},
        {{"list", "--no-such-option", "1"}, 2, "", "", "unknown option --no-such-option"},
    };
    auto keyed = [&](std::string text) {
        return replaced(replaced(replaced(std::move(text), "{R}", reported), "{O}", old), "{N}", recent);
    };
    for (const Step& step : steps) {
        std::vector<std::string> words;
        for (const std::string& word : step.words) words.push_back(keyed(word));
        SCOPED_TRACE(words.front() + (words.size() > 1 ? " " + words[1] : ""));
        ProcessResult result = command(words);
        EXPECT_EQ(result.exit_code, step.exit_code) << result.out << result.err;
        EXPECT_NE(result.out.find(keyed(step.shown)), std::string::npos) << result.out;
        if (!step.not_shown.empty()) {
            EXPECT_EQ(result.out.find(keyed(step.not_shown)), std::string::npos) << result.out;
        }
        EXPECT_NE(result.err.find(step.error), std::string::npos) << result.err;
    }
    EXPECT_EQ(http_get(gallery.port, "/").status, 200) << "the gallery serves on";
    if (!where.database) {
        ProcessResult mistyped = run_process({GALLERY_SERVER_EXE, "list", "--data", (dir.path / "mistyped").string()}, {}, 20);
        EXPECT_EQ(mistyped.exit_code, 1) << mistyped.err;
        EXPECT_FALSE(std::filesystem::exists(dir.path / "mistyped")) << "no store is made where none was";
    }
    std::string check = check_store(where).text;
    EXPECT_NE(check.find("albums: 3, pictures: 1, bytes: 2\n"), std::string::npos) << check;
    EXPECT_NE(check.find("orphans: 0 ("), std::string::npos) << check;
}

TEST_P(StoreAdmin, ADeleteKilledAfterItsCommitLeavesOnlyOrphansThatTheNextStartRemoves) {
    std::string key = stored({{"a.png", "one"}, {"b.png", "two"}}, "Doomed", 0);
    std::string kept_key = stored({{"c.png", "kept"}}, "Kept", 0);
    const std::filesystem::path derived = where.data_dir / "derived";
    std::vector<std::filesystem::path> orphans, kept{derived / "notes.txt"};
    {
        GalleryStore store;
        ASSERT_FALSE(open_store(where, store));
        StoreFailure failure;
        auto album = find_album(store, key, failure);
        ASSERT_TRUE(album) << failure.detail;
        for (const StoredPicture& p : album->pictures) {
            std::string id = std::to_string(p.id);
            orphans.insert(orphans.end(), {derived / (id + "-480.webp"), derived / (id + ".facts"),
                                           where.data_dir / (where.database ? "cache" : "pictures") / id});
            StoredPicture row;
            int fd = open_picture(store, p.id, row, failure);  // PostgreSQL: now in this instance's cache
            ASSERT_GE(fd, 0) << failure.detail;
            ::close(fd);
        }
        kept.push_back(derived / (std::to_string(find_album(store, kept_key, failure)->pictures.at(0).id) + "-960.webp"));
    }
    for (const auto& path : orphans) {
        if (!std::filesystem::exists(path)) write_file(path, "copy");
    }
    for (const auto& path : kept) write_file(path, "kept");
    // Killed at its first file removal: SQLite's picture files, PostgreSQL's cached copies.
    ProcessResult killed = command({"delete", key}, {std::string("LD_PRELOAD=") + GALLERY_KILL_AT_UNLINK_MODULE,
                                                     "ASAN_OPTIONS=verify_asan_link_order=0",
                                                     std::string("GALLERY_KILL_AT_UNLINK=") +
                                                         (where.database ? "/cache/" : "/pictures/")});
    EXPECT_EQ(killed.exit_code, -1) << "not killed: " << killed.out << killed.err;
    EXPECT_EQ(killed.out.find("deleted album"), std::string::npos) << killed.out;

    // The rows went, whole, and the picture bytes with them; a check counts what is left and changes nothing.
    EXPECT_NE(command({"show", key}).out.find("state: deleted\n"), std::string::npos);
    StoreReport report = check_store(where);
    EXPECT_TRUE(report.healthy) << report.text;
    EXPECT_NE(report.text.find("albums: 2, pictures: 1, bytes: 4\n"), std::string::npos) << report.text;
    EXPECT_NE(report.text.find("orphans: 6 ("), std::string::npos) << report.text;
    for (const auto& path : orphans) EXPECT_TRUE(std::filesystem::exists(path)) << path;
    if (where.database) {
        EXPECT_EQ(postgres_query(*where.database, "SELECT count(*) FROM pg_largeobject_metadata"), "1");
    }

    {
        GalleryStore store;
        ASSERT_FALSE(open_store(where, store));
    }
    for (const auto& path : orphans) EXPECT_FALSE(std::filesystem::exists(path)) << path;
    for (const auto& path : kept) EXPECT_TRUE(std::filesystem::exists(path)) << path;
    EXPECT_NE(check_store(where).text.find("orphans: 0 ("), std::string::npos);
}

TEST_P(StoreAdmin, ARunningGalleryExpiresOldAlbumsByItselfAndKeepsTheRest) {
    std::string old = stored({{"a.png", "old"}}, "Old", 40);
    std::string recent = stored({{"b.png", "recent"}}, "Recent", 20);
    auto gallery = serve({"--expire-after", "30"});
    ASSERT_GT(gallery.port, 0) << read_whole_file(dir.path / "gallery.log");
    // The first round runs as the gallery starts, then hourly.
    ProcessResult shown;
    for (int i = 0; i < 100 && shown.out.find("state: deleted") == std::string::npos; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        shown = command({"show", old});
    }
    EXPECT_NE(shown.out.find("state: deleted"), std::string::npos)
        << shown.out << shown.err << read_whole_file(dir.path / "gallery.log");
    EXPECT_NE(command({"show", recent}).out.find("state: live"), std::string::npos);
    EXPECT_NE(read_whole_file(dir.path / "gallery.log").find("expired 1 albums older than 30 days\n" + old),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreAdmin, ::testing::Values(Backend::sqlite, Backend::postgres),
                         [](const auto& info) { return info.param == Backend::sqlite ? "SQLite" : "PostgreSQL"; });
