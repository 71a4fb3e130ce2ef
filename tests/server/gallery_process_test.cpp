// Tests of the gallery-server program itself: its options, its start-up line, and a clean stop.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>


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
    EXPECT_EQ(upload.body, "http://gallery.test:1234/album/1");

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
