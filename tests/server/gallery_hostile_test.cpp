// The gallery under hostile and careless clients, grouped by what they do. Every case checks the
// answer and that a valid upload still goes through afterwards. Budgets are set small so nothing
// here waits long.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "gallery_pages.h"
#include "sample_png.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

void expect_still_serving(const RunningGallery& g) {
    HttpReply reply = raw_exchange(g.port, upload_request(upload_body("L", "true", {{"ok.png", make_sample_png(4, 4, 1)}})));
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_TRUE(reply.body.starts_with("http://127.0.0.1:")) << reply.body;
}

// Timeouts as durations, over the shared hand-driven client.
struct Connection : RawClient {
    using RawClient::RawClient;
    HttpReply read_reply(std::chrono::milliseconds limit = 10s) const {
        return RawClient::read_reply(static_cast<int>(limit.count()));
    }
};

ServerConfig small_budgets() {
    ServerConfig config;
    config.budgets.header_bytes = 4096;
    config.budgets.header_fields = 20;
    config.budgets.head_time = 800ms;
    config.budgets.body_gap = 500ms;
    return config;
}

std::string png_upload(const std::string& name = "a.png") {
    return upload_request(upload_body("L", "true", {{name, make_sample_png(6, 6, 3)}}));
}

}  // namespace

TEST(GalleryHeadLimits, OversizedHeadsAreAnswered431AndCostNoMore) {
    auto g = start_gallery(small_budgets());
    std::string many_fields;
    for (int i = 0; i < 21; ++i) many_fields += "X-F" + std::to_string(i) + ": 1\r\n";
    struct Case {
        std::string label, request;
        std::string mentions;
    };
    for (const Case& c : std::vector<Case>{
             {"one long header line", "GET / HTTP/1.1\r\nX-Long: " + std::string(5000, 'a') + "\r\n\r\n", "4096 bytes"},
             {"half a megabyte of header lines", "GET / HTTP/1.1\r\n" + [] {
                  std::string lines;
                  while (lines.size() < (1 << 19)) lines += "X-Pad: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n";
                  return lines;
              }() + "\r\n", "4096 bytes"},
             {"too many fields", "GET / HTTP/1.1\r\n" + many_fields + "\r\n", "at most 20"},
             {"upload with too many fields", "POST /add/Client.aspx HTTP/1.1\r\n" + many_fields + "Content-Length: 0\r\n\r\n",
              "at most 20"},
         }) {
        SCOPED_TRACE(c.label);
        HttpReply reply = raw_exchange(g->port, c.request, 10000);
        EXPECT_EQ(reply.status, 431) << reply.head;
        EXPECT_NE(reply.body.find(c.mentions), std::string::npos) << reply.body;
        EXPECT_TRUE(reply.closed);
    }
    expect_still_serving(*g);
}

TEST(GalleryBodyElsewhere, ABodyOnAnyOtherRouteIsRefusedBeforeItIsRead) {
    auto g = start_gallery();
    HttpReply upload = raw_exchange(g->port, png_upload());
    ASSERT_EQ(upload.status, 200);
    const std::string album = album_path(upload.body);
    for (const std::string& head : std::vector<std::string>{"GET " + album + " HTTP/1.1\r\nContent-Length: 1000000000\r\n\r\n",
                             "GET " + album + "/1/original HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
                             "POST /add/limits.aspx HTTP/1.1\r\nContent-Length: 500000000\r\n\r\n",
                             "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
                             "PUT /add/Client.aspx HTTP/1.1\r\nContent-Length: 500000000\r\n\r\n"}) {
        SCOPED_TRACE(head);
        // The body is announced but never sent: the answer must come without it.
        HttpReply reply = raw_exchange(g->port, head, 10000);
        EXPECT_EQ(reply.status, 413);
        EXPECT_NE(reply.body.find("only uploads"), std::string::npos) << reply.body;
        EXPECT_TRUE(reply.closed);
    }
    EXPECT_EQ(raw_exchange(g->port, "DELETE " + album + " HTTP/1.1\r\n\r\n").status, 405);
    expect_still_serving(*g);
}

