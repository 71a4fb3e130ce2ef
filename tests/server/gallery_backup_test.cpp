// gallery-server backup: copies taken while uploads run restore every picture; bad requests leave
// no folder that looks like a whole backup.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>

#include <stdlib.h>
#include <sys/stat.h>

#include "sample_png.h"
#include "test_support.h"

namespace {

ProcessResult gallery_command(const std::vector<std::string>& args) {
    std::vector<std::string> argv{GALLERY_SERVER_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, {}, 60);
}

std::vector<std::string> folder_names(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

struct OtherDisk {
    std::filesystem::path path;
    OtherDisk() {
        char pattern[] = "/dev/shm/gallery-backup.XXXXXX";
        if (::mkdtemp(pattern)) path = pattern;
    }
    ~OtherDisk() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
};

dev_t device_of(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_dev : 0;
}

// Every stored picture is one of the uploaded ones, byte for byte.
void expect_pictures_of(const std::filesystem::path& data, const std::map<std::string, std::string>& uploaded) {
    auto pictures = stored_pictures(data);
    EXPECT_FALSE(pictures.empty()) << data;
    for (const auto& [name, bytes] : pictures) {
        auto it = uploaded.find(name);
        ASSERT_NE(it, uploaded.end()) << name;
        EXPECT_TRUE(it->second == bytes) << name << ": " << bytes.size() << " bytes, not " << it->second.size();
    }
}

}  // namespace

TEST(GalleryBackup, CopiesTakenDuringUploadsAreWholeAndRestoreEveryPicture) {
    TempFolder work;
    const std::filesystem::path data = work.path / "data";
    LocalGallery gallery = start_local_gallery(data, work.path / "gallery.log");
    ASSERT_GT(gallery.port, 0) << read_whole_file(work.path / "gallery.log");
    // Another part of the gallery keeps derived files here; they are made again, never backed up.
    write_file(data / "derived" / "1.jpg", "derived");

    std::mutex lock;
    std::map<std::string, std::string> uploaded;
    std::atomic<int> stored{0};
    std::atomic<bool> stop{false};
    std::thread uploads([&] {
        for (std::uint32_t i = 0; !stop; ++i) {
            std::vector<BodyFile> files;
            for (std::uint32_t j = 0; j < 3; ++j)
                files.push_back({"p" + std::to_string(i) + "-" + std::to_string(j) + ".png",
                                 make_sample_png(120 + j, 90 + i % 50, i * 3 + j)});
            {
                std::lock_guard hold(lock);
                for (const BodyFile& file : files) uploaded[file.name] = file.contents;
            }
            if (raw_exchange(gallery.port, upload_request(upload_body("L", "true", files)), 20000).status == 200) ++stored;
        }
    });
    // Pictures are hard-linked on the same file system and copied onto another (a tmpfs, where there is one).
    std::vector<std::filesystem::path> backups;
    std::optional<OtherDisk> elsewhere;
    if (std::filesystem::is_directory("/dev/shm")) elsewhere.emplace();
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 400 && stored < 2 * (round + 1); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        bool far = round == 1 && elsewhere && !elsewhere->path.empty();
        backups.push_back((far ? elsewhere->path : work.path) / ("backup-" + std::to_string(round)));
        ProcessResult run = gallery_command({"backup", backups.back().string(), "--data", data.string()});
        EXPECT_EQ(run.exit_code, 0) << run.err;
        bool same_disk = device_of(work.path) == device_of(backups.back().parent_path());
        EXPECT_NE(run.out.find(same_disk ? ", 0 copied" : "(0 hard-linked"), std::string::npos) << run.out;
    }
    stop = true;
    uploads.join();
    ASSERT_GE(stored, 6);

    for (const auto& backup : backups) {
        SCOPED_TRACE(backup.string());
        EXPECT_EQ(folder_names(backup), (std::vector<std::string>{"gallery.sqlite", "pictures"}));
        ProcessResult check = gallery_command({"--data", backup.string(), "--check"});
        EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
        EXPECT_NE(check.out.find("state: ok"), std::string::npos) << check.out;
        expect_pictures_of(backup, uploaded);
    }

    // A restore is the same command pointed the other way; the backup stays as it was.
    const std::filesystem::path restored = work.path / "restored";
    ProcessResult restore = gallery_command({"backup", restored.string(), "--data", backups.back().string()});
    ASSERT_EQ(restore.exit_code, 0) << restore.err;
    EXPECT_EQ(folder_names(backups.back()), (std::vector<std::string>{"gallery.sqlite", "pictures"}));
    LocalGallery again = start_local_gallery(restored, work.path / "restored.log");
    ASSERT_GT(again.port, 0) << read_whole_file(work.path / "restored.log");
    auto pictures = stored_pictures(restored);
    ASSERT_EQ(pictures.size(), stored_pictures(backups.back()).size());
    for (const auto& [name, address] : picture_addresses(StoreLocation{restored, std::nullopt, {}})) {
        HttpReply file = http_get(again.port, address + "/original");
        EXPECT_EQ(file.status, 200);
        EXPECT_TRUE(file.body == uploaded[name]) << name;
    }
}

TEST(GalleryBackup, RefusalsNameTheReasonAndLeaveNoDatabaseBehind) {
    TempFolder work;
    const std::filesystem::path store = work.path / "store";
    {
        GalleryStore opened;
        ASSERT_EQ(open_store(store, opened), std::nullopt);
        NewAlbum album = album_of(opened, {{"kept.png", make_sample_png(50, 40, 1)}, {"lost.png", make_sample_png(60, 40, 2)}});
        StoreFailure failure;
        ASSERT_GT(store_album(opened, album, failure), 0) << failure.detail;
    }
    const std::filesystem::path damaged = work.path / "damaged";
    std::filesystem::copy(store, damaged, std::filesystem::copy_options::recursive);
    std::filesystem::remove(damaged / "pictures" / "2");
    write_file(work.path / "full" / "something", "x");

    struct Case {
        const char* name;
        std::vector<std::string> args;
        int exit_code;
        const char* says;
    };
    const std::string dest = (work.path / "dest").string();
    for (const Case& c : std::vector<Case>{
             {"no destination", {"backup", "--data", store.string()}, 2, "needs a destination folder"},
             {"no data folder", {"backup", dest}, 2, "--data DIR is required"},
             {"a PostgreSQL store", {"backup", dest, "--data", store.string(), "--database", "postgresql:///g"}, 2, "pg_dump"},
             {"nothing stored there", {"backup", dest, "--data", (work.path / "none").string()}, 1, "no SQLite store"},
             {"a folder in use", {"backup", (work.path / "full").string(), "--data", store.string()}, 1, "is not empty"},
             {"a picture gone from the store", {"backup", dest, "--data", damaged.string()}, 1, "picture 2 is missing"},
         }) {
        SCOPED_TRACE(c.name);
        ProcessResult run = gallery_command(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << run.out << run.err;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_FALSE(std::filesystem::exists(dest + "/gallery.sqlite"));
        EXPECT_FALSE(std::filesystem::exists(work.path / "full" / "gallery.sqlite"));
        std::filesystem::remove_all(dest);
    }
    // The version is a question, not an option that wants a value.
    ProcessResult version = gallery_command({"--version"});
    EXPECT_EQ(version.exit_code, 0) << version.err;
    EXPECT_TRUE(version.out.starts_with("gallery-server ")) << version.out;
}
