// Two gallery-server instances on one PostgreSQL database behind nginx, configured with the nginx
// file the repository ships; nginx listens on 127.0.0.1:TEST_GALLERY_PORT, where the real uploader
// built for the tests sends.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <map>
#include <regex>
#include <set>

#include "postgres_cluster.h"
#include "sample_png.h"
#include "test_support.h"

namespace {

const std::filesystem::path nginx_exe = "/usr/sbin/nginx";
// Every process this test starts dies with it, however it ends, so none keeps the uploader's port.
const std::vector<std::string> dies_with_test{"/usr/bin/setpriv", "--pdeathsig", "KILL", "--"};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from << " is not in the shipped nginx file";
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

struct Cluster {
    TempFolder work;
    std::string database;
    std::vector<std::unique_ptr<ServerProcess>> instances;
    std::vector<int> ports;
    std::unique_ptr<ServerProcess> nginx;
    std::string start_error;

    Cluster() {
        database = fresh_postgres_database();
        for (int i = 1; i <= 2; ++i) {
            std::filesystem::path log = work.path / ("instance-" + std::to_string(i) + ".log");
            instances.push_back(start_server_process(
                {"--listen", "127.0.0.1:0", "--data", (work.path / ("instance-" + std::to_string(i))).string(),
                 "--database", database, "--public-url", "http://127.0.0.1:" + std::to_string(TEST_GALLERY_PORT),
                 "--max-client-connections", "1000"},
                log, dies_with_test));
            ports.push_back(port_from_log(log));
            if (ports.back() <= 0) start_error += read_whole_file(log);
        }
        if (start_error.empty()) start_nginx();
    }

    // The shipped file with the test's ports; the rest of the configuration keeps nginx in the folder.
    void start_nginx() {
        std::filesystem::path prefix = work.path / "nginx";
        std::filesystem::create_directories(prefix / "temp");
        std::string site = read_whole_file(std::filesystem::path(GALLERY_DEPLOY_DIR) / "nginx-gallery.conf");
        site = replaced(site, "listen 80;", "listen 127.0.0.1:" + std::to_string(TEST_GALLERY_PORT) + ";");
        site = replaced(site, "127.0.0.1:8081", "127.0.0.1:" + std::to_string(ports[0]));
        site = replaced(site, "127.0.0.1:8082", "127.0.0.1:" + std::to_string(ports[1]));
        write_file(prefix / "gallery.conf", site);
        std::string p = prefix.string();
        write_file(prefix / "nginx.conf",
                   std::string(::geteuid() == 0 ? "user root;\n" : "") + "daemon off;\nmaster_process off;\npid " + p +
                       "/nginx.pid;\nerror_log " + p + "/error.log info;\nevents { worker_connections 512; }\nhttp {\n"
                       "access_log " + p + "/access.log;\nclient_body_temp_path " + p + "/temp/body;\nproxy_temp_path " + p +
                       "/temp/proxy;\nfastcgi_temp_path " + p + "/temp/fastcgi;\nuwsgi_temp_path " + p +
                       "/temp/uwsgi;\nscgi_temp_path " + p + "/temp/scgi;\ninclude " + p + "/gallery.conf;\n}\n");
        // One process (no master and workers), so the parent-death signal reaches all of nginx.
        std::vector<std::string> argv = dies_with_test;
        argv.insert(argv.end(), {nginx_exe.string(), "-p", p, "-c", p + "/nginx.conf", "-e", p + "/error.log"});
        nginx = start_program(argv, prefix / "output.log");
        // Our nginx, not another listener on the port: its pid file appears once it has bound.
        for (int i = 0; i < 100 && !std::filesystem::exists(prefix / "nginx.pid"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!std::filesystem::exists(prefix / "nginx.pid") || !wait_for_port(TEST_GALLERY_PORT, 5000))
            start_error = "nginx did not start: " + read_whole_file(prefix / "error.log") +
                          read_whole_file(prefix / "output.log");
    }

    std::string log(int instance) const { return read_whole_file(instances[instance]->log); }

    void kill_instance(int instance) {
        ::kill(instances[instance]->pid, SIGKILL);
        ::waitpid(instances[instance]->pid, nullptr, 0);
        instances[instance]->pid = -1;
    }

    bool staging_has_a_file(int instance) const {
        std::error_code ec;
        std::filesystem::directory_iterator it(work.path / ("instance-" + std::to_string(instance + 1)) / "incoming", ec);
        return !ec && it != std::filesystem::directory_iterator();
    }
};

#define SKIP_WITHOUT_CLUSTER_PARTS()                                                             \
    do {                                                                                         \
        SKIP_WITHOUT_POSTGRES();                                                                 \
        if (!std::filesystem::exists(nginx_exe)) GTEST_SKIP() << "nginx is not installed (" << nginx_exe << ")"; \
    } while (0)

// An upload on a connection of its own, sent in two parts so something can happen in between.
struct SplitUpload {
    int fd = -1;
    std::string request;
    std::size_t split = 0;