TEST(GallerySlowClients, HeadsThatDripAreCutAtTheirDeadlineWhileOthersAreServed) {
    auto g = start_gallery(small_budgets());
    // Eight clients each sending one header byte at a time, slower than the head deadline allows.
    std::vector<std::future<HttpReply>> drips;
    for (int i = 0; i < 8; ++i)
        drips.push_back(std::async(std::launch::async, [&g] {
            Connection c(g->port);
            for (char byte : std::string("GET /add/limits.aspx HTTP/1.1\r\nHost: x\r\n")) {
                c.send_text(std::string_view(&byte, 1));
                std::this_thread::sleep_for(100ms);
            }
            return c.read_reply();
        }));
    std::this_thread::sleep_for(200ms);
    expect_still_serving(*g);  // while they drip
    for (auto& drip : drips) {
        HttpReply reply = drip.get();
        EXPECT_EQ(reply.status, 408);
        EXPECT_NE(reply.body.find("did not arrive within 800 ms"), std::string::npos) << reply.body;
    }
    expect_still_serving(*g);
}

TEST(GallerySlowClients, ABodyThatStallsIsAnsweredAndNothingIsKept) {
    auto g = start_gallery(small_budgets());
    std::string request = png_upload();
    Connection c(g->port);
    c.send_text(request.substr(0, request.size() - 20));
    HttpReply reply = c.read_reply();
    EXPECT_EQ(reply.status, 408);
    EXPECT_NE(reply.body.find("broke off"), std::string::npos) << reply.body;
    EXPECT_EQ(count_rows(g->data.path, "albums"), 0);
    EXPECT_EQ(count_picture_files(g->data.path), 0u) << "the staged file is removed";
    expect_still_serving(*g);
}

TEST(GallerySlowClients, ABodyBelowTheLeastRateIsCutOff) {
    ServerConfig config = small_budgets();
    config.budgets.body_gap = 1s;
    config.budgets.least_body_rate = 100;  // bytes per second beyond the first second
    auto g = start_gallery(config);
    std::string body = upload_body("L", "true", {{"a.png", make_sample_png(30, 30, 1)}});
    std::string request = upload_request(body);
    Connection c(g->port);
    std::size_t head_end = request.size() - body.size();
    c.send_text(request.substr(0, head_end + 100));
    // Then a byte every 400 ms: never a pause of a whole second, but far below 100 bytes a second.
    std::future<HttpReply> reply = std::async(std::launch::async, [&c] { return c.read_reply(20s); });
    for (std::size_t at = head_end + 100; at < request.size() &&
                                          reply.wait_for(400ms) == std::future_status::timeout; ++at)
        c.send_text(request.substr(at, 1));
    HttpReply answer = reply.get();
    EXPECT_EQ(answer.status, 408);
    EXPECT_NE(answer.body.find("too slowly"), std::string::npos) << answer.body;
    expect_still_serving(*g);
}

TEST(GallerySlowClients, SilentConnectionsNeitherHoldUpUploadsNorLastForever) {
    ServerConfig config;
    config.budgets.most_per_client = 50;
    auto g = start_gallery(config);
    // Far more silent connections than one address may hold: the oldest idle ones make room.
    std::vector<std::unique_ptr<Connection>> silent;
    for (int i = 0; i < 300; ++i) silent.push_back(std::make_unique<Connection>(g->port));
    expect_still_serving(*g);
    HttpReply first = silent.front()->read_reply(5s);
    EXPECT_TRUE(first.closed) << "the oldest idle connection was closed to make room";
    EXPECT_EQ(first.status, 0) << "nothing was asked, so nothing is answered";
    silent.clear();

    config.budgets.idle_wait = 300ms;
    auto quick = start_gallery(config);
    Connection idle(quick->port);
    HttpReply dropped = idle.read_reply(10s);
    EXPECT_TRUE(dropped.closed);
    EXPECT_EQ(dropped.status, 0);
    expect_still_serving(*quick);
}

TEST(GallerySlowClients, WhenEveryConnectionIsBusyANewOneIsRefusedWithAReason) {
    ServerConfig config = small_budgets();
    config.budgets.most_per_client = 3;
    config.budgets.head_time = 3s;
    auto g = start_gallery(config);
    // Three connections in the middle of a head: busy, not idle, so none is closed for a newcomer.
    std::vector<std::unique_ptr<Connection>> busy;
    for (int i = 0; i < 3; ++i) {
        busy.push_back(std::make_unique<Connection>(g->port));
        busy.back()->send_text("GET / HTTP/1.1\r\n");
    }
    std::this_thread::sleep_for(200ms);
    HttpReply refused = raw_exchange(g->port, png_upload());
    EXPECT_EQ(refused.status, 503);
    EXPECT_NE(refused.body.find("too many connections"), std::string::npos) << refused.body;
    busy.clear();
    std::this_thread::sleep_for(200ms);
    expect_still_serving(*g);
}

