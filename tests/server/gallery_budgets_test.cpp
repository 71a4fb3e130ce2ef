// The budgets a client can hold, one group each: what a client over a budget is told, and that a
// normal upload and an album page still succeed meanwhile. Slow disks come from a preloaded fault
// injector, never from timing.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>

#include "gallery_pages.h"
#include "sample_png.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

std::string png_upload(int seed = 1) {
    return upload_request(upload_body("L", "true", {{"ok.png", make_sample_png(4, 4, seed)}}));
}

// A normal upload lands and the first album's page is served.
void expect_still_serving(int port) {
    HttpReply upload = raw_exchange(port, png_upload());
    EXPECT_EQ(upload.status, 200) << upload.body;
    EXPECT_TRUE(upload.body.starts_with("http://127.0.0.1:")) << upload.body;
    EXPECT_EQ(http_get(port, album_path(upload.body)).status, 200);
}

// A client over a budget is told which, and the gallery goes on serving everyone else.
void expect_refused(int port, const HttpReply& reply, int status, std::string_view reason) {
    EXPECT_EQ(reply.status, status) << reply.body;
    EXPECT_NE(reply.body.find(reason), std::string::npos) << reply.body;
    expect_still_serving(port);
}

// Three small pictures: three syncs and a commit, over a second on a slow disk.
std::string three_picture_upload() {
    return upload_request(upload_body("L", "true", {{"a.png", make_sample_png(3, 3, 1)},
                                                    {"b.png", make_sample_png(3, 3, 2)},
                                                    {"c.png", make_sample_png(3, 3, 3)}}));
}

// A "JPEG" by its signature, as large as needed.
std::string jpeg_of(std::size_t size) { return "\xFF\xD8\xFF" + std::string(size - 3, 'j'); }

// The gallery-server process with a slow disk injected.
std::vector<std::string> slow_disk(int sync_ms, int write_ms = 0) {
    return {"/usr/bin/env", std::string("LD_PRELOAD=") + GALLERY_SLOW_DISK,
            "GALLERY_SLOW_SYNC_MS=" + std::to_string(sync_ms), "GALLERY_SLOW_WRITE_MS=" + std::to_string(write_ms),
            "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1"};
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


TEST(GalleryLingering, TricklersAfterTheirReplyAreCutAtTheTotalAndMakeRoomMeanwhile) {
    ServerConfig config;
    config.budgets.most_connections = 2;
    config.budgets.linger_time = 1500ms;
    auto g = start_gallery(config);
    ASSERT_EQ(raw_exchange(g->port, png_upload()).status, 200);
    // Two clients that keep sending a byte every 200 ms after their reply: each read is in time,
    // so only the total limit ends them.
    auto trickle = [&g] {
        RawClient c(g->port);
        c.send_text("GET /add/limits.aspx HTTP/1.1\r\nHost: x\r\n\r\n");
        auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < 10s && c.send_text("x")) std::this_thread::sleep_for(200ms);
        return std::chrono::steady_clock::now() - start;
    };
    auto first = std::async(std::launch::async, trickle);
    auto second = std::async(std::launch::async, trickle);
    std::this_thread::sleep_for(300ms);
    // Both slots are taken by lingering connections, which make room.
    expect_still_serving(g->port);
    for (auto* held : {&first, &second}) EXPECT_LT(held->get(), 8s) << "a trickler was never cut off";
}

TEST(GalleryUploadLists, AListOverItsBudgetOrOverTheSharedBudgetIsRefused503) {
    ServerConfig config;
    config.budgets.list_bytes = 8000;
    config.budgets.list_memory = 10000;
    auto g = start_gallery(config);
    ASSERT_EQ(raw_exchange(g->port, png_upload()).status, 200);

    std::vector<BodyFile> long_names;
    for (int i = 0; i < 60; ++i) long_names.push_back({std::string(400, 'n') + std::to_string(i) + ".png", "x"});
    std::string request = upload_request(upload_body("L", "true", long_names));
    std::size_t head_end = request.find("\r\n\r\n") + 4;

    expect_refused(g->port, raw_exchange(g->port, request), 503, "file list is longer than 8000 bytes");

    // Lists of nine entries each, held open by clients that stop sending: the third is too many.
    std::string part = request.substr(0, head_end + 7900);
    RawClient a(g->port), b(g->port), c(g->port);
    a.send_text(part);
    b.send_text(part);
    std::this_thread::sleep_for(300ms);
    c.send_text(part);
    expect_refused(g->port, c.read_reply(), 503, "too many file lists");
}

