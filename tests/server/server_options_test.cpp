// Command-line option tests: defaults, each option, and refusals with their reasons.
#include <gtest/gtest.h>

#include "server_options.h"

TEST(ServerOptions, DefaultsListenOnLoopbackWithPhotoGalleryLimits) {
    OptionsParse parsed = parse_server_options({"--data", "/tmp/g"});
    ASSERT_TRUE(parsed.error.empty()) << parsed.error;
    EXPECT_EQ(parsed.config.host, "127.0.0.1");
    EXPECT_EQ(parsed.config.port, 8080);
    EXPECT_EQ(parsed.config.data_dir, "/tmp/g");
    EXPECT_EQ(parsed.config.limits.largest_upload, 104857600u);
    EXPECT_EQ(parsed.config.limits.most_files, 500u);
    EXPECT_EQ(parsed.config.limits.largest_file, 20971520u);
    EXPECT_TRUE(parsed.config.public_url.empty());
}

TEST(ServerOptions, EveryOptionInBothSpellings) {
    OptionsParse parsed = parse_server_options({"--listen=127.0.0.1:0", "--data", "d", "--largest-upload", "1000",
                                                "--most-files=3", "--largest-file", "200",
                                                "--public-url=https://pics.example/"});
    ASSERT_TRUE(parsed.error.empty()) << parsed.error;
    EXPECT_EQ(parsed.config.port, 0);
    EXPECT_EQ(parsed.config.limits.largest_upload, 1000u);
    EXPECT_EQ(parsed.config.limits.most_files, 3u);
    EXPECT_EQ(parsed.config.limits.largest_file, 200u);
    EXPECT_EQ(parsed.config.public_url, "https://pics.example/");
}

TEST(ServerOptions, BracketedIpv6Listen) {
    OptionsParse parsed = parse_server_options({"--listen", "[::1]:9000", "--data", "d"});
    ASSERT_TRUE(parsed.error.empty()) << parsed.error;
    EXPECT_EQ(parsed.config.host, "::1");
    EXPECT_EQ(parsed.config.port, 9000);
}

TEST(ServerOptions, BadValuesAreRefusedWithTheOptionNamed) {
    struct Case {
        std::vector<std::string> args;
        std::string mentions;
    };
    for (const Case& c : std::vector<Case>{
             {{}, "--data"},
             {{"--data"}, "--data"},
             {{"--data", "d", "--listen", "8080"}, "--listen"},
             {{"--data", "d", "--listen", "127.0.0.1:65536"}, "--listen"},
             {{"--data", "d", "--listen", "::1:80"}, "--listen"},
             {{"--data", "d", "--most-files", "0"}, "--most-files"},
             {{"--data", "d", "--largest-file", "-5"}, "--largest-file"},
             {{"--data", "d", "--largest-upload", "2147483648"}, "--largest-upload"},
             {{"--data", "d", "--largest-upload", "12k"}, "--largest-upload"},
             {{"--data", "d", "--public-url", "ftp://x"}, "--public-url"},
             {{"--data", "d", "--colour"}, "--colour"},
             {{"--data", "d", "stray"}, "stray"},
         }) {
        OptionsParse parsed = parse_server_options(c.args);
        EXPECT_NE(parsed.error.find(c.mentions), std::string::npos)
            << "args ending " << (c.args.empty() ? "" : c.args.back()) << " gave: " << parsed.error;
    }
}

TEST(ServerOptions, HelpWins) {
    EXPECT_TRUE(parse_server_options({"--help"}).show_help);
}

TEST(ServerLimitsText, ThreeNumbersJoinedByColonsWithNothingElse) {
    EXPECT_EQ(limits_text(UploadLimits{}), "104857600:500:20971520");
    EXPECT_EQ(limits_text(UploadLimits{2147483647, 1, 2}), "2147483647:1:2");
}
