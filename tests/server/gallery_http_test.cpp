// HTTP tests against a gallery in this process, driven byte for byte as the uploader drives it.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <regex>

#include "sample_png.h"
#include "test_support.h"

namespace {

// An upload's reply names its album by key, with the owner's secret.
bool is_owner_link(const RunningGallery& g, const std::string& text) {
    static const std::regex link("/a/[A-Za-z0-9_-]{22}\\?owner=[A-Za-z0-9_-]{43}");
    std::string base = "http://127.0.0.1:" + std::to_string(g.port);
    return text.starts_with(base) && std::regex_match(text.substr(base.size()), link);
}

std::string limits_request() {
    return "GET /add/limits.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Quillomark/2.0 (Linux test)\r\n\r\n";
}

void expect_nothing_stored(const RunningGallery& g) {
    EXPECT_EQ(count_rows(g.data.path, "albums"), 0);
    EXPECT_EQ(count_rows(g.data.path, "pictures"), 0);
    EXPECT_EQ(count_picture_files(g.data.path), 0u);
}

void expect_one_line_reason(const HttpReply& reply) {
    EXPECT_FALSE(reply.body.empty());
    EXPECT_EQ(reply.body.find('\n'), std::string::npos) << reply.body;
    EXPECT_EQ(header_value(reply, "Content-Type"), "text/plain; charset=utf-8");
}

void expect_still_serving(const RunningGallery& g) {
    HttpReply reply = raw_exchange(g.port, upload_request(upload_body("L", "true", {{"ok.png", make_sample_png(4, 4, 1)}})));
    EXPECT_EQ(reply.status, 200) << reply.body;
    EXPECT_TRUE(reply.body.starts_with("http://127.0.0.1:")) << reply.body;
}

}  // namespace

TEST(GalleryHttpLimits, AnswersTheThreeNumbersExactly) {
    auto g = start_gallery();
    HttpReply reply = raw_exchange(g->port, limits_request());
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "2147483647:5000:268435456");
    EXPECT_EQ(header_value(reply, "Content-Length"), "25");
}

TEST(GalleryHttpLimits, ReflectsConfiguredLimits) {
    auto g = start_gallery(UploadLimits{5000, 7, 900});
    EXPECT_EQ(raw_exchange(g->port, limits_request()).body, "5000:7:900");
}

