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

#include <atomic>
#include <future>
#include <mutex>
#include <map>
#include <regex>
#include <set>

#include "postgres_cluster.h"
#include "sample_png.h"
#include "test_pictures.h"
#include "test_support.h"
#include "upload_receiver.h"

namespace {

const std::filesystem::path nginx_exe = "/usr/sbin/nginx";
// Every process this test starts dies with it, however it ends, so none keeps the uploader's port.
const std::vector<std::string> dies_with_test{"/usr/bin/setpriv", "--pdeathsig", "KILL", "--"};

// Every occurrence of `from`, which must be there.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    EXPECT_NE(text.find(from), std::string::npos) << from << " is not in the file";
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

const std::filesystem::path stock_nginx = std::filesystem::path(GALLERY_TESTS_DIR) / "debian-nginx";
const std::filesystem::path deploy_dir = GALLERY_DEPLOY_DIR;

// nginx laid out as Debian's package installs it (its nginx.conf and the default site, enabled),
// with the gallery's files installed as docs/deploy.md says; only the paths move into `prefix`,
// the ports to the test's own on loopback, and nginx runs as one process that dies with the test.
struct NginxLayout {
    std::filesystem::path prefix;
    int http_port = TEST_GALLERY_PORT;
    int https_port = 0;   // set: the TLS site, with a certificate made here
    std::vector<int> instances;

