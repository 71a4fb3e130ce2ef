// Command-line option tests: defaults, each option, and refusals with their reasons.
#include <gtest/gtest.h>

#include <optional>

#include "server_options.h"

TEST(ServerOptions, DefaultsListenOnLoopbackWithPhotoGalleryLimits) {
    OptionsParse parsed = parse_server_options({"--data", "/tmp/g"});
    ASSERT_TRUE(parsed.error.empty()) << parsed.error;
    EXPECT_EQ(parsed.config.host, "127.0.0.1");
    EXPECT_EQ(parsed.config.port, 8080);
    EXPECT_EQ(parsed.config.data_dir, "/tmp/g");
    EXPECT_EQ(parsed.config.limits.largest_upload, 2147483647u);
    EXPECT_EQ(parsed.config.limits.most_files, 5000u);
    EXPECT_EQ(parsed.config.limits.largest_file, 268435456u);
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
             {{"--data", "d", "--database", "gallery"}, "--database"},
             {{"--data", "d", "--check=yes"}, "--check"},
             {{"--data", "d", "stray"}, "stray"},
             {{"--data", "d", "--trusted-proxy", "127.0.0.1/32,localhost"}, "--trusted-proxy: \"localhost\" is not"},
             {{"--data", "d", "--upload-allow="}, "--upload-allow: no address range"},
         }) {
        OptionsParse parsed = parse_server_options(c.args);
        EXPECT_NE(parsed.error.find(c.mentions), std::string::npos)
            << "args ending " << (c.args.empty() ? "" : c.args.back()) << " gave: " << parsed.error;
    }
}

TEST(ServerOptions, TheStoreIsSQLiteUnlessADatabaseIsNamed) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> database;
        bool check;
    };
    for (const Case& c : std::vector<Case>{
             {{"--data", "d"}, std::nullopt, false},
             {{"--data", "d", "--database", "postgresql://gallery@db.example/gallery"}, "postgresql://gallery@db.example/gallery", false},
             {{"--data", "d", "--database=host=/run/postgresql dbname=gallery"}, "host=/run/postgresql dbname=gallery", false},
             {{"--data", "d", "--database="}, "", true},  // empty: the PG* environment variables
         }) {
        std::vector<std::string> args = c.args;
        if (c.check) args.push_back("--check");
        OptionsParse parsed = parse_server_options(args);
        EXPECT_EQ(parsed.error, "") << args.back();
        EXPECT_EQ(parsed.config.database, c.database) << args.back();
        EXPECT_EQ(parsed.config.check, c.check) << args.back();
    }
}

TEST(ServerOptions, HelpWins) {
    EXPECT_TRUE(parse_server_options({"--help"}).show_help);
}

TEST(ServerLimitsText, ThreeNumbersJoinedByColonsWithNothingElse) {
    EXPECT_EQ(limits_text(UploadLimits{}), "2147483647:5000:268435456");
    EXPECT_EQ(limits_text(UploadLimits{2147483647, 1, 2}), "2147483647:1:2");
}

TEST(ServerOptions, BudgetsAndOperatorControlsAreRead) {
    OptionsParse parsed = parse_server_options(
        {"--data", "d", "--max-connections", "10", "--max-client-connections=2", "--idle-timeout", "600",
         "--header-timeout", "5", "--body-timeout", "7", "--min-body-rate", "0", "--send-timeout", "9",
         "--max-header-bytes", "8192", "--max-header-fields", "30", "--storage-quota", "1000000",
         "--client-upload-rate", "65536", "--disk-threads", "3", "--access-log", "off"});
    ASSERT_TRUE(parsed.error.empty()) << parsed.error;
    const ServerConfig& c = parsed.config;
    EXPECT_EQ(c.budgets.most_connections, 10u);
    EXPECT_EQ(c.budgets.most_per_client, 2u);
    EXPECT_EQ(c.budgets.idle_wait, std::chrono::minutes(10));
    EXPECT_EQ(c.budgets.head_time, std::chrono::seconds(5));
    EXPECT_EQ(c.budgets.body_gap, std::chrono::seconds(7));
    EXPECT_EQ(c.budgets.least_body_rate, 0u);
    EXPECT_EQ(c.budgets.send_time, std::chrono::seconds(9));
    EXPECT_EQ(c.budgets.header_bytes, 8192u);
    EXPECT_EQ(c.budgets.header_fields, 30u);
    EXPECT_EQ(c.storage_quota, 1000000u);
    EXPECT_EQ(c.client_upload_rate, 65536u);
    EXPECT_EQ(c.disk_threads, 3u);
    EXPECT_FALSE(c.log_requests);
    for (const auto& bad : std::vector<std::vector<std::string>>{{"--data", "d", "--idle-timeout", "0"},
                                                                 {"--data", "d", "--max-header-bytes", "10"},
                                                                 {"--data", "d", "--access-log", "maybe"}})
        EXPECT_NE(parse_server_options(bad).error.find(bad[2]), std::string::npos) << bad[2];
}