TEST(GalleryExpect, AClientThatAsksFirstIsToldToGoOnAndItsUploadLands) {
    auto g = start_gallery();
    std::string request = png_upload();
    std::size_t head_end = request.find("\r\n\r\n") + 2;
    Connection c(g->port);
    c.send_text(request.substr(0, head_end) + "Expect: 100-continue\r\n\r\n");
    char interim[64] = {};
    ASSERT_GT(::recv(c.fd, interim, sizeof interim - 1, 0), 0);
    EXPECT_STREQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
    c.send_text(request.substr(head_end + 2));
    EXPECT_EQ(c.read_reply().status, 200);
    EXPECT_EQ(count_rows(g->data.path, "albums"), 1);
}

TEST(GalleryHalfClose, AClientThatStopsSendingStillGetsItsReply) {
    auto g = start_gallery();
    for (std::string request : {png_upload(), std::string("GET /add/limits.aspx HTTP/1.1\r\nHost: x\r\n\r\n")}) {
        Connection c(g->port);
        c.send_text(request);
        ::shutdown(c.fd, SHUT_WR);
        HttpReply reply = c.read_reply();
        EXPECT_EQ(reply.status, 200) << request.substr(0, 30);
    }
    EXPECT_EQ(count_rows(g->data.path, "albums"), 1);
    expect_still_serving(*g);
}

TEST(GalleryRanges, OneRangeIsServedAnythingElseWholeOrRefused) {
    auto g = start_gallery();
    std::string png = make_sample_png(40, 40, 7);
    HttpReply upload = raw_exchange(g->port, upload_request(upload_body("L", "true", {{"r.png", png}})));
    ASSERT_EQ(upload.status, 200);
    const std::string original = album_path(upload.body) + "/1/original";
    std::string size = std::to_string(png.size());
    std::string many;
    for (int i = 0; i < 800; ++i) many += (i ? "," : "") + std::string("0-") + std::to_string(png.size() - 1);
    struct Case {
        std::string range;
        int status;
        std::string body, content_range;
    };
    for (const Case& c : std::vector<Case>{
             {"", 200, png, ""},
             {"bytes=0-9", 206, png.substr(0, 10), "bytes 0-9/" + size},
             {"bytes=10-", 206, png.substr(10), "bytes 10-" + std::to_string(png.size() - 1) + "/" + size},
             {"bytes=-5", 206, png.substr(png.size() - 5), "bytes " + std::to_string(png.size() - 5) + "-" +
                                                               std::to_string(png.size() - 1) + "/" + size},
             {"bytes=5-999999", 206, png.substr(5), "bytes 5-" + std::to_string(png.size() - 1) + "/" + size},
             {"bytes=" + size + "-", 416, "", "bytes */" + size},
             {"bytes=-0", 416, "", "bytes */" + size},
             {"bytes=" + many, 200, png, ""},
             {"bytes=0-1,4-5", 200, png, ""},
             {"bytes=9-2", 200, png, ""},
             {"items=0-5", 200, png, ""},
         }) {
        SCOPED_TRACE(c.range.substr(0, 40));
        HttpReply reply = http_get(g->port, original, c.range.empty() ? "" : "Range: " + c.range + "\r\n");
        EXPECT_EQ(reply.status, c.status);
        if (c.status != 416) {
            EXPECT_EQ(reply.body, c.body);
            EXPECT_EQ(header_value(reply, "Cache-Control"), "private, max-age=86400");
        }
        EXPECT_EQ(header_value(reply, "Content-Range"), c.content_range);
    }
    expect_still_serving(*g);
}

TEST(GalleryNames, PathsAreKeptAsLabelsAndNamesThatLeaveNothingAreReported) {
    auto g = start_gallery();
    std::string png = make_sample_png(5, 5, 2);
    HttpReply reply = raw_exchange(
        g->port, upload_request(upload_body("L", "true", {{"/home/me/Pictures/a.png", png},
                                                          {"C:\\Users\\me\\b.png", png},
                                                          {"C:", png},
                                                          {"photo\u202Egnp.png", png}})));
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_TRUE(reply.body.starts_with("1 file was not added:\nC:: the name holds no file name")) << reply.body;
    auto stored = stored_pictures(g->data.path);
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0].first, "a.png");
    EXPECT_EQ(stored[1].first, "b.png");
    EXPECT_EQ(stored[2].first, "photo\u202Egnp.png") << "stored as sent";

    HttpReply page = http_get(g->port, album_path(reply.body));
    EXPECT_NE(page.body.find("photo[U+202E]gnp.png"), std::string::npos);
    EXPECT_EQ(page.body.find("\u202E"), std::string::npos) << "never shown raw";
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"Content-Security-Policy", std::string(content_security_policy)},
             {"X-Frame-Options", "DENY"},
             {"X-Content-Type-Options", "nosniff"},
             {"Referrer-Policy", "same-origin"}})
        EXPECT_EQ(header_value(page, name), value) << name;
    EXPECT_EQ(page.body.find("<script>"), std::string::npos) << "no inline script";
    EXPECT_EQ(http_get(g->port, "/static/album.js").status, 200);
    expect_still_serving(*g);
}