    SplitUpload(int port, std::string whole, std::size_t first_part) : request(std::move(whole)), split(first_part) {
        fd = connect_loopback(port);
        send_range(0, split);
    }
    ~SplitUpload() {
        if (fd >= 0) ::close(fd);
    }
    void send_range(std::size_t from, std::size_t to) {
        while (fd >= 0 && from < to) {
            ssize_t n = ::send(fd, request.data() + from, to - from, MSG_NOSIGNAL);
            if (n <= 0) return;
            from += static_cast<std::size_t>(n);
        }
    }
    // Sends the rest and reads the whole reply (until close or 20 s).
    std::string finish() {
        send_range(split, request.size());
        std::string reply;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20000) <= 0) break;
            char buffer[4096];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            reply.append(buffer, static_cast<std::size_t>(n));
        }
        return reply;
    }
};

// nginx keeps client connections open after a reply; these requests ask it to close instead.
std::string closing(std::string request) {
    return request.insert(request.find("\r\n") + 2, "Connection: close\r\n");
}

std::string pictures_of_album(const std::string& database, std::int64_t album) {
    return postgres_query(database, "SELECT coalesce(string_agg(name || '=' || size, ',' ORDER BY position), '') "
                                    "FROM pictures WHERE album_id = " + std::to_string(album));
}

std::int64_t album_in(const std::string& reply_body) {
    std::smatch match;
    static const std::regex address("^http://127\\.0\\.0\\.1:[0-9]+/album/([0-9]+)$");
    return std::regex_match(reply_body, match, address) ? std::stoll(match[1]) : 0;
}

}  // namespace

