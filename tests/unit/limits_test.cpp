// The limits body's parsing, and the one query a run makes.
#include <gtest/gtest.h>

#include "common/constants.h"
#include "http/http_client.h"
#include "limits/server_limits.h"
#include "stubs/ui_recorder.h"
#include "support/loopback.h"

namespace {

// The scripted gallery is not on port 80, so the Host line names its port.
const std::string test_port = std::to_string(TEST_GALLERY_PORT);

TEST(ParseLimits, AcceptsThreeColonSeparatedNumbers) {
    struct Case {
        const char* body;
        ServerLimits limits;
    };
    const Case cases[] = {
        {"104857600:500:20971520", {104857600, 500, 20971520}},
        {"1:2:3\r\nmore text after", {1, 2, 3}},
        {"  1: +2:\t3xyz", {1, 2, 3}},
        {"-1:-1:-1", {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}},  // negative: no limit
        {"4294967295:0:-2147483648", {0xFFFFFFFF, 0, 0x80000000}},
    };
    for (const Case& c : cases) {
        const auto limits = parse_limits(c.body);
        ASSERT_TRUE(limits) << c.body;
        EXPECT_EQ(limits->largest_upload, c.limits.largest_upload) << c.body;
        EXPECT_EQ(limits->most_files, c.limits.most_files) << c.body;
        EXPECT_EQ(limits->largest_file, c.limits.largest_file) << c.body;
    }
}

TEST(ParseLimits, RefusesEverythingElse) {
    for (const char* body : {"", "1:2", "1 :2:3", "1:2:", "a:b:c", "1;2;3", "- 1:2:3", "4294967296:1:1",
                             "-2147483649:1:1", "<html>500</html>"}) {
        EXPECT_FALSE(parse_limits(body)) << body;
    }
    EXPECT_FALSE(parse_limits(std::string_view("1:2\0:3", 6)));
}

TEST(FetchLimits, AsksOnceWithTheExactRequest) {
    recorded_ui().clear();
    ScriptedGallery gallery;
    // An error status whose body still starts with the numbers is accepted.
    ASSERT_TRUE(gallery_start(gallery, TEST_GALLERY_PORT,
                              {{"HTTP/1.1 500 Oops\r\nContent-Length: 12\r\n\r\n10:20:30\r\nxy"}}));
    const ServerLimits first = fetch_limits();
    const ServerLimits again = fetch_limits();  // from the store: the scripted gallery has no second answer
    gallery_stop(gallery);

    EXPECT_EQ(first.largest_upload, 10u);
    EXPECT_EQ(first.most_files, 20u);
    EXPECT_EQ(first.largest_file, 30u);
    EXPECT_EQ(again.largest_file, 30u);
    const std::vector<std::string> requests = gallery_requests(gallery);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "GET /add/limits.aspx HTTP/1.1\r\nHost: 127.0.0.1:" + test_port + "\r\nUser-Agent: " + user_agent() + "\r\n\r\n");
    EXPECT_TRUE(recorded_ui().empty());
}

TEST(UserAgent, NamesProductVersionAndSystem) {
    const std::string agent = user_agent();
    EXPECT_TRUE(agent.starts_with("Quillomark/2.0 (")) << agent;
    EXPECT_EQ(agent.back(), ')');
#if defined(_WIN32)
    EXPECT_TRUE(agent.starts_with("Quillomark/2.0 (Windows NT ")) << agent;
#endif
    EXPECT_EQ(agent, user_agent());
}

}  // namespace