TEST(GalleryNoAlbum, UploadsWithoutPicturesMakeNoAlbumAndSayWhy) {
    auto g = start_gallery();
    struct Case {
        std::string label;
        std::vector<BodyFile> files;
        std::string first_line, refusals;
    };
    for (const Case& c : std::vector<Case>{
             {"no files", {}, "no album was made: the upload holds no files", ""},
             {"one text file", {{"notes.txt", "text"}}, "no album was made: the file sent is not a picture the gallery shows",
              "\nnotes.txt: not a JPEG, PNG, GIF or WebP picture"},
             {"nothing usable",
              {{"a.txt", "x"}, {"dir/", "\x89PNG\r\n\x1A\n...."}},
              "no album was made: none of the 2 files sent is a picture the gallery shows",
              "\na.txt: not a JPEG, PNG, GIF or WebP picture\ndir/: the name holds no file name once folders are taken off"},
         }) {
        SCOPED_TRACE(c.label);
        HttpReply reply = raw_exchange(g->port, upload_request(upload_body("L", "true", c.files)));
        EXPECT_EQ(reply.status, 422);
        EXPECT_EQ(reply.body, c.first_line + c.refusals);
        EXPECT_EQ(count_rows(g->data.path, "albums"), 0);
        EXPECT_EQ(count_picture_files(g->data.path), 0u);
    }
    expect_still_serving(*g);
}

TEST(GalleryDiskFull, AQuotaRefusesUploadsWith507AndKeepsServing) {
    ServerConfig config;
    std::string png = make_sample_png(20, 20, 4);
    config.storage_quota = charged_bytes(png.size()) * 2 + 10;
    auto g = start_gallery(config);
    auto upload = [&] { return raw_exchange(g->port, upload_request(upload_body("L", "true", {{"q.png", png}}))); };
    EXPECT_EQ(upload().status, 200);
    HttpReply second = upload();
    EXPECT_EQ(second.status, 200);
    HttpReply over = upload();
    EXPECT_EQ(over.status, 507);
    EXPECT_NE(over.body.find("quota"), std::string::npos) << over.body;
    EXPECT_EQ(count_rows(g->data.path, "albums"), 2);
    EXPECT_EQ(http_get(g->port, album_path(second.body) + "/1/original").body, png);
    // A non-picture takes no room, so the report still reaches the uploader.
    EXPECT_EQ(raw_exchange(g->port, upload_request(upload_body("L", "true", {{"n.txt", "x"}}))).status, 422);
}

TEST(GalleryDiskFull, AFullDiskAtStartStillServesAlbumsAndRefusesUploadsWith507) {
    TempFolder dir;
    std::string data = (dir.path / "data").string();
    std::string png = make_sample_png(10, 10, 1);
    std::string album;
    {
        auto server = start_local_gallery(data, dir.path / "log1");
        int port = server.port;
        ASSERT_GT(port, 0);
        HttpReply kept = raw_exchange(port, upload_request(upload_body("L", "true", {{"kept.png", png}})));
        ASSERT_EQ(kept.status, 200);
        album = album_path(kept.body);
    }
    // A file size limit below the size of the database's shared-memory file stands in for a full disk.
    auto full = start_local_gallery(data, dir.path / "log2", {"/usr/bin/prlimit", "--fsize=20000", "--"});
    int port = full.port;
    ASSERT_GT(port, 0) << read_whole_file(dir.path / "log2");
    EXPECT_NE(read_whole_file(dir.path / "log2").find("cannot be written"), std::string::npos);
    HttpReply refused = raw_exchange(port, upload_request(upload_body("L", "true", {{"new.png", png}})));
    EXPECT_EQ(refused.status, 507);
    EXPECT_NE(refused.body.find("disk is full"), std::string::npos) << refused.body;
    EXPECT_EQ(http_get(port, album).status, 200);
    EXPECT_EQ(http_get(port, album + "/1/original").body, png);
}