TEST(GalleryCluster, TheUploadersAlbumThroughNginxIsServedWholeByEachInstance) {
    SKIP_WITHOUT_CLUSTER_PARTS();
    Cluster cluster;
    ASSERT_EQ(cluster.start_error, "");
    TempFolder home;
    std::filesystem::create_directories(home.path / "bin");
    std::filesystem::create_directories(home.path / "pictures");
    write_file(home.path / "bin" / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > '" + (home.path / "opened").string() + "'\n");
    ::chmod((home.path / "bin" / "xdg-open").c_str(), 0755);
    std::map<std::string, std::string> originals;
    for (std::uint32_t i = 1; i <= 3; ++i) {
        std::string name = "picture-" + std::to_string(i) + ".png";
        originals[name] = make_sample_png(200 + i * 40, 150, i);
        write_file(home.path / "pictures" / name, originals[name]);
    }
    const char* path = std::getenv("PATH");
    ProcessResult run = run_process(
        {UPLOADER_PROBE_EXE, (home.path / "pictures").string()},
        {"APPDATA=" + (home.path / "appdata").string(), "DISPLAY", "WAYLAND_DISPLAY",
         "PATH=" + (home.path / "bin").string() + ":" + (path ? path : "/usr/bin:/bin")},
        60);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    std::string opened = read_whole_file(home.path / "opened");
    ASSERT_EQ(opened, "http://127.0.0.1:" + std::to_string(TEST_GALLERY_PORT) + "/album/1")
        << run.err << cluster.log(0) << cluster.log(1);

    for (int port : cluster.ports) {
        SCOPED_TRACE("instance on port " + std::to_string(port));
        HttpReply page = http_get(port, "/album/1");
        EXPECT_EQ(page.status, 200);
        for (const auto& [name, bytes] : originals) EXPECT_NE(page.body.find(name), std::string::npos) << name;
        for (const auto& [name, bytes] : originals) {
            std::string id = postgres_query(cluster.database, "SELECT id FROM pictures WHERE name = '" + name + "'");
            HttpReply file = http_get(port, "/files/" + id);
            EXPECT_EQ(file.status, 200) << name;
            EXPECT_TRUE(file.body == bytes) << name << ": " << file.body.size() << " bytes, not " << bytes.size();
        }
    }
}

TEST(GalleryCluster, AnInstanceKilledMidUploadLeavesNoHalfAlbumAndTheOtherKeepsServing) {
    SKIP_WITHOUT_CLUSTER_PARTS();
    Cluster cluster;
    ASSERT_EQ(cluster.start_error, "");
    std::vector<BodyFile> files{{"first.png", make_sample_png(400, 300, 1)}, {"second.png", make_sample_png(400, 300, 2)}};
    std::string request = closing(upload_request(upload_body("L", "true", files)));
    std::size_t part = request.size() - files[1].contents.size() / 2;  // the first file whole, half the second
    // nginx hands the two to the two instances in turn; both are under way once each has staged a file.
    SplitUpload one(TEST_GALLERY_PORT, request, part);
    SplitUpload two(TEST_GALLERY_PORT, request, part);
    for (int i = 0; i < 200 && !(cluster.staging_has_a_file(0) && cluster.staging_has_a_file(1)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(cluster.staging_has_a_file(0) && cluster.staging_has_a_file(1)) << cluster.log(0) << cluster.log(1);
    cluster.kill_instance(0);

    std::vector<std::string> replies{one.finish(), two.finish()};
    int stored = 0;
    for (const std::string& reply : replies) stored += reply.starts_with("HTTP/1.1 200") ? 1 : 0;
    EXPECT_EQ(stored, 1) << replies[0] << "\n---\n" << replies[1];
    EXPECT_EQ(postgres_query(cluster.database, "SELECT count(*) FROM albums"), "1");
    std::string whole = "first.png=" + std::to_string(files[0].contents.size()) +
                        ",second.png=" + std::to_string(files[1].contents.size());
    EXPECT_EQ(pictures_of_album(cluster.database, 1), whole);

    // nginx passes everything to the instance left, which keeps taking and serving albums.
    for (int i = 0; i < 4; ++i) {
        HttpReply reply = raw_exchange(TEST_GALLERY_PORT, request, 20000);
        EXPECT_EQ(reply.status, 200) << reply.head << reply.body;
        std::int64_t album = album_in(reply.body);
        ASSERT_GT(album, 0) << reply.body;
        EXPECT_EQ(pictures_of_album(cluster.database, album), whole);
        EXPECT_EQ(http_get(TEST_GALLERY_PORT, "/album/" + std::to_string(album), "Connection: close\r\n").status, 200);
    }
    EXPECT_EQ(postgres_query(cluster.database, "SELECT count(*) FROM pictures WHERE album_id NOT IN "
                                               "(SELECT id FROM albums)"), "0");

    // The killed upload's first picture went into the database as it arrived; once the sweep has
    // run past the grace period, no picture bytes are left that no album references.
    StoreLocation sweeping{cluster.work.path / "sweeper", cluster.database, {}};
    sweeping.budgets.orphan_grace = {};
    GalleryStore sweeper;
    ASSERT_FALSE(open_store(sweeping, sweeper));
    EXPECT_EQ(postgres_query(cluster.database, "SELECT count(*) FROM pg_largeobject_metadata m WHERE NOT EXISTS "
                                               "(SELECT 1 FROM pictures p WHERE p.bytes = m.oid)"), "0");
    EXPECT_EQ(postgres_query(cluster.database, "SELECT count(*) FROM staged_objects"), "0");
}

TEST(GalleryCluster, ConcurrentUploadsThroughBothInstancesGetDistinctCompleteAlbums) {
    SKIP_WITHOUT_CLUSTER_PARTS();
    Cluster cluster;
    ASSERT_EQ(cluster.start_error, "");
    std::vector<std::future<std::pair<std::int64_t, std::string>>> uploads;
    for (int i = 0; i < 8; ++i)
        uploads.push_back(std::async(std::launch::async, [i] {
            std::string name = "upload-" + std::to_string(i) + ".png";
            std::string png = make_sample_png(300, 200 + static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(i));
            HttpReply reply = raw_exchange(TEST_GALLERY_PORT,
                                           closing(upload_request(upload_body("L", "true", {{name, png}, {"b-" + name, png}}))),
                                           30000);
            return std::make_pair(album_in(reply.body), name + "=" + std::to_string(png.size()) + ",b-" + name + "=" +
                                                            std::to_string(png.size()));
        }));
    std::set<std::int64_t> albums;
    for (auto& upload : uploads) {
        auto [album, expected] = upload.get();
        ASSERT_GT(album, 0) << cluster.log(0) << cluster.log(1);
        albums.insert(album);
        EXPECT_EQ(pictures_of_album(cluster.database, album), expected);
    }
    EXPECT_EQ(albums.size(), 8u);
    // Each instance took some of them.
    for (int instance = 0; instance < 2; ++instance)
        EXPECT_NE(cluster.log(instance).find("\"POST /add/Client.aspx\" 200"), std::string::npos) << cluster.log(instance);
}

TEST(GalleryNginxFile, KeepsInStepWithTheGallerysOwnDefaults) {
    std::string site = read_whole_file(std::filesystem::path(GALLERY_DEPLOY_DIR) / "nginx-gallery.conf");
    auto value = [&](const std::string& directive) {
        std::smatch match;
        std::regex line("\\n\\s*" + directive + "\\s+([^;]+);");
        return std::regex_search(site, match, line) ? match[1].str() : std::string("(missing)");
    };
    ServerConfig defaults;
    // nginx's wait for a first byte must outlast the gallery's, or the uploader's idle wait is cut there.
    std::string header_wait = value("client_header_timeout");
    ASSERT_TRUE(header_wait.ends_with("m")) << header_wait;
    EXPECT_GE(std::chrono::minutes(std::stoi(header_wait)), defaults.budgets.idle_wait) << header_wait;
    // Large enough for the largest upload the gallery takes, and not far beyond it.
    std::string body_limit = value("client_max_body_size");
    ASSERT_TRUE(body_limit.ends_with("m")) << body_limit;
    std::uint64_t limit = std::stoull(body_limit) << 20;
    EXPECT_GE(limit, defaults.limits.largest_upload);
    EXPECT_LE(limit, defaults.limits.largest_upload + (4u << 20));
    struct Case {
        const char* directive;
        const char* expected;
    };
    for (const Case& c : std::vector<Case>{{"proxy_http_version", "1.1"},
                                           {"proxy_request_buffering", "off"},
                                           {"proxy_set_header\\s+Host", "$http_host"},
                                           {"proxy_next_upstream", "error timeout"}})
        EXPECT_EQ(value(c.directive), c.expected) << c.directive;
}
