// The real uploader against the real gallery-server on 127.0.0.1:TEST_GALLERY_PORT.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <map>

#include "sample_png.h"
#include "test_support.h"

namespace {

struct Exchange {
    TempFolder work;
    std::filesystem::path data, pictures, opened;
    std::map<std::string, std::string> originals;
    std::unique_ptr<ServerProcess> server;

    explicit Exchange(std::vector<std::string> server_options = {}) {
        data = work.path / "data";
        pictures = work.path / "pictures";
        opened = work.path / "opened";
        std::filesystem::create_directories(pictures);
        std::filesystem::create_directories(work.path / "bin");
        std::filesystem::create_directories(work.path / "appdata");
        // Stands in for the desktop's opener and records the address it was handed.
        std::filesystem::path opener = work.path / "bin" / "xdg-open";
        write_file(opener, "#!/bin/sh\nprintf '%s' \"$1\" > '" + opened.string() + "'\n");
        ::chmod(opener.c_str(), 0755);

        std::vector<std::string> args{"--listen", "127.0.0.1:" + std::to_string(TEST_GALLERY_PORT), "--data",
                                      data.string()};
        args.insert(args.end(), server_options.begin(), server_options.end());
        server = start_server_process(args, work.path / "server.log");
    }

    void add_picture(const std::string& name, std::uint32_t seed) {
        originals[name] = make_sample_png(40 + seed * 10, 30 + seed * 5, seed);
        write_file(pictures / name, originals[name]);
    }

    // Our server, not some other listener on the port: it prints its start-up line once bound.
    bool ready() const {
        for (int i = 0; i < 100; ++i) {
            if (read_whole_file(work.path / "server.log").find("listening on") != std::string::npos)
                return wait_for_port(TEST_GALLERY_PORT, 2000);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    ProcessResult upload(const std::vector<std::string>& paths) {
        std::vector<std::string> argv{UPLOADER_PROBE_EXE};
        argv.insert(argv.end(), paths.begin(), paths.end());
        const char* path = std::getenv("PATH");
        return run_process(argv,
                           {"APPDATA=" + (work.path / "appdata").string(), "DISPLAY", "WAYLAND_DISPLAY",
                            "PATH=" + (work.path / "bin").string() + ":" + (path ? path : "/usr/bin:/bin")},
                           60);
    }

    std::string address(int album) const {
        return "http://127.0.0.1:" + std::to_string(TEST_GALLERY_PORT) + "/album/" + std::to_string(album);
    }
};

}  // namespace

TEST(UploaderExchange, AFolderOfPicturesArrivesByteIdenticalAndItsAlbumIsOpened) {
    Exchange exchange;
    ASSERT_TRUE(exchange.ready()) << read_whole_file(exchange.work.path / "server.log");
    for (std::uint32_t i = 1; i <= 4; ++i) exchange.add_picture("picture-" + std::to_string(i) + ".png", i);

    ProcessResult run = exchange.upload({exchange.pictures.string()});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(run.err.find("Error uploading files"), std::string::npos) << run.err;
    EXPECT_EQ(read_whole_file(exchange.opened), exchange.address(1));

    auto stored = stored_pictures(exchange.data);
    ASSERT_EQ(stored.size(), exchange.originals.size()) << read_whole_file(exchange.work.path / "server.log");
    for (const auto& [name, bytes] : stored) {
        ASSERT_TRUE(exchange.originals.contains(name)) << name;
        EXPECT_EQ(bytes, exchange.originals[name]) << name;
    }
}

TEST(UploaderExchange, ARefusedNonPictureIsReportedAndTheAlbumStillOpens) {
    Exchange exchange;
    ASSERT_TRUE(exchange.ready()) << read_whole_file(exchange.work.path / "server.log");
    exchange.add_picture("kept.png", 2);
    write_file(exchange.pictures / "notes.txt", "a shopping list, not a picture\n");

    ProcessResult run = exchange.upload({exchange.pictures.string()});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("Error uploading files: 1 file was not added:\nnotes.txt: not a JPEG, PNG, GIF or WebP picture"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(read_whole_file(exchange.opened), exchange.address(1));
    auto stored = stored_pictures(exchange.data);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].first, "kept.png");
    EXPECT_EQ(stored[0].second, exchange.originals["kept.png"]);
}

TEST(UploaderExchange, TheUploaderKeepsToTheLimitsTheServerAnnounces) {
    Exchange exchange({"--most-files", "2"});
    ASSERT_TRUE(exchange.ready()) << read_whole_file(exchange.work.path / "server.log");
    for (std::uint32_t i = 1; i <= 3; ++i) exchange.add_picture("p" + std::to_string(i) + ".png", i);

    ProcessResult run = exchange.upload({exchange.pictures.string()});
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("more than 2 files"), std::string::npos) << run.err;
    EXPECT_EQ(read_whole_file(exchange.opened), exchange.address(1));
    EXPECT_EQ(stored_pictures(exchange.data).size(), 2u);
}