TEST(GalleryDiskFull, AWriteThatFailsMidUploadKeepsNothingAndLaterUploadsLand) {
    TempFolder dir;
    auto server = start_local_gallery(dir.path / "data", dir.path / "log",
                                      {"/usr/bin/prlimit", "--fsize=60000", "--"});
    int port = server.port;
    ASSERT_GT(port, 0) << read_whole_file(dir.path / "log");
    std::string large = "\xFF\xD8\xFF" + std::string(100000, 'j');  // a JPEG by its signature
    HttpReply refused = raw_exchange(port, upload_request(upload_body("L", "true", {{"big.jpg", large}})));
    EXPECT_EQ(refused.status, 507);
    EXPECT_NE(refused.body.find("nothing was kept"), std::string::npos) << refused.body;
    EXPECT_EQ(count_rows(dir.path / "data", "albums"), 0);
    EXPECT_EQ(count_picture_files(dir.path / "data"), 0u);
    EXPECT_EQ(raw_exchange(port, png_upload()).status, 200);
}

TEST(GalleryFiles, AnUploadOfManyPicturesOutgrowsASmallSoftDescriptorLimit) {
    TempFolder dir;
    // 64 descriptors at start, as a cramped service manager might give; the upload keeps 120 open.
    auto server = start_local_gallery(dir.path / "data", dir.path / "log",
                                      {"/usr/bin/prlimit", "--nofile=64:4096", "--"});
    int port = server.port;
    ASSERT_GT(port, 0) << read_whole_file(dir.path / "log");
    std::vector<BodyFile> files;
    for (int i = 0; i < 120; ++i) files.push_back({"p" + std::to_string(i) + ".png", make_sample_png(2, 2, i)});
    HttpReply reply = raw_exchange(port, upload_request(upload_body("L", "true", files)), 30000);
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(count_picture_files(dir.path / "data"), 120u);
}

TEST(GalleryAccessLog, EachRequestLeavesOneLineWithClientRouteStatusAndBytes) {
    TempFolder dir;
    auto server = start_local_gallery(dir.path / "data", dir.path / "log");
    int port = server.port;
    ASSERT_GT(port, 0);
    std::string request = png_upload();
    ASSERT_EQ(raw_exchange(port, request).status, 200);
    ASSERT_EQ(http_get(port, "/nothing").status, 404);
    std::string body_size = std::to_string(request.size() - request.find("\r\n\r\n") - 4);
    std::string log;
    for (int i = 0; i < 50 && log.find("/nothing") == std::string::npos; ++i) {
        std::this_thread::sleep_for(50ms);
        log = read_whole_file(dir.path / "log");
    }
    EXPECT_NE(log.find("127.0.0.1 \"POST /add/Client.aspx\" 200 in=" + body_size + " out="), std::string::npos) << log;
    EXPECT_NE(log.find("127.0.0.1 \"GET /nothing\" 404 in=0 out=9 "), std::string::npos) << log;

    // Targets that would reorder the line on screen, drive the terminal or end the quoted field.
    ASSERT_EQ(raw_exchange(port, "GET /x\xE2\x80\xAEgpj\x9B\"y\\z HTTP/1.1\r\nHost: x\r\n\r\n").status, 404);
    for (int i = 0; i < 50 && log.find("/x\\xe2") == std::string::npos; ++i) {
        std::this_thread::sleep_for(50ms);
        log = read_whole_file(dir.path / "log");
    }
    EXPECT_NE(log.find("\"GET /x\\xe2\\x80\\xaegpj\\x9b\\x22y\\x5cz\" 404"), std::string::npos) << log;
    for (std::string raw : {"\xE2\x80\xAE", "\x9B", "y\\z"}) EXPECT_EQ(log.find(raw), std::string::npos);
}

TEST(GalleryRate, AnUploadUnderAClientRateStillLands) {
    ServerConfig config;
    config.client_upload_rate = 64 * 1024;
    auto g = start_gallery(config);
    std::string png = make_sample_png(200, 200, 9);  // several reads at this rate
    HttpReply reply = raw_exchange(g->port, upload_request(upload_body("L", "true", {{"r.png", png}})), 30000);
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(http_get(g->port, album_path(reply.body) + "/1/original").body, png);
}