    std::string conf() const { return (prefix / "nginx.conf").string(); }
};

std::string make_certificate(const std::filesystem::path& dir) {
    ProcessResult made = run_process({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                                      "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                                      (dir / "gallery.key").string(), "-out", (dir / "gallery.pem").string()},
                                     {}, 60);
    return made.exit_code == 0 ? std::string() : "openssl: " + made.err;
}

std::string lay_out_nginx(const NginxLayout& layout) {
    const std::filesystem::path& prefix = layout.prefix;
    const std::string p = prefix.string();
    for (const char* dir : {"conf.d", "modules-enabled", "snippets", "sites-available", "sites-enabled", "temp", "log"})
        std::filesystem::create_directories(prefix / dir);
    std::string main_conf = read_whole_file(stock_nginx / "nginx.conf");
    main_conf = replaced(main_conf, "user www-data;", ::geteuid() == 0 ? "user root;" : "");
    main_conf = replaced(main_conf, "/etc/nginx/", p + "/");
    main_conf = replaced(main_conf, "/var/log/nginx/", p + "/log/");
    main_conf = replaced(main_conf, "pid /run/nginx.pid;", "pid " + p + "/nginx.pid;\ndaemon off;\nmaster_process off;");
    main_conf = replaced(main_conf, "http {\n", "http {\nclient_body_temp_path " + p + "/temp/body;\nproxy_temp_path " + p +
                                                 "/temp/proxy;\nfastcgi_temp_path " + p + "/temp/fastcgi;\nuwsgi_temp_path " +
                                                 p + "/temp/uwsgi;\nscgi_temp_path " + p + "/temp/scgi;\n");
    write_file(prefix / "nginx.conf", main_conf);
    std::error_code ec;
    if (!std::filesystem::copy_file("/etc/nginx/mime.types", prefix / "mime.types", ec)) write_file(prefix / "mime.types", "types {}\n");

    const std::string http = "listen 127.0.0.1:" + std::to_string(layout.http_port);
    std::string stock_site = read_whole_file(stock_nginx / "default");
    stock_site = replaced(stock_site, "listen 80 default_server;", http + " default_server;");
    stock_site = replaced(stock_site, "listen [::]:80 default_server;", "");
    write_file(prefix / "sites-available" / "default", stock_site);

    write_file(prefix / "snippets" / "gallery-proxy.conf", read_whole_file(deploy_dir / "nginx-gallery-proxy.conf"));
    std::string site = read_whole_file(deploy_dir / (layout.https_port ? "nginx-gallery-tls.conf" : "nginx-gallery.conf"));
    site = replaced(site, "listen 80;", http + ";");
    site = replaced(site, "listen [::]:80;", "");
    // The uploader built for the tests names its gallery 127.0.0.1.
    site = replaced(site, "server_name gallery.example.org;", "server_name 127.0.0.1;");
    site = replaced(site, "127.0.0.1:8081", "127.0.0.1:" + std::to_string(layout.instances.at(0)));
    site = replaced(site, "127.0.0.1:8082", "127.0.0.1:" + std::to_string(layout.instances.at(1)));
    if (layout.https_port) {
        site = replaced(site, "listen 443 ssl;", "listen 127.0.0.1:" + std::to_string(layout.https_port) + " ssl;");
        site = replaced(site, "listen [::]:443 ssl;", "");
        site = replaced(site, "/etc/ssl/certs/gallery.pem", p + "/gallery.pem");
        site = replaced(site, "/etc/ssl/private/gallery.key", p + "/gallery.key");
        if (std::string error = make_certificate(prefix); !error.empty()) return error;
    }
    write_file(prefix / "sites-available" / "gallery", site);
    for (const char* name : {"default", "gallery"})
        std::filesystem::create_symlink(prefix / "sites-available" / name, prefix / "sites-enabled" / name);
    return {};
}

// The proxies the shipped environment file trusts, as the instances behind nginx are given them.
std::string shipped_trusted_proxy() {
    std::string env = read_whole_file(deploy_dir / "gallery-server.env");
    std::smatch match;
    static const std::regex option("\nGALLERY_OPTIONS=[^\n]*--trusted-proxy ([^ \n]+)");
    EXPECT_TRUE(std::regex_search(env, match, option)) << "the environment file sets no --trusted-proxy";
    return match.empty() ? std::string() : match[1].str();
}

struct Cluster {
    TempFolder work;
    std::string database;
    std::vector<std::unique_ptr<ServerProcess>> instances;
    std::vector<int> ports;
    std::unique_ptr<ServerProcess> nginx;
    NginxLayout layout;
    std::string start_error;

    std::vector<std::string> options;  // given to every instance

    explicit Cluster(bool tls = false, std::vector<std::string> instance_options = {}) : options(std::move(instance_options)) {
        database = fresh_postgres_database();
        if (tls) layout.https_port = free_port();
        for (int i = 0; i < 2; ++i) {
            start_instance(i, 0);
            if (ports.back() <= 0) start_error += read_whole_file(instances.back()->log);
        }
        if (start_error.empty()) start_nginx();
    }

    std::vector<std::string> instance_args(int i, int port) const {
        std::string public_url = layout.https_port ? "https://127.0.0.1:" + std::to_string(layout.https_port)
                                                   : "http://127.0.0.1:" + std::to_string(TEST_GALLERY_PORT);
        // Every test client is 127.0.0.1, which nginx forwards as the client: the budget is not the test.
        std::vector<std::string> args{"--listen", "127.0.0.1:" + std::to_string(port), "--data",
                                      (work.path / ("instance-" + std::to_string(i + 1))).string(), "--database", database,
                                      "--public-url", public_url, "--max-client-connections", "1000",
                                      "--trusted-proxy", shipped_trusted_proxy()};
        args.insert(args.end(), options.begin(), options.end());
        return args;
    }

    // Starts instance `i` on `port` (0: a free one), its log going on where the last one stopped.
    void start_instance(int i, int port) {
        std::filesystem::path log = work.path / ("instance-" + std::to_string(i + 1) + ".log");
        auto process = start_server_process(instance_args(i, port), log, dies_with_test);
        if (i < static_cast<int>(instances.size())) {
            instances[i] = std::move(process);
        } else {
            instances.push_back(std::move(process));
            ports.push_back(port_from_log(log));
        }
    }

    void start_nginx() {
        layout.prefix = work.path / "nginx";
        layout.instances = ports;
        if (std::string error = lay_out_nginx(layout); !error.empty()) {
            start_error = error;
            return;
        }
        std::string p = layout.prefix.string();
        ProcessResult test = run_process({nginx_exe.string(), "-t", "-p", p, "-c", layout.conf(), "-e", p + "/log/error.log"}, {}, 30);
        nginx_test_output = test.err;
        if (test.exit_code != 0) {
            start_error = "nginx -t: " + test.err;
            return;
        }
        // One process (no master and workers), so the parent-death signal reaches all of nginx.
        std::vector<std::string> argv = dies_with_test;
        argv.insert(argv.end(), {nginx_exe.string(), "-p", p, "-c", layout.conf(), "-e", p + "/log/error.log"});
        nginx = start_program(argv, layout.prefix / "output.log");
        // Our nginx, not another listener on the port: its pid file appears once it has bound.
        for (int i = 0; i < 100 && !std::filesystem::exists(layout.prefix / "nginx.pid"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!std::filesystem::exists(layout.prefix / "nginx.pid") || !wait_for_port(TEST_GALLERY_PORT, 5000))
            start_error = "nginx did not start: " + read_whole_file(layout.prefix / "log" / "error.log") +
                          read_whole_file(layout.prefix / "output.log");
    }
    std::string nginx_test_output;

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

// The album's key, from its address.
std::string key_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// "name=size,..." of the album's pictures in their stored order.
std::string pictures_of_album(const std::string& database, const std::string& path) {
    return postgres_query(database, "SELECT coalesce(string_agg(p.name || '=' || p.size, ',' ORDER BY p.position), '') "
                                    "FROM pictures p JOIN albums a ON a.id = p.album_id WHERE a.key = '" + key_of(path) + "'");
}

// The album's address in an upload reply's owner link ("/a/<key>"), or empty.
std::string album_in(const std::string& reply_body) {
    std::smatch match;
    static const std::regex address("^https?://127\\.0\\.0\\.1:[0-9]+(/a/[A-Za-z0-9_-]{22})\\?owner=[A-Za-z0-9_-]{43}$");
    return std::regex_match(reply_body, match, address) ? match[1].str() : std::string();
}

// Three sample pictures uploaded by the real uploader; returns the address it opened.
struct UploaderRun {
    std::map<std::string, std::string> originals;
    std::string opened;
    std::string err;
};
UploaderRun run_uploader() {
    UploaderRun result;
    TempFolder home;
    std::filesystem::create_directories(home.path / "bin");
    std::filesystem::create_directories(home.path / "pictures");
    write_file(home.path / "bin" / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > '" + (home.path / "opened").string() + "'\n");
    ::chmod((home.path / "bin" / "xdg-open").c_str(), 0755);
    for (std::uint32_t i = 1; i <= 3; ++i) {
        std::string name = "picture-" + std::to_string(i) + ".png";
        result.originals[name] = make_sample_png(200 + i * 40, 150, i);
        write_file(home.path / "pictures" / name, result.originals[name]);
    }
    const char* path = std::getenv("PATH");
    ProcessResult run = run_process(
        {UPLOADER_PROBE_EXE, (home.path / "pictures").string()},
        {"APPDATA=" + (home.path / "appdata").string(), "DISPLAY", "WAYLAND_DISPLAY",
         "PATH=" + (home.path / "bin").string() + ":" + (path ? path : "/usr/bin:/bin")},
        60);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    result.opened = read_whole_file(home.path / "opened");
    result.err = run.err;
    return result;
}

// A GET over HTTPS that trusts only the test's certificate; the body goes to `out`.
ProcessResult https_get(const Cluster& cluster, const std::string& path, const std::filesystem::path& out) {
    return run_process({"/usr/bin/curl", "--silent", "--show-error", "--cacert", (cluster.layout.prefix / "gallery.pem").string(),
                        "--output", out.string(), "--write-out", "%{http_code}",
                        "https://127.0.0.1:" + std::to_string(cluster.layout.https_port) + path},
                       {}, 30);
}

}  // namespace

TEST(GalleryCluster, TheUploadersAlbumThroughNginxIsServedWholeByEachInstance) {
    SKIP_WITHOUT_CLUSTER_PARTS();
    Cluster cluster;
    ASSERT_EQ(cluster.start_error, "");
    // Beside the stock default site, with no warning about conflicting names.
    EXPECT_EQ(cluster.nginx_test_output.find("[warn]"), std::string::npos) << cluster.nginx_test_output;
    UploaderRun upload = run_uploader();
    const auto& originals = upload.originals;
    const std::string album = album_in(upload.opened);
    ASSERT_TRUE(upload.opened.starts_with("http://127.0.0.1:" + std::to_string(TEST_GALLERY_PORT) + "/a/") && !album.empty())
        << upload.opened << upload.err << cluster.log(0) << cluster.log(1);
    // Other names still reach the default site.
    HttpReply other = raw_exchange(TEST_GALLERY_PORT, "GET /add/limits.aspx HTTP/1.1\r\nHost: www.example.org\r\n"
                                                      "Connection: close\r\n\r\n");
    EXPECT_EQ(other.status, 404) << other.head;

    for (int port : cluster.ports) {
        SCOPED_TRACE("instance on port " + std::to_string(port));
        HttpReply page = http_get(port, album);
        EXPECT_EQ(page.status, 200);
        for (const auto& [name, bytes] : originals) EXPECT_NE(page.body.find(name), std::string::npos) << name;
        std::set<std::string> served;
        for (std::size_t number = 1; number <= originals.size(); ++number) {
            HttpReply file = http_get(port, album + "/" + std::to_string(number) + "/original");
            EXPECT_EQ(file.status, 200) << number;
            served.insert(file.body);
        }
        for (const auto& [name, bytes] : originals) EXPECT_TRUE(served.contains(bytes)) << name;
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
    for (const std::string& reply : replies) {
        if (reply.starts_with("HTTP/1.1 200")) {
            EXPECT_EQ(pictures_of_album(cluster.database, album_in(reply.substr(reply.find("\r\n\r\n") + 4))), whole);
        }
    }

    // nginx passes everything to the instance left, which keeps taking and serving albums.
    for (int i = 0; i < 4; ++i) {
        HttpReply reply = raw_exchange(TEST_GALLERY_PORT, request, 20000);
        EXPECT_EQ(reply.status, 200) << reply.head << reply.body;
        std::string album = album_in(reply.body);
        ASSERT_FALSE(album.empty()) << reply.body;
        EXPECT_EQ(pictures_of_album(cluster.database, album), whole);
        EXPECT_EQ(http_get(TEST_GALLERY_PORT, album, "Connection: close\r\n").status, 200);
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
    std::vector<std::future<std::pair<std::string, std::string>>> uploads;
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
    std::set<std::string> albums;
    for (auto& upload : uploads) {
        auto [album, expected] = upload.get();
        ASSERT_FALSE(album.empty()) << cluster.log(0) << cluster.log(1);
        albums.insert(album);
        EXPECT_EQ(pictures_of_album(cluster.database, album), expected);
    }
    EXPECT_EQ(albums.size(), 8u);
    // Each instance took some of them.
    for (int instance = 0; instance < 2; ++instance)
        EXPECT_NE(cluster.log(instance).find("\"POST /add/Client.aspx\" 200"), std::string::npos) << cluster.log(instance);
}

// The shared store takes picture bytes into the database as they arrive; the header check before the
// commit still reads each picture (it once found the staged copy gone, and let every picture pass).
TEST(GalleryCluster, PicturesWithTooManyPixelsAreRefusedByTheSharedStoreToo) {
    SKIP_WITHOUT_CLUSTER_PARTS();
    Cluster cluster;
    ASSERT_EQ(cluster.start_error, "");
    std::string png = make_sample_png(300, 200, 1);
    HttpReply reply = raw_exchange(
        TEST_GALLERY_PORT,
        closing(upload_request(upload_body("L", "true", {{"bomb.png", png_announcing(50000, 50000)}, {"fine.png", png}}))),
        30000);
    ASSERT_EQ(reply.status, 200) << reply.body << cluster.log(0) << cluster.log(1);
    EXPECT_NE(reply.body.find("bomb.png: the picture is 50000 x 50000 pixels"), std::string::npos) << reply.body;
    std::string album = album_in(reply.body.substr(reply.body.rfind('\n') + 1));  // the address comes last
    EXPECT_EQ(pictures_of_album(cluster.database, album), "fine.png=" + std::to_string(png.size())) << reply.body;
}

TEST(GalleryNginxFile, KeepsInStepWithTheGallerysOwnDefaults) {
    std::string site = read_whole_file(deploy_dir / "nginx-gallery-proxy.conf");
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
    // Both sites keep every instance in the rotation, as the rolling restart needs.
    for (const char* name : {"nginx-gallery.conf", "nginx-gallery-tls.conf"}) {
        std::string text = read_whole_file(deploy_dir / name);
        std::regex instance("\\n\\s*server\\s+127\\.0\\.0\\.1:[0-9]+([^;]*);");
        int instances = 0;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), instance); it != std::sregex_iterator(); ++it, ++instances)
            EXPECT_EQ((*it)[1].str(), " max_fails=0") << name;
        EXPECT_EQ(instances, 2) << name;
    }
}

TEST(GalleryCluster, PagesGoOverHttpsWhileTheUploaderKeepsPlainHttp) {
    SKIP_WITHOUT_CLUSTER_PARTS();
    Cluster cluster(true);
    ASSERT_EQ(cluster.start_error, "");
    EXPECT_EQ(cluster.nginx_test_output.find("[warn]"), std::string::npos) << cluster.nginx_test_output;
    UploaderRun upload = run_uploader();
    const std::string album = album_in(upload.opened);
    ASSERT_TRUE(upload.opened.starts_with("https://127.0.0.1:" + std::to_string(cluster.layout.https_port) + "/a/") &&
                !album.empty())
        << upload.opened << upload.err << cluster.log(0) << cluster.log(1);

    // The uploader's two requests are answered on port 80 as they are; everything else moves to HTTPS.
    struct Case {
        std::string request;
        int status;
        std::string location;
    };
    for (const Case& c : std::vector<Case>{
             {"GET /add/limits.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", 200, ""},
             {closing(upload_request(upload_body("L", "true", {{"late.png", make_sample_png(40, 30, 9)}}))), 200, ""},
             {"GET " + album + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", 301, "https://127.0.0.1" + album},
             {"GET " + album + "/1/original HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", 301,
              "https://127.0.0.1" + album + "/1/original"},
         }) {
        SCOPED_TRACE(c.request.substr(0, c.request.find('\r')));
        HttpReply reply = raw_exchange(TEST_GALLERY_PORT, c.request, 20000);
        EXPECT_EQ(reply.status, c.status) << reply.head << reply.body;
        EXPECT_EQ(header_value(reply, "Location"), c.location);
    }

    TempFolder fetched;
    ProcessResult page = https_get(cluster, album, fetched.path / "page");
    EXPECT_EQ(page.out, "200") << page.err;
    std::string html = read_whole_file(fetched.path / "page");
    for (const auto& [name, bytes] : upload.originals) {
        SCOPED_TRACE(name);
        EXPECT_NE(html.find(name), std::string::npos);
        std::string number = name.substr(name.find('-') + 1, 1);  // picture-<n>.png is the album's picture n
        ProcessResult file = https_get(cluster, album + "/" + number + "/original", fetched.path / number);
        EXPECT_EQ(file.out, "200") << file.err;
        EXPECT_TRUE(read_whole_file(fetched.path / number) == bytes);
    }
}

TEST(GalleryCluster, RestartingEachInstanceInTurnFailsNoRequest) {
    SKIP_WITHOUT_CLUSTER_PARTS();
    Cluster cluster;
    ASSERT_EQ(cluster.start_error, "");
    std::string png = make_sample_png(300, 200, 5);
    HttpReply first = raw_exchange(TEST_GALLERY_PORT, closing(upload_request(upload_body("L", "true", {{"a.png", png}}))), 20000);
    ASSERT_EQ(first.status, 200) << first.head << first.body;
    const std::string album = album_in(first.body);

    // Pages, pictures and uploads from several clients at once, for as long as the restarts take.
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::mutex lock;
    std::vector<std::string> failures;
    const std::vector<std::string> requests{
        "GET " + album + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
        "GET " + album + "/1/original HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
        closing(upload_request(upload_body("L", "true", {{"b.png", png}}))),
    };
    std::vector<std::thread> clients;
    for (std::size_t c = 0; c < 4; ++c)
        clients.emplace_back([&, c] {
            for (std::size_t i = c; !stop; ++i) {
                const std::string& request = requests[i % requests.size()];
                HttpReply reply = raw_exchange(TEST_GALLERY_PORT, request, 30000);
                ++answered;
                if (reply.status != 200) {
                    std::lock_guard hold(lock);
                    failures.push_back(request.substr(0, request.find('\r')) + " -> " + reply.head);
                }
            }
        });
    for (int i = 0; i < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        int before = answered;
        ::kill(cluster.instances[i]->pid, SIGTERM);
        ::waitpid(cluster.instances[i]->pid, nullptr, 0);
        cluster.instances[i]->pid = -1;
        // Requests keep being answered by the other instance while this one is away.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_GT(answered, before + 5);
        cluster.start_instance(i, cluster.ports[i]);
        ASSERT_TRUE(wait_for_port(cluster.ports[i], 10000)) << cluster.log(i);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    stop = true;
    for (auto& client : clients) client.join();
    EXPECT_GT(answered, 50);
    EXPECT_TRUE(failures.empty()) << failures.size() << " of " << answered << " failed, first: " << failures.front()
                                  << read_whole_file(cluster.layout.prefix / "log" / "error.log");
    // Both instances took requests again after their restart.
    for (int i = 0; i < 2; ++i) EXPECT_NE(cluster.log(i).rfind("listening on"), std::string::npos);
}

TEST(GalleryCluster, AnAlbumItsOwnerDeletesThroughEitherInstanceIsGoneFromBoth) {
    SKIP_WITHOUT_CLUSTER_PARTS();
    Cluster cluster;
    ASSERT_EQ(cluster.start_error, "");
    HttpReply upload = raw_exchange(TEST_GALLERY_PORT,
                                    closing(upload_request(upload_body("L", "true", {{"a.png", make_sample_png(300, 200, 1)},
                                                                                     {"b.png", make_sample_png(200, 300, 2)}}))),
                                    20000);
    const std::string album = album_in(upload.body);
    ASSERT_FALSE(album.empty()) << upload.head << upload.body;
    const std::string secret = upload.body.substr(upload.body.find("owner=") + 6);
    const std::vector<std::string> addresses{album, album + "/1", album + "/1/original", album + "/1/download",
                                             album + "/1/480px", album + "/album.zip"};
    // Each instance has served everything once, so its page cache and copies hold the album.
    for (int port : cluster.ports)
        for (const std::string& address : addresses)
            EXPECT_EQ(http_get(port, address).status, 200) << address << " on " << port;

    const std::string host = "127.0.0.1:" + std::to_string(TEST_GALLERY_PORT);
    HttpReply deleted = raw_exchange(TEST_GALLERY_PORT,
                                     "POST " + album + "/delete HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
                                         "\r\nCookie: owner=" + secret + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
                                     20000);
    ASSERT_EQ(deleted.status, 200) << deleted.head << deleted.body << cluster.log(0) << cluster.log(1);
    for (int port : cluster.ports)
        for (const std::string& address : addresses)
            EXPECT_EQ(http_get(port, address).status, 410) << address << " on " << port;
    EXPECT_EQ(postgres_query(cluster.database, "SELECT count(*) FROM pictures"), "0");
    EXPECT_EQ(postgres_query(cluster.database, "SELECT count(*) FROM pg_largeobject_metadata"), "0");
}

TEST(GalleryCluster, BehindTheShippedNginxTheGallerySeesEachClientsOwnAddress) {
    SKIP_WITHOUT_CLUSTER_PARTS();
    Cluster cluster(false, {"--upload-allow", "127.0.0.2/32"});
    ASSERT_EQ(cluster.start_error, "");
    // Each client forges the other's address in both headers; nginx's own word is what counts.
    struct Case {
        std::string client, forged;
        int status;
    };
    for (const Case& c : std::vector<Case>{{"127.0.0.2", "203.0.113.7", 200}, {"127.0.0.3", "127.0.0.2", 403}}) {
        SCOPED_TRACE(c.client);
        std::string request = upload_request(upload_body("L", "true", {{"a.png", make_sample_png(8, 8, 1)}}));
        request = closing(request.insert(request.find("\r\n") + 2, "X-Real-IP: " + c.forged + "\r\nX-Forwarded-For: " + c.forged + "\r\n"));
        RawClient client(TEST_GALLERY_PORT, c.client);
        ASSERT_GE(client.fd, 0);
        client.send_text(request);
        HttpReply reply = client.read_reply(20000);
        EXPECT_EQ(reply.status, c.status) << reply.head << reply.body;
        if (c.status == 403) {
            EXPECT_EQ(reply.body, std::string(upload_not_allowed) + " (" + c.client + ")");
        } else {
            // The album keeps the real client for the operator, not nginx's address nor the forged one.
            EXPECT_EQ(postgres_query(cluster.database, "SELECT uploader FROM albums WHERE key = '" + key_of(album_in(reply.body)) + "'"),
                      c.client);
        }
        // The access line follows the reply.
        std::string line = c.client + " \"POST /add/Client.aspx\" " + std::to_string(c.status);
        for (int i = 0; i < 100 && (cluster.log(0) + cluster.log(1)).find(line) == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_NE((cluster.log(0) + cluster.log(1)).find(line), std::string::npos) << line;
    }
}
