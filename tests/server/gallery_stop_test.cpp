// A gallery told to stop (SIGTERM, as systemd does) finishes what it has begun and takes nothing new.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sample_png.h"
#include "test_support.h"

namespace {

void send_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// Everything until the peer closes, or "(open)" when it is still open after `timeout_ms`.
std::string read_until_closed(int fd, int timeout_ms) {
    std::string got;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return got + "(open)";
        char buffer[4096];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return got;
        got.append(buffer, static_cast<std::size_t>(n));
    }
}

int exit_status(int pid) {
    int status = 0;
    for (int i = 0; i < 400 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(GalleryStop, SigtermLetsRequestsUnderWayFinishOrRunOutTheirTime) {
    struct Case {
        const char* name;
        bool finish_upload;
        const char* reply_starts;  // what the upload under way gets
        long albums;
    };
    for (const Case& c : std::vector<Case>{{"the upload is finished", true, "HTTP/1.1 200", 1},
                                           {"the upload stalls past --stop-grace", false, "", 0}}) {
        SCOPED_TRACE(c.name);
        TempFolder work;
        LocalGallery gallery = start_local_gallery(work.path / "data", work.path / "gallery.log", {}, {"--stop-grace", "2"});
        int port = gallery.port;
        ASSERT_GT(port, 0) << read_whole_file(work.path / "gallery.log");

        std::string request = upload_request(upload_body("L", "true", {{"a.png", make_sample_png(300, 200, 1)}}));
        int idle = connect_loopback(port);
        int upload = connect_loopback(port);
        ASSERT_TRUE(idle >= 0 && upload >= 0);
        send_all(upload, std::string_view(request).substr(0, request.size() / 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the head is read, the body begun
        ::kill(gallery.process->pid, SIGTERM);

        // A connection that asked nothing is closed, and no new one is taken.
        EXPECT_EQ(read_until_closed(idle, 5000), "");
        bool refused = false;
        for (int i = 0; i < 100 && !refused; ++i) {
            int fd = connect_loopback(port);
            refused = fd < 0;
            if (fd >= 0) ::close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(refused);

        if (c.finish_upload) send_all(upload, std::string_view(request).substr(request.size() / 2));
        std::string reply = read_until_closed(upload, 10000);
        EXPECT_TRUE(reply.starts_with(c.reply_starts)) << reply;
        EXPECT_EQ(exit_status(gallery.process->pid), 0) << read_whole_file(work.path / "gallery.log");
        gallery.process->pid = -1;
        EXPECT_EQ(count_rows(work.path / "data", "albums"), c.albums);
        ::close(idle);
        ::close(upload);
    }
}