TEST(ServerOptions, HelpNamesEveryOptionWithTheDefaultInForce) {
    std::string usage = server_usage();
    // The idle wait is long by default: a person may be reading a warning box meanwhile.
    EXPECT_GE(ServerConfig{}.budgets.idle_wait, std::chrono::minutes(10));
    for (std::string_view expected :
         {"--idle-timeout SECONDS", "(default 900)", "--header-timeout SECONDS", "(default 30)", "--max-header-bytes",
          "(default 16384)", "--max-connections", "(default 1000)", "--storage-quota", "--client-upload-rate",
          "--access-log on|off", "--min-body-rate", "--max-client-connections", "--disk-threads", "--send-timeout",
          "--body-timeout", "--max-header-fields", "--largest-upload BYTES", "(default 2147483647)",
          "--database CONNINFO", "--check"})
        EXPECT_NE(usage.find(expected), std::string::npos) << expected;
    for (std::size_t start = 0, end; (end = usage.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string_view line(usage.data() + start, end - start);
        if (line.starts_with("  --") && line.find(" on|off") == std::string_view::npos && !line.starts_with("  --data") &&
            !line.starts_with("  --listen") && !line.starts_with("  --public-url") && !line.starts_with("  --check")) {
            EXPECT_NE(line.find("(default "), std::string_view::npos) << line;
        }
    }
}

TEST(ServerOptions, EveryBudgetIsAnOptionAndBudgetsThatClashAreNamed) {
    OptionsParse parsed = parse_server_options(
        {"--data", "d", "--linger-read-timeout", "1", "--linger-timeout", "3", "--max-list-bytes", "4096",
         "--max-list-memory", "1048576", "--max-staged-files", "16", "--max-disk-queue", "8", "--page-cache", "0",
         "--disk-reserve", "1024", "--stop-grace", "10", "--read-threads", "4"});
    ASSERT_TRUE(parsed.error.empty()) << parsed.error;
    const ConnectionBudgets& b = parsed.config.budgets;
    EXPECT_EQ(b.linger_time, std::chrono::seconds(3));
    EXPECT_EQ(b.list_bytes, 4096u);
    EXPECT_EQ(b.staged_files, 16u);
    EXPECT_EQ(b.page_cache, 0u);
    EXPECT_EQ(b.stop_grace, std::chrono::seconds(10));
    EXPECT_EQ(parsed.config.read_threads, 4u);
    EXPECT_TRUE(check_budgets(parsed.config, 2080).empty()) << check_budgets(parsed.config, 2080);

    struct Case {
        std::vector<std::string> args;
        std::uint64_t descriptors;
        std::string named;  // empty: they work together
    };
    for (const Case& c : std::vector<Case>{
             {{}, 2320, ""},
             {{}, 2319, "need 2320 file descriptors; this process may open 2319"},
             {{"--max-connections", "24", "--max-staged-files", "8"}, 120, ""},
             {{"--linger-read-timeout", "5", "--linger-timeout", "2"}, 4096, "--linger-read-timeout"},
             {{"--max-list-bytes", "2000000", "--max-list-memory", "1000000"}, 4096, "--max-list-bytes"},
         }) {
        std::vector<std::string> args{"--data", "d"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        OptionsParse options = parse_server_options(args);
        ASSERT_TRUE(options.error.empty()) << options.error;
        std::string clash = check_budgets(options.config, c.descriptors);
        if (c.named.empty())
            EXPECT_TRUE(clash.empty()) << clash;
        else
            EXPECT_NE(clash.find(c.named), std::string::npos) << clash;
    }
    std::string usage = server_usage();
    for (std::string_view option : {"--linger-timeout", "--max-list-memory", "--max-staged-files", "--max-disk-queue",
                                    "--page-cache", "--stop-grace", "--read-threads"})
        EXPECT_NE(usage.find(option), std::string::npos) << option;
}
