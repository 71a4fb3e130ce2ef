// Who a request comes from, against a real gallery process: forwarded addresses are believed only
// from a trusted proxy, and that address is what the log, the upload allow-list and the per-client
// connection budget see. Clients are other loopback addresses (127.0.0.2, ...).
#include <gtest/gtest.h>

#include "sample_png.h"
#include "test_support.h"
#include "connection.h"
#include "upload_receiver.h"

namespace {

// A gallery-server process and its log.
struct GalleryLog {
    TempFolder work;
    LocalGallery local;

    explicit GalleryLog(const std::vector<std::string>& options) {
        local = start_local_gallery(work.path / "data", log_path(), {}, options);
    }
    std::filesystem::path log_path() const { return work.path / "gallery.log"; }
    std::string log() const { return read_whole_file(log_path()); }

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

std::string limits_request(const std::string& lines) {
    return "GET /add/limits.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\n" + lines + "\r\n";
}

}  // namespace

TEST(ClientAddress, ForwardedAddressesAreBelievedOnlyFromATrustedProxy) {
    struct Case {
        std::string name;
        std::vector<std::string> options;
        std::string from, headers;
        int status;
        std::string client;  // as logged, and named in a 403
    };
    const std::vector<std::string> proxy{"--trusted-proxy", "127.0.0.1/32"};
    auto plus = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<std::string> allow{"--upload-allow", "203.0.113.0/24"};
    for (const Case& c : std::vector<Case>{
             {"a client forging both headers directly", allow, "127.0.0.1",
              "X-Forwarded-For: 203.0.113.7\r\nX-Real-IP: 203.0.113.7\r\n", 403, "127.0.0.1"},
             {"a peer outside the trusted range", plus(proxy, allow), "127.0.0.2", "X-Forwarded-For: 203.0.113.7\r\n", 403,
              "127.0.0.2"},
             {"the proxy's X-Forwarded-For, allowed", plus(proxy, allow), "127.0.0.1", "X-Forwarded-For: 6.6.6.6, 203.0.113.7\r\n",
              200, "203.0.113.7"},
             {"the proxy's X-Real-IP, refused", plus(proxy, allow), "127.0.0.1",
              "X-Real-IP: 198.51.100.1\r\nX-Forwarded-For: 198.51.100.1\r\n", 403, "198.51.100.1"},
             {"no allow-list: anyone", proxy, "127.0.0.1", "X-Real-IP: 198.51.100.1\r\n", 200, "198.51.100.1"},
         }) {
        SCOPED_TRACE(c.name);
        GalleryLog gallery(c.options);
        ASSERT_GT(gallery.local.port, 0) << gallery.log();
        RawClient client(gallery.local.port, c.from);
        ASSERT_GE(client.fd, 0);
        client.send_text(with_headers(one_picture_upload(), c.headers));
        HttpReply reply = client.read_reply();
        EXPECT_EQ(reply.status, c.status) << reply.body;
        if (c.status == 403) {
            EXPECT_EQ(reply.body, std::string(upload_not_allowed) + " (" + c.client + ")");
        }
        EXPECT_TRUE(gallery.logged(c.client + " \"POST /add/Client.aspx\" " + std::to_string(c.status))) << gallery.log();
    }
}

TEST(ClientAddress, ARefusedUploadIsAnsweredBeforeItsBodyAndNothingIsKept) {
    GalleryLog gallery({"--upload-allow", "192.0.2.0/24"});
    ASSERT_GT(gallery.local.port, 0) << gallery.log();
    std::string request = one_picture_upload();
    std::string head = request.substr(0, request.find("\r\n\r\n") + 4);
    RawClient client(gallery.local.port);
    // The body would follow; the answer comes without it, and the connection is closed after it.
    client.send_text(head);
    HttpReply reply = client.read_reply(5000);
    EXPECT_EQ(reply.status, 403);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.body, std::string(upload_not_allowed) + " (127.0.0.1)");
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
    std::string request = one_picture_upload();
    std::string head = with_headers(request.substr(0, request.find("\r\n\r\n") + 4), "X-Real-IP: 203.0.113.7\r\n");
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
