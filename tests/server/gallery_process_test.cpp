// Tests of the gallery-server program itself: its options, its start-up line, and a clean stop.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <future>
#include <map>


#include "sample_png.h"
#include "test_support.h"


TEST(GalleryProcess, ServesWithItsOptionsAndStopsCleanlyOnSigterm) {
    TempFolder dir;
    auto server = start_server_process({"--listen", "127.0.0.1:0", "--data", (dir.path / "data").string(),
                                        "--largest-upload", "300000", "--most-files", "4", "--largest-file", "70000",
                                        "--public-url", "http://gallery.test:1234/"},
                                       dir.path / "log");
    ASSERT_GT(server->pid, 0);
    int port = port_from_log(dir.path / "log");
    ASSERT_GT(port, 0) << read_whole_file(dir.path / "log");

    HttpReply limits = raw_exchange(port, "GET /add/limits.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(limits.body, "300000:4:70000");
    HttpReply upload = raw_exchange(port, upload_request(upload_body("L", "true", {{"a.png", make_sample_png(3, 3, 1)}})));
    EXPECT_EQ(upload.status, 200);
    EXPECT_TRUE(upload.body.starts_with("http://gallery.test:1234/a/")) << upload.body;
    EXPECT_EQ(upload.body, "http://gallery.test:1234" + album_path(upload.body) + "?owner=" + owner_secret_in(upload.body));

    ::kill(server->pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100 && ::waitpid(server->pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server->pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(count_rows(dir.path / "data", "pictures"), 1);
}

TEST(GalleryProcess, BadOptionsStopTheStartWithAReason) {
    ProcessResult result = run_process({GALLERY_SERVER_EXE, "--data", "/tmp/x", "--most-files", "lots"}, {}, 10);
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_NE(result.err.find("--most-files"), std::string::npos) << result.err;
}

TEST(GalleryProcess, APortInUseIsReported) {
    TempFolder dir;
    auto g = start_gallery();
    ProcessResult result = run_process(
        {GALLERY_SERVER_EXE, "--listen", "127.0.0.1:" + std::to_string(g->port), "--data", dir.path.string()}, {}, 10);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("cannot listen"), std::string::npos) << result.err;
}

TEST(GalleryProcess, EveryAcknowledgedAlbumSurvivesKillsUnderLoadAndNothingHalfWrittenStays) {
    TempFolder dir;
    std::string data = (dir.path / "data").string();
    std::map<std::string, std::string> acknowledged;  // picture name -> bytes, for uploads answered 200
    for (int round = 0; round < 3; ++round) {
        std::filesystem::path log = dir.path / ("log" + std::to_string(round));
        auto server = start_server_process({"--listen", "127.0.0.1:0", "--data", data, "--access-log", "off"}, log);
        int port = port_from_log(log);
        ASSERT_GT(port, 0) << read_whole_file(log);
        std::atomic<int> answered{0};
        std::vector<std::future<std::pair<std::string, std::string>>> uploads;
        for (int i = 0; i < 12; ++i)
            uploads.push_back(std::async(std::launch::async, [&answered, port, round, i] {
                std::string name = "r" + std::to_string(round) + "-" + std::to_string(i) + ".png";
                std::string png = make_sample_png(300, 200, static_cast<std::uint32_t>(round * 100 + i));
                HttpReply reply = raw_exchange(port, upload_request(upload_body("L", "true", {{name, png}})), 10000);
                ++answered;
                return std::make_pair(reply.status == 200 ? name : std::string(), png);
            }));
        // Killed while the rest are still arriving, being synced or being committed.
        for (int wait = 0; wait < 2000 && answered < 3; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::kill(server->pid, SIGKILL);
        ::waitpid(server->pid, nullptr, 0);
        server->pid = -1;
        for (auto& upload : uploads) {
            auto [name, png] = upload.get();
            if (!name.empty()) acknowledged[name] = png;
        }
    }
    // One more start sweeps what the kills left behind.
    auto server = start_server_process({"--listen", "127.0.0.1:0", "--data", data}, dir.path / "log-last");
    ASSERT_GT(port_from_log(dir.path / "log-last"), 0);
    EXPECT_FALSE(acknowledged.empty());
    std::map<std::string, std::string> stored;
    for (auto& [name, bytes] : stored_pictures(data)) stored[name] = bytes;
    for (const auto& [name, bytes] : acknowledged) {
        ASSERT_TRUE(stored.contains(name)) << name << " was acknowledged but is gone";
        EXPECT_EQ(stored[name], bytes) << name;
    }
    EXPECT_EQ(count_picture_files(data), static_cast<std::size_t>(count_rows(data, "pictures")))
        << "no staged or orphaned file outlives a restart";
}

TEST(GalleryProcess, CheckReportsTheStoreAndExitsWithItsState) {
    TempFolder dir;
    std::string data = (dir.path / "data").string();
    auto check = [&](std::vector<std::string> extra) {
        std::vector<std::string> argv{GALLERY_SERVER_EXE, "--data", data, "--check"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return run_process(argv, {}, 20);
    };
    ProcessResult before = check({});
    EXPECT_EQ(before.exit_code, 1);
    EXPECT_NE(before.out.find("no store here yet"), std::string::npos) << before.out;
    EXPECT_FALSE(std::filesystem::exists(data + "/gallery.sqlite")) << "a check makes nothing";

    {
        auto server = start_server_process({"--listen", "127.0.0.1:0", "--data", data}, dir.path / "log");
        int port = port_from_log(dir.path / "log");
        ASSERT_GT(port, 0) << read_whole_file(dir.path / "log");
        ASSERT_EQ(raw_exchange(port, upload_request(upload_body("L", "true", {{"a.png", make_sample_png(3, 3, 1)}}))).status,
                  200);
    }
    ProcessResult after = check({});
    EXPECT_EQ(after.exit_code, 0) << after.out << after.err;
    EXPECT_NE(after.out.find("albums: 1, pictures: 1"), std::string::npos) << after.out;
    EXPECT_NE(after.out.find("state: ok"), std::string::npos) << after.out;

    ProcessResult unreachable = check({"--database", "host=" + (dir.path / "none").string() + " dbname=gallery"});
    EXPECT_EQ(unreachable.exit_code, 1);
    // Unreachable, or a build without libpq saying so.
    EXPECT_NE(unreachable.out.find("PostgreSQL"), std::string::npos) << unreachable.out;
}