TEST(GalleryBodyRate, BytesSentEarlyBuyNoLongSilence) {
    ServerConfig config;
    config.budgets.body_gap = 1s;
    config.budgets.least_body_rate = 100;
    auto g = start_gallery(config);
    std::string body = upload_body("L", "true", {{"a.jpg", jpeg_of(30000)}});
    std::string request = upload_request(body);
    std::size_t head_end = request.size() - body.size();
    RawClient c(g->port);
    // 20,000 bytes at once would buy 200 s at 100 bytes a second if averaged over the whole body.
    c.send_text(request.substr(0, head_end + 20000));
    auto reply = std::async(std::launch::async, [&c] { return c.read_reply(20000); });
    for (std::size_t at = head_end + 20000; at < request.size() && reply.wait_for(300ms) == std::future_status::timeout; ++at)
        c.send_text(request.substr(at, 1));
    expect_refused(g->port, reply.get(), 408, "too slowly");
}

TEST(GalleryStagedFiles, UploadsHoldOneDescriptorEachUnderASmallLimit) {
    TempFolder dir;
    auto server = start_local_gallery(dir.path / "data", dir.path / "log", {"/usr/bin/prlimit", "--nofile=128:128", "--"},
                                      {"--max-connections", "24", "--max-staged-files", "8"});
    ASSERT_GT(server.port, 0) << read_whole_file(dir.path / "log");
    std::vector<BodyFile> files;
    for (int i = 0; i < 300; ++i) files.push_back({"p" + std::to_string(i) + ".png", make_sample_png(2, 2, i)});
    std::string request = upload_request(upload_body("L", "true", files));
    std::vector<std::future<HttpReply>> uploads;
    for (int i = 0; i < 3; ++i)
        uploads.push_back(std::async(std::launch::async, [&] { return raw_exchange(server.port, request, 60000); }));
    std::size_t most_open = 0;
    while (uploads.back().wait_for(20ms) == std::future_status::timeout)
        most_open = std::max(most_open, open_descriptors(server.process->pid));
    for (auto& upload : uploads) EXPECT_EQ(upload.get().status, 200);
    EXPECT_LT(most_open, 40u) << "descriptors grow with the pictures received";
    EXPECT_EQ(count_picture_files(dir.path / "data"), 900u);
    expect_still_serving(server.port);
}

TEST(GalleryStagedFiles, BudgetsThatCannotFitTheDescriptorLimitAreRefusedAtStart) {
    TempFolder dir;
    ProcessResult result = run_process({"/usr/bin/prlimit", "--nofile=128:128", "--", GALLERY_SERVER_EXE, "--data",
                                        (dir.path / "data").string(), "--listen", "127.0.0.1:0"},
                                       {}, 20);
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_NE(result.err.find("--max-connections 1000 and --max-staged-files 256 need 2320 file descriptors; this "
                              "process may open 128"),
              std::string::npos)
        << result.err;
}

TEST(GalleryStagedFiles, WhenEveryStagedFileIsTakenAnUploadIsRefused503) {
    ServerConfig config;
    config.budgets.staged_files = 1;
    auto g = start_gallery(config);
    HttpReply first = raw_exchange(g->port, png_upload());
    ASSERT_EQ(first.status, 200);
    const std::string album = album_path(first.body);
    // A client that stops halfway through its picture holds the one staged file.
    std::string body = upload_body("L", "true", {{"held.jpg", jpeg_of(20000)}});
    std::string request = upload_request(body);
    RawClient holder(g->port);
    holder.send_text(request.substr(0, request.size() - 10000));
    std::this_thread::sleep_for(300ms);
    HttpReply refused = raw_exchange(g->port, png_upload(2));
    EXPECT_EQ(refused.status, 503);
    EXPECT_NE(refused.body.find("writing too many uploads"), std::string::npos) << refused.body;
    EXPECT_EQ(http_get(g->port, album).status, 200) << "pages need no staged file";
    holder.send_text(request.substr(request.size() - 10000));
    EXPECT_EQ(holder.read_reply().status, 200);
    expect_still_serving(g->port);
}

