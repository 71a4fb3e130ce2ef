// Who a request comes from, against a real gallery process: forwarded addresses are believed only
// from a trusted proxy, and that address is what the log, the upload allow-list and the per-client
// connection budget see. Clients are other loopback addresses (127.0.0.2, ...).
#include <gtest/gtest.h>

#include "sample_png.h"
#include "test_support.h"
#include "connection.h"
#include "upload_receiver.h"

namespace {

struct GalleryLog {
    TempFolder work;
    LocalGallery local;

    explicit GalleryLog(const std::vector<std::string>& options) {
        local = start_local_gallery(work.path / "data", work.path / "gallery.log", {}, options);
    }
    std::string log() const { return read_whole_file(work.path / "gallery.log"); }

    // The access line is written once the reply is out, so the client may read the reply first.
    bool logged(const std::string& text) const {
        for (int i = 0; i < 100; ++i) {
            if (log().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
};

// `request` with header lines added after its request line.
std::string with_headers(std::string request, const std::string& lines) {
    return request.insert(request.find("\r\n") + 2, lines);
}

std::string one_picture_upload() { return upload_request(upload_body("L", "true", {{"a.png", make_sample_png(4, 4, 1)}})); }

// The head of an upload whose body is late.
std::string upload_head() {
    std::string request = one_picture_upload();
    return request.substr(0, request.find("\r\n\r\n") + 4);
}

std::string limits_request(const std::string& lines) {
    return "GET /add/limits.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\n" + lines + "\r\n";
}

}  // namespace

// Which forwarded header names the client, and which peers a proxy range covers, are the range
// tests' cases; here that client is what the allow-list, the 403 and the log see.
TEST(ClientAddress, BehindATrustedProxyTheForwardedClientIsAllowedOrRefusedAndLogged) {
    GalleryLog gallery({"--trusted-proxy", "127.0.0.1/32", "--upload-allow", "203.0.113.0/24"});
    ASSERT_GT(gallery.local.port, 0) << gallery.log();
    struct Case {
        std::string headers;
        int status;
        std::string client;
    };
    for (const Case& c : std::vector<Case>{{"X-Forwarded-For: 6.6.6.6, 203.0.113.7\r\n", 200, "203.0.113.7"},
                                           {"X-Real-IP: 198.51.100.1\r\n", 403, "198.51.100.1"}}) {
        SCOPED_TRACE(c.headers);
        HttpReply reply = raw_exchange(gallery.local.port, with_headers(one_picture_upload(), c.headers));
        EXPECT_EQ(reply.status, c.status) << reply.body;
        if (c.status == 403) {
            EXPECT_EQ(reply.body, std::string(upload_not_allowed) + " (" + c.client + ")");
        }
        EXPECT_TRUE(gallery.logged(c.client + " \"POST /add/Client.aspx\" " + std::to_string(c.status))) << gallery.log();
    }
}

// No proxy is trusted, so the forged headers name an allowed client in vain.
TEST(ClientAddress, AForgedUploadIsRefusedBeforeItsBodyAndNothingIsKept) {
    GalleryLog gallery({"--upload-allow", "192.0.2.0/24"});
    ASSERT_GT(gallery.local.port, 0) << gallery.log();
    RawClient client(gallery.local.port);
    // The answer comes without the body, and the connection is closed after it.
    client.send_text(with_headers(upload_head(), "X-Forwarded-For: 192.0.2.7\r\nX-Real-IP: 192.0.2.7\r\n"));
    HttpReply reply = client.read_reply(5000);
    EXPECT_EQ(reply.status, 403);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.body, std::string(upload_not_allowed) + " (127.0.0.1)");
    EXPECT_TRUE(gallery.logged("127.0.0.1 \"POST /add/Client.aspx\" 403")) << gallery.log();
    EXPECT_EQ(count_picture_files(gallery.work.path / "data"), 0u);
    EXPECT_EQ(count_rows(gallery.work.path / "data", "albums"), 0);
    // Asking for the limits is no upload: it stays open to everyone.
    EXPECT_EQ(http_get(gallery.local.port, "/add/limits.aspx").status, 200);
}

TEST(ClientAddress, AProxyIsNotCappedButEachClientBehindItIs) {
    GalleryLog gallery({"--trusted-proxy", "127.0.0.1/32", "--max-client-connections", "2"});
    ASSERT_GT(gallery.local.port, 0) << gallery.log();
    int port = gallery.local.port;
    // More connections from the proxy than one client may hold, all waiting: none is closed to make room.
    std::vector<std::unique_ptr<RawClient>> waiting;
    for (int i = 0; i < 4; ++i) waiting.push_back(std::make_unique<RawClient>(port));
    // Client A holds two connections through the proxy, each busy with an upload whose body is late.
    std::string head = with_headers(upload_head(), "X-Real-IP: 203.0.113.7\r\n");
    std::vector<std::unique_ptr<RawClient>> busy;
    for (int i = 0; i < 2; ++i) {
        busy.push_back(std::make_unique<RawClient>(port));
        busy.back()->send_text(head);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    EXPECT_EQ(raw_exchange(port, limits_request("X-Real-IP: 203.0.113.7\r\n")).body, std::string(too_many_from_client));
    EXPECT_EQ(raw_exchange(port, limits_request("X-Real-IP: 203.0.113.8\r\n")).status, 200);
    for (auto& client : waiting) {
        ASSERT_TRUE(client->send_text(limits_request("X-Real-IP: 198.51.100.1\r\n")));
        EXPECT_EQ(client->read_reply(5000).status, 200) << "a waiting proxy connection was closed";
    }
}
