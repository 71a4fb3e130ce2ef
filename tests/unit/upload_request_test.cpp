// The upload request as the gallery receives it: head lines, announced length and UTF-16 body.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/constants.h"
#include "gather/upload_batch.h"
#include "http/http_client.h"
#include "stubs/ui_recorder.h"
#include "support/loopback.h"
#include "support/wire_text.h"
#include "upload/upload_request.h"

namespace {

// The scripted gallery is not on port 80, so the Host line names its port.
const std::string test_port = std::to_string(TEST_GALLERY_PORT);

using namespace std::string_literals;

// Adds a file with these contents and this name to the batch, as the collector would.
void add_file(UploadBatch& batch, const std::string& contents, std::u16string_view name) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::fwrite(contents.data(), 1, contents.size(), file);
    std::rewind(file);
    ASSERT_TRUE(batch_add_file(batch, contents.size(), name, file));
    std::fclose(file);
}

// Sends the upload to a scripted gallery and gives the bytes it received.
std::string sent_request(const UploadBatch& batch, const Settings& settings, std::uint32_t largest_upload) {
    ScriptedGallery gallery;
    EXPECT_TRUE(gallery_start(gallery, 0, {{""}}));
    const platform::Connection connection = platform::connect_ipv4("127.0.0.1", gallery.port);
    send_upload(connection.socket, batch, settings, largest_upload);
    gallery_stop(gallery);
    platform::net_close(connection.socket);
    const auto requests = gallery_requests(gallery);
    return requests.empty() ? "" : requests[0];
}

std::string head(std::uint64_t length) {
    return "POST /add/Client.aspx HTTP/1.1\r\nHost: 127.0.0.1:" + test_port + "\r\nUser-Agent: " + user_agent() +
           "\r\nContent-Length: " + std::to_string(length) +
           "\r\nContent-Type: application/octet-stream; charset=utf-16\r\n\r\n";
}

const Settings defaults{"L", "true"};

TEST(SendUpload, OneFileRequestToTheByte) {
    recorded_ui().clear();
    UploadBatch batch;
    batch_init(batch);
    std::string contents(1234, '\0');
    for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 7);
    add_file(batch, contents, u"a.jpg");

    EXPECT_EQ(batch.total, 1268u);
    EXPECT_EQ(upload_body_length(batch, defaults), 1290u);
    // A body exactly as large as the limit is accepted.
    EXPECT_EQ(sent_request(batch, defaults, 1290),
              head(1290) + utf16le("2.0\nL\ntrue\n000001234:a.jpg\n\n") + contents);
    EXPECT_TRUE(recorded_ui().empty());
    batch_release(batch);
}

TEST(SendUpload, BodyWithoutFilesAndWithOtherSettings) {
    UploadBatch batch;
    batch_init(batch);
    EXPECT_EQ(sent_request(batch, defaults, 0xFFFFFFFF), head(24) + utf16le("2.0\nL\ntrue\n\n"));

    const Settings chosen{"LGIBZ", "maybe"};
    add_file(batch, "", u"empty.png");  // an empty file has its line and no bytes
    add_file(batch, "xyz", u"b");
    const std::string body = utf16le("2.0\nLGIBZ\nmaybe\n000000000:empty.png\n000000003:b\n\n") + "xyz";
    EXPECT_EQ(sent_request(batch, chosen, 0xFFFFFFFF), head(body.size()) + body);
    batch_release(batch);
}

TEST(SendUpload, NonAsciiNamesTravelAsUtf16) {
    UploadBatch batch;
    batch_init(batch);
    add_file(batch, "p", u"\u00c6r\u00f8-\u5199\u771f-\U0001F4F7.jpg");
    const std::string request = sent_request(batch, defaults, 0xFFFFFFFF);
    const std::string line = utf16le("000000001:") + "\xc6\0r\0\xf8\0-\0\x99\x51\x1f\x77-\0\x3d\xd8\xf7\xdc"s +
                             utf16le(".jpg\n\n") + "p";
    EXPECT_TRUE(request.ends_with(line));
    batch_release(batch);
}

TEST(HostLine, NamesThePortUnlessItIs80) {
    struct Case {
        const char* host;
        std::uint16_t port;
        std::string line;
    };
    const Case cases[] = {
        {"gallery.example.org", 80, "Host: gallery.example.org\r\n"},
        {"gallery.example.org", 8080, "Host: gallery.example.org:8080\r\n"},
        {"127.0.0.1", 65535, "Host: 127.0.0.1:65535\r\n"},
        {"localhost", 1, "Host: localhost:1\r\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(host_line(c.host, c.port), c.line) << c.port;
}

TEST(SendBatch, ContentsThatCannotBeSentAreReportedAndSendingStops) {
    recorded_ui().clear();
    UploadBatch batch;
    batch_init(batch);
    add_file(batch, std::string(8 * 1024 * 1024, 'c'), u"big.jpg");
    const std::size_t text_bytes = 2 * batch_list(batch).size() + 2;

    // The gallery takes the list and a little of the contents, then drops the connection.
    ScriptedGallery gallery;
    ASSERT_TRUE(gallery_start(gallery, 0, {{"", true, text_bytes + 100}}));
    const platform::Connection connection = platform::connect_ipv4("127.0.0.1", gallery.port);
    send_batch(connection.socket, batch);
    gallery_stop(gallery);
    platform::net_close(connection.socket);

    EXPECT_EQ(recorded_ui(), (std::vector<UiEvent>{{u"Uploader error", u"send error", false}}));
    batch_release(batch);
}

}  // namespace