// Every descriptor of the process taken: connections that arrive then are answered, one by one,
// and the gallery serves again once descriptors are free.
TEST(GalleryStagedFiles, ConnectionsArrivingWithNoDescriptorLeftAreAnswered503) {
#if defined(__SANITIZE_ADDRESS__)
    // UndefinedBehaviorSanitizer (built with it) probes memory through a pipe, so in a process with
    // no descriptor left it reports sound objects as broken. The plain and tsan builds run this.
    GTEST_SKIP() << "the sanitizer's own checks need descriptors";
#endif
    auto g = start_gallery();
    ASSERT_EQ(http_get(g->port, "/").status, 200);
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
    std::vector<int> clients;
    {
        // The limit is this process's: the gallery runs in it, so the test's own sockets use it up.
        rlimit tight = before;
        int highest = ::open("/dev/null", O_RDONLY);
        ::close(highest);
        tight.rlim_cur = static_cast<rlim_t>(highest + 40);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        for (int fd; (fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) >= 0;) clients.push_back(fd);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(g->port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int fd : clients) ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    // Every reply is read before any descriptor is given back.
    std::size_t answered = 0;
    for (int fd : clients) {
        timeval wait{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        std::string raw;
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) raw.append(buffer, static_cast<std::size_t>(n));
        HttpReply reply;
        read_reply_text(raw, reply);
        if (reply.status == 503 && reply.body.find("run out of connections") != std::string::npos) ++answered;
    }
    for (int fd : clients) ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &before), 0);
    // A descriptor the gallery frees meanwhile (a connection of an earlier request closing) lets one
    // connection in the ordinary way; every other one is told.
    EXPECT_GE(clients.size(), 20u);
    EXPECT_GE(answered + 2, clients.size()) << answered << " of " << clients.size() << " were answered";
    expect_still_serving(g->port);
}

// Syncs take 300 ms each here: the uploads' lane is busy for seconds.
TEST(GalleryDiskLanes, PagesAreReadBesideSlowUploadsAndAFullQueueIsRefused503) {
    TempFolder dir;
    auto server = start_local_gallery(dir.path / "data", dir.path / "log", slow_disk(300),
                                      {"--disk-threads", "1", "--max-disk-queue", "2"});
    ASSERT_GT(server.port, 0) << read_whole_file(dir.path / "log");
    HttpReply first = raw_exchange(server.port, png_upload(), 20000);
    ASSERT_EQ(first.status, 200);
    std::string slow_upload = three_picture_upload();
    std::vector<std::future<HttpReply>> uploads;
    std::atomic<int> answered{0};
    for (int i = 0; i < 2; ++i)
        uploads.push_back(std::async(std::launch::async, [&] {
            HttpReply reply = raw_exchange(server.port, slow_upload, 30000);
            ++answered;
            return reply;
        }));
    std::this_thread::sleep_for(200ms);
    HttpReply page = http_get(server.port, album_path(first.body));
    int uploads_done_before_page = answered.load();
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(uploads_done_before_page, 0) << "the page waited for the uploads' syncs";
    HttpReply refused = raw_exchange(server.port, png_upload(3), 20000);
    EXPECT_EQ(refused.status, 503);
    EXPECT_NE(refused.body.find("disk is busy"), std::string::npos) << refused.body;
    for (auto& upload : uploads) EXPECT_EQ(upload.get().status, 200);
    EXPECT_EQ(raw_exchange(server.port, png_upload(4), 20000).status, 200);
}