TEST(GalleryHttpUpload, GoodUploadIsStoredByteIdenticalAndAnsweredWithTheAddressAlone) {
    auto g = start_gallery();
    std::vector<BodyFile> files{{"first.png", make_sample_png(64, 48, 1)},
                                {"ünïcode 📷.png", make_sample_png(30, 20, 2)},
                                {"third.gif", std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00;", 14)}};
    HttpReply reply = raw_exchange(g->port, upload_request(upload_body("L", "true", files)));
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_TRUE(is_owner_link(*g, reply.body)) << reply.body;
    const std::string album = album_path(reply.body);
    EXPECT_EQ(header_value(reply, "Content-Length"), std::to_string(reply.body.size()));

    EXPECT_EQ(count_rows(g->data.path, "pictures"), 3);
    for (int id = 1; id <= 3; ++id)
        EXPECT_EQ(read_whole_file(g->data.path / "pictures" / std::to_string(id)), files[id - 1].contents) << id;

    HttpReply page = http_get(g->port, album);
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("ünïcode 📷.png"), std::string::npos);
    HttpReply picture = http_get(g->port, album + "/2/original");
    EXPECT_EQ(picture.status, 200);
    EXPECT_EQ(header_value(picture, "Content-Type"), "image/png");
    EXPECT_EQ(picture.body, files[1].contents);
    EXPECT_EQ(header_value(http_get(g->port, album + "/3/original"), "Content-Type"), "image/gif");
}

TEST(GalleryHttpUpload, NonPicturesAreReportedBeforeTheMarkerAndTheRestIsKept) {
    auto g = start_gallery();
    std::string png = make_sample_png(8, 8, 5);
    HttpReply reply = raw_exchange(
        g->port, upload_request(upload_body("L", "true", {{"notes.txt", "just text"}, {"pic.png", png}})));
    ASSERT_EQ(reply.status, 200) << reply.body;
    std::size_t marker = reply.body.find("*****\r\n");
    ASSERT_NE(marker, std::string::npos) << reply.body;
    EXPECT_NE(reply.body.substr(0, marker).find("notes.txt"), std::string::npos);
    EXPECT_TRUE(is_owner_link(*g, reply.body.substr(marker + 7))) << reply.body;
    EXPECT_EQ(count_rows(g->data.path, "pictures"), 1);
    EXPECT_EQ(read_whole_file(g->data.path / "pictures" / "1"), png);
}

TEST(GalleryHttpUpload, ParallelUploadsAllLand) {
    auto g = start_gallery();
    std::vector<std::future<HttpReply>> uploads;
    for (int i = 0; i < 6; ++i)
        uploads.push_back(std::async(std::launch::async, [&g, i] {
            return raw_exchange(g->port, upload_request(upload_body("L", "true", {{"p.png", make_sample_png(16, 16, i)}})));
        }));
    for (auto& upload : uploads) EXPECT_EQ(upload.get().status, 200);
    EXPECT_EQ(count_rows(g->data.path, "albums"), 6);
    EXPECT_EQ(count_picture_files(g->data.path), 6u);
}

struct BadUpload {
    std::string label;
    std::string request;
    int status;
    std::string mentions;
};

TEST(GalleryHttpRefusals, EachBadInputGetsItsStatusAndReasonAndStoresNothing) {
    UploadLimits limits{100000, 2, 5000};
    ServerConfig config;
    config.limits = limits;
    config.budgets.body_gap = std::chrono::milliseconds(500);
    auto g = start_gallery(config);
    std::string png = make_sample_png(4, 4, 1);
    std::string good = upload_body("L", "true", {{"a.png", png}});
    std::string head_no_length =
        "POST /add/Client.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Quillomark/2.0 (Linux test)\r\n"
        "Content-Type: application/octet-stream; charset=utf-16\r\n";
    std::string odd_text = utf16le("2.0\nL\ntr") + "u";
    std::string wrong_type = upload_request(good);
    wrong_type.replace(wrong_type.find("application/octet-stream"), 24, "text/plain");

    std::vector<BadUpload> cases{
        {"truncated body", upload_request(good).substr(0, upload_request(good).size() - 10), 408, "broke off"},
        {"sizes short of contents", upload_request(upload_body("L", "true", {{"a.png", png}}) + "tail"), 400, "after"},
        {"sizes beyond contents", upload_request(utf16le("2.0\nL\ntrue\n000000400:a.png\n\n") + png), 400, "truncated"},
        {"missing Content-Length", head_no_length + "\r\n" + good, 411, "Content-Length"},
        {"two Content-Lengths",
         head_no_length + "Content-Length: " + std::to_string(good.size()) + "\r\nContent-Length: " +
             std::to_string(good.size()) + "\r\n\r\n" + good,
         400, "more than one"},
        {"huge Content-Length", head_no_length + "Content-Length: 99999999999\r\n\r\n" + good, 413, "at most 100000"},
        {"absurd Content-Length", head_no_length + "Content-Length: 999999999999999999999999\r\n\r\n" + good, 400,
         "Content-Length"},
        {"non-numeric Content-Length", head_no_length + "Content-Length: 12ab\r\n\r\n" + good, 400, "not a number"},
        {"chunked", head_no_length + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 411, "chunked"},
        {"chunked with a length too",
         head_no_length + "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 411,
         "chunked"},
        {"odd byte count", upload_request(odd_text), 400, "UTF-16"},
        {"too many files", upload_request(upload_body("L", "true", {{"a", png}, {"b", png}, {"c", png}})), 413,
         "at most 2"},
        {"file too large", upload_request(upload_body("L", "true", {{"a", std::string(5001, 'x')}})), 413, "5001"},
        {"wrong version", upload_request(utf16le("1.9\nL\ntrue\n\n")), 400, "version"},
        {"wrong content type", wrong_type, 415, "octet-stream"},
    };
    for (const BadUpload& c : cases) {
        SCOPED_TRACE(c.label);
        HttpReply reply = raw_exchange(g->port, c.request);
        EXPECT_EQ(reply.status, c.status) << reply.head << reply.body;
        EXPECT_NE(reply.body.find(c.mentions), std::string::npos) << reply.body;
        expect_one_line_reason(reply);
        expect_nothing_stored(*g);
    }
    expect_still_serving(*g);
}

TEST(GalleryHttpRefusals, AHugeAnnouncedBodyIsRefusedWithoutWaitingForIt) {
    // The client waits for its answer far longer than the test; the answer and the close must come first.
    auto g = start_gallery();
    HttpReply reply = raw_exchange(g->port,
                                   "POST /add/Client.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 4000000000\r\n"
                                   "Content-Type: application/octet-stream; charset=utf-16\r\n\r\n",
                                   30000);
    EXPECT_EQ(reply.status, 413);
    EXPECT_TRUE(reply.closed);
    expect_still_serving(*g);
}

TEST(GalleryHttpPages, UnknownAlbumsAndPicturesAre404) {
    auto g = start_gallery();
    HttpReply upload = raw_exchange(g->port, upload_request(upload_body("L", "true", {{"a.png", make_sample_png(5, 5, 1)}})));
    const std::string album = album_path(upload.body);
    ASSERT_FALSE(album.empty()) << upload.body;
    for (const std::string& path : std::vector<std::string>{"/album/1", "/album/0", "/album/999999999999999999", "/album/abc", "/files/1",
                             "/files/../gallery.sqlite", "/files/1x", "/thumbs/1/480", "/download/1", "/nothing",
                             "/a/AAAAAAAAAAAAAAAAAAAAAA/1/original", "/a/1", album + "/2", album + "/2/original", album + "/1/999px",
                             album + "/1/../../gallery.sqlite", album + "?page=2"})
        EXPECT_EQ(http_get(g->port, path).status, 404) << path;
}

TEST(GalleryHttpPages, AlbumPageEscapesHostileNames) {
    auto g = start_gallery();
    HttpReply upload = raw_exchange(g->port, upload_request(upload_body(
                                                 "L", "true", {{"<img src=x onerror=alert(1)>.png", make_sample_png(2, 2, 1)}})));
    ASSERT_EQ(upload.status, 200);
    HttpReply page = http_get(g->port, album_path(upload.body));
    EXPECT_EQ(page.body.find("<img src=x"), std::string::npos);
    EXPECT_NE(page.body.find("&lt;img src=x onerror=alert(1)&gt;.png"), std::string::npos);
    EXPECT_EQ(header_value(page, "Content-Type"), "text/html; charset=utf-8");
}

TEST(GalleryHttpPages, HeadGetsTheHeadAGetGetsAndNoBody) {
    auto g = start_gallery();
    HttpReply upload = raw_exchange(g->port, upload_request(upload_body("L", "true", {{"a.png", make_sample_png(5, 5, 1)}})));
    ASSERT_EQ(upload.status, 200);
    const std::string album = album_path(upload.body);
    struct Case {
        std::string path, extra;
    };
    for (const Case& c : std::vector<Case>{{"/", ""},
                                           {"/add/limits.aspx", ""},
                                           {album, ""},
                                           {"/a/AAAAAAAAAAAAAAAAAAAAAA", ""},
                                           {album + "/1/original", ""},
                                           {album + "/1/original", "Range: bytes=2-9\r\n"},
                                           {album + "/1/original", "Range: bytes=999999-\r\n"},
                                           {album + "/9/original", ""}}) {
        SCOPED_TRACE(c.path + " " + c.extra);
        HttpReply get = http_get(g->port, c.path, c.extra);
        HttpReply head = raw_exchange(g->port, "HEAD " + c.path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + c.extra + "\r\n");
        EXPECT_EQ(head.status, get.status);
        EXPECT_TRUE(head.body.empty()) << head.body.size() << " bytes of body";
        for (const char* field : {"Content-Length", "Content-Type", "Content-Range", "Cache-Control", "Accept-Ranges",
                                  "Content-Security-Policy"})
            EXPECT_EQ(header_value(head, field), header_value(get, field)) << field;
        EXPECT_EQ(header_value(head, "Content-Length"), std::to_string(get.body.size()));
    }
    expect_still_serving(*g);
}

// Many short page requests among uploads, with disk completions coming back all the while: every
// answer is right (and under ThreadSanitizer, no connection is touched off the network thread).
TEST(GalleryHttpConcurrency, ShortRequestsAndUploadsMixedAllGetTheirAnswers) {
    auto g = start_gallery();
    HttpReply upload = raw_exchange(g->port, upload_request(upload_body("L", "true", {{"a.png", make_sample_png(8, 8, 1)}})));
    ASSERT_EQ(upload.status, 200);
    const std::string page = album_path(upload.body), file = page + "/1/original";
    const std::string half = "GET " + page + " HTTP/1.1\r\n\r\n";
    std::vector<std::future<int>> workers;
    for (int w = 0; w < 6; ++w)
        workers.push_back(std::async(std::launch::async, [&g, &page, &file, &half, w] {
            int wrong = 0;
            for (int i = 0; i < 60; ++i) {
                const std::string path = i % 3 == 0 ? page : i % 3 == 1 ? file : "/";
                wrong += http_get(g->port, path).status != 200;
                if (w < 2 && i % 6 == 0) {
                    std::string body = upload_body("L", "true", {{"p.png", make_sample_png(4, 4, i)}, {"t.txt", "x"}});
                    wrong += raw_exchange(g->port, upload_request(body)).status != 200;
                }
                // Some clients leave at once, before their reply.
                if (i % 10 == 0) {
                    int fd = connect_loopback(g->port);
                    if (fd >= 0 && ::send(fd, half.data(), half.size(), MSG_NOSIGNAL) > 0) ::close(fd);
                    else if (fd >= 0) ::close(fd);
                }
            }
            return wrong;
        }));
    for (auto& worker : workers) EXPECT_EQ(worker.get(), 0);
    EXPECT_EQ(count_rows(g->data.path, "albums"), 21);
}