// A gallery told to stop (SIGTERM, as systemd does) finishes what it has begun and takes nothing new.
TEST(GalleryStop, SigtermLetsRequestsUnderWayFinishOrRunOutTheirTime) {
    std::string big_upload = upload_request(upload_body("L", "true", {{"a.png", make_sample_png(300, 200, 1)}}));
    struct Case {
        const char* name;
        std::vector<std::string> wrapper;
        std::string request;
        std::size_t sent_before_stop;
        bool finish_upload;
        const char* reply_starts;  // what the request under way gets
        long albums;
    };
    std::string commit = three_picture_upload();
    for (const Case& c : std::vector<Case>{
             // The pictures' syncs and the commit take over a second.
             {"a commit is under way", slow_disk(300), commit, commit.size(), false, "HTTP/1.1 200", 1},
             {"the upload is finished", {}, big_upload, big_upload.size() / 2, true, "HTTP/1.1 200", 1},
             {"the upload stalls past --stop-grace", {}, big_upload, big_upload.size() / 2, false, "", 0}}) {
        SCOPED_TRACE(c.name);
        TempFolder work;
        LocalGallery gallery =
            start_local_gallery(work.path / "data", work.path / "gallery.log", c.wrapper, {"--stop-grace", "4"});
        int port = gallery.port;
        ASSERT_GT(port, 0) << read_whole_file(work.path / "gallery.log");

        RawClient idle(port), upload(port);
        ASSERT_TRUE(idle.fd >= 0 && upload.fd >= 0);
        upload.send_text(std::string_view(c.request).substr(0, c.sent_before_stop));
        std::this_thread::sleep_for(400ms);  // the head is read and the body begun, or the commit begun
        ASSERT_EQ(::kill(gallery.process->pid, SIGTERM), 0);

        // A connection that asked nothing is closed, and no new one is taken.
        EXPECT_EQ(read_until_closed(idle.fd, 5000), "");
        bool refused = false;
        for (int i = 0; i < 100 && !refused; ++i) {
            refused = RawClient(port).fd < 0;
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_TRUE(refused);

        if (c.finish_upload) upload.send_text(std::string_view(c.request).substr(c.sent_before_stop));
        std::string reply = read_until_closed(upload.fd, 10000);
        EXPECT_TRUE(reply.starts_with(c.reply_starts)) << reply;
        if (c.albums == 1) {
            EXPECT_FALSE(album_path(reply).empty()) << reply;
        }
        EXPECT_EQ(exit_status(gallery.process->pid), 0) << read_whole_file(work.path / "gallery.log");
        gallery.process->pid = -1;
        EXPECT_EQ(count_rows(work.path / "data", "albums"), c.albums);
    }
}

TEST(GalleryAdmission, OneNewcomerClosesOneIdleConnection) {
    ServerConfig config;
    config.budgets.most_connections = 2;
    config.budgets.most_per_client = 2;
    auto g = start_gallery(config);
    RawClient oldest(g->port), newer(g->port);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(http_get(g->port, "/").status, 200);
    EXPECT_TRUE(oldest.read_reply(2000).closed) << "the oldest idle connection made room";
    ASSERT_TRUE(newer.send_text("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(newer.read_reply().status, 200) << "a second idle connection was closed for the same newcomer";
}

TEST(GalleryQuota, AStoredTotalThatCannotBeReadStopsAStartUnderAQuota) {
    for (std::uint64_t quota : {std::uint64_t{0}, std::uint64_t{1000000}}) {
        SCOPED_TRACE(quota);
        TempFolder data;
        Gallery gallery;
        ASSERT_FALSE(open_store(data.path, gallery.store));
        gallery.config.port = 0;
        gallery.config.storage_quota = quota;
        // Unreadable from now on: the table the total is summed from is gone.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((data.path / "gallery.sqlite").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "DROP TABLE pictures", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        GalleryServer server(gallery);
        std::string error;
        int port = server.bind(error);
        if (quota == 0) {
            EXPECT_GT(port, 0) << error;
        } else {
            EXPECT_EQ(port, 0);
            EXPECT_NE(error.find("storage quota"), std::string::npos) << error;
        }
    }
}

TEST(GalleryPages, AlbumPagesCarryATagAnswerConditionalRequestsAndIgnoreAQueryString) {
    auto g = start_gallery();
    HttpReply upload = raw_exchange(g->port, png_upload());
    ASSERT_EQ(upload.status, 200);
    const std::string album = album_path(upload.body), original = album + "/1/original";
    HttpReply first = http_get(g->port, album);
    ASSERT_EQ(first.status, 200);
    std::string tag = header_value(first, "ETag");
    ASSERT_FALSE(tag.empty());
    HttpReply again = http_get(g->port, album);
    EXPECT_EQ(again.body, first.body);
    EXPECT_EQ(header_value(again, "ETag"), tag);
    HttpReply unchanged = http_get(g->port, album, "If-None-Match: " + tag + "\r\n");
    EXPECT_EQ(unchanged.status, 304);
    EXPECT_TRUE(unchanged.body.empty());
    EXPECT_EQ(http_get(g->port, album, "If-None-Match: \"other\"\r\n").status, 200);

    for (std::string_view path : {std::string_view("/"), std::string_view("/add/limits.aspx"), page_style_path,
                                  page_script_path, std::string_view(album), std::string_view(original),
                                  std::string_view("/a/AAAAAAAAAAAAAAAAAAAAAA")}) {
        SCOPED_TRACE(path);
        HttpReply plain = http_get(g->port, path);
        for (std::string query : {"?fbclid=IwAR3x", "?utm_source=share&utm_medium=x", "?", "?a?b"}) {
            HttpReply decorated = http_get(g->port, std::string(path) + query);
            EXPECT_EQ(decorated.status, plain.status) << query;
            EXPECT_EQ(decorated.body, plain.body) << query;
        }
    }

    // A change made beside this server (the operator's command, another instance) shows at once:
    // the kept page belongs to the revision before it.
    StoreFailure failure;
    std::optional<StoredAlbum> stored = find_album(g->gallery.store, album.substr(3), failure);
    ASSERT_TRUE(stored) << failure.detail;
    ASSERT_TRUE(rename_album(g->gallery.store, stored->id, "Renamed elsewhere", failure)) << failure.detail;
    HttpReply renamed = http_get(g->port, album, "If-None-Match: " + tag + "\r\n");
    EXPECT_EQ(renamed.status, 200);
    EXPECT_NE(renamed.body.find("<h1>Renamed elsewhere</h1>"), std::string::npos);
    EXPECT_NE(header_value(renamed, "ETag"), tag);
    ASSERT_TRUE(delete_album(g->gallery.store, stored->id, failure)) << failure.detail;
    EXPECT_EQ(http_get(g->port, album).status, 410);
}
