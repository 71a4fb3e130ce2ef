// Test helpers: everything here talks to 127.0.0.1 only and bounds every wait.
#include "test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

extern char** environ;

int connect_loopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int connect_loopback_from(int port, const std::string& source) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string utf16le(std::string_view utf8) {
    std::string out;
    auto put = [&out](std::uint32_t unit) {
        out += static_cast<char>(unit & 0xFF);
        out += static_cast<char>(unit >> 8);
    };
    for (std::size_t i = 0; i < utf8.size();) {
        unsigned char c = utf8[i];
        std::uint32_t cp;
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        for (int k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += 1 + extra;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

std::string upload_body(std::string_view options, std::string_view switch_word, const std::vector<BodyFile>& files) {
    std::string text = "2.0\n" + std::string(options) + "\n" + std::string(switch_word) + "\n";
    for (const BodyFile& file : files) {
        char size[32];
        std::snprintf(size, sizeof size, "%9.9d", static_cast<int>(file.contents.size()));
        text += std::string(size) + ":" + file.name + "\n";
    }
    text += "\n";
    std::string body = utf16le(text);
    for (const BodyFile& file : files) body += file.contents;
    return body;
}

std::string upload_request(std::string_view body) {
    return "POST /add/Client.aspx HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Quillomark/2.0 (Linux test)\r\n"
           "Content-Length: " + std::to_string(body.size()) +
           "\r\nContent-Type: application/octet-stream; charset=utf-16\r\n\r\n" + std::string(body);
}

RunningGallery::~RunningGallery() {
    if (server) server->stop();
    if (thread.joinable()) thread.join();
}

std::unique_ptr<RunningGallery> start_gallery(ServerConfig config) {
    auto running = std::make_unique<RunningGallery>();
    Gallery& gallery = running->gallery;
    gallery.config = std::move(config);
    gallery.config.host = "127.0.0.1";
    gallery.config.port = 0;
    gallery.config.log_requests = false;
    gallery.config.data_dir = running->data.path;
    if (auto error = open_store(StoreLocation{gallery.config.data_dir, gallery.config.database, gallery.config.store}, gallery.store))
        throw std::runtime_error(*error);
    running->server = std::make_unique<GalleryServer>(gallery);
    std::string error;
    running->port = running->server->bind(error);
    if (running->port <= 0) throw std::runtime_error(error);
    gallery.public_url = gallery.config.public_url.empty() ? default_public_url("127.0.0.1", running->port)
                                                          : gallery.config.public_url;
    GalleryServer* server = running->server.get();
    running->thread = std::thread([server] { server->run(); });
    return running;
}

std::unique_ptr<RunningGallery> start_gallery(UploadLimits limits) {
    ServerConfig config;
    config.limits = limits;
    return start_gallery(config);
}

HttpReply raw_exchange(int port, std::string_view request, int timeout_ms) {
    HttpReply reply;
    int fd = connect_loopback(port);
    if (fd < 0) return reply;
    std::size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    std::string raw;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buffer[65536];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            reply.closed = true;
            break;
        }
        raw.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    read_reply_text(raw, reply);
    return reply;
}

void read_reply_text(const std::string& raw, HttpReply& reply) {
    std::size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) return;
    reply.head = raw.substr(0, end + 2);
    reply.body = raw.substr(end + 4);
    if (reply.head.starts_with("HTTP/1.1 ")) reply.status = std::atoi(reply.head.c_str() + 9);
}

std::string header_value(const HttpReply& reply, std::string_view name) {
    std::istringstream lines(reply.head);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 && line[name.size()] == ':')
            return line.substr(name.size() + 2);
    }
    return {};
}

HttpReply http_get(int port, std::string_view path, std::string_view extra_headers) {
    return raw_exchange(port, "GET " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                  std::string(extra_headers) + "\r\n");
}

long count_rows(const std::filesystem::path& data_dir, const std::string& table) {
    sqlite3* db = nullptr;
    long count = -1;
    if (sqlite3_open_v2((data_dir / "gallery.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        std::string sql = "SELECT count(*) FROM " + table;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
            count = static_cast<long>(sqlite3_column_int64(stmt, 0));
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return count;
}

std::size_t count_picture_files(const std::filesystem::path& data_dir) {
    std::size_t count = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(data_dir / "pictures", ec)) {
        (void)entry;
        ++count;
    }
    return count;
}

ProcessResult run_process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          int timeout_seconds) {
    ProcessResult result;
    TempFolder capture;
    std::string out_path = (capture.path / "out").string();
    std::string err_path = (capture.path / "err").string();

    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& change : env)
            if (change.substr(0, change.find('=')) == name) replaced = true;
        if (!replaced) environment.push_back(entry);
    }
    for (const std::string& change : env)
        if (change.find('=') != std::string::npos) environment.push_back(change);

    std::vector<char*> args, envp;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        result.err = "cannot start " + argv[0];
        return result;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            result.timed_out = true;
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Helpers the child left behind in its group (a browser's, say) go with it.
    ::kill(-pid, SIGKILL);
    if (!result.timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    result.out = read_whole_file(out_path);
    result.err = read_whole_file(err_path);
    return result;
}

ServerProcess::~ServerProcess() {
    if (pid > 0) {
        ::kill(pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (::waitpid(pid, &status, WNOHANG) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
    }
}

std::unique_ptr<ServerProcess> start_server_process(const std::vector<std::string>& args,
                                                    const std::filesystem::path& log,
                                                    const std::vector<std::string>& wrapper) {
    std::vector<std::string> argv = wrapper;
    argv.push_back(GALLERY_SERVER_EXE);
    argv.insert(argv.end(), args.begin(), args.end());
    return start_program(argv, log);
}

std::unique_ptr<ServerProcess> start_program(const std::vector<std::string>& argv, const std::filesystem::path& log) {
    auto process = std::make_unique<ServerProcess>();
    process->log = log;
    std::vector<char*> raw;
    for (const std::string& a : argv) raw.push_back(const_cast<char*>(a.c_str()));
    raw.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ) == 0) process->pid = pid;
    posix_spawn_file_actions_destroy(&actions);
    return process;
}

bool wait_for_port(int port, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        int fd = connect_loopback(port);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

int free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

std::vector<std::pair<std::string, std::string>> stored_pictures(const std::filesystem::path& data_dir) {
    std::vector<std::pair<std::string, std::string>> pictures;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((data_dir / "gallery.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT name, id FROM pictures ORDER BY id", -1, &stmt, nullptr) == SQLITE_OK) {
            while (sqlite3_step(stmt) == SQLITE_ROW) {
                std::string name = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
                std::string id = std::to_string(sqlite3_column_int64(stmt, 1));
                pictures.emplace_back(name, read_whole_file(data_dir / "pictures" / id));
            }
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return pictures;
}

int port_from_log(const std::filesystem::path& log) {
    std::regex line("listening on http://127\\.0\\.0\\.1:([0-9]+)");
    for (int i = 0; i < 100; ++i) {
        std::smatch match;
        std::string text = read_whole_file(log);
        if (std::regex_search(text, match, line)) return std::stoi(match[1]);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

NewAlbum album_of(const GalleryStore& store, const std::vector<std::pair<std::string, std::string>>& pictures) {
    NewAlbum album{"L", "true", "test client", {}, {}};
    for (const auto& [name, contents] : pictures) {
        StagedFile file;
        EXPECT_FALSE(open_staged(store, file));
        EXPECT_FALSE(write_staged(file, contents));
        EXPECT_FALSE(sync_staged(file));
        album.pictures.push_back(NewPicture{name, "image/png", std::move(file)});
    }
    return album;
}

LocalGallery start_local_gallery(const std::filesystem::path& data, const std::filesystem::path& log,
                                 const std::vector<std::string>& wrapper, const std::vector<std::string>& options) {
    std::vector<std::string> args{"--listen", "127.0.0.1:0", "--data", data.string()};
    args.insert(args.end(), options.begin(), options.end());
    LocalGallery gallery;
    gallery.process = start_server_process(args, log, wrapper);
    gallery.port = port_from_log(log);
    return gallery;
}

RawClient::~RawClient() {
    if (fd >= 0) ::close(fd);
}

bool RawClient::send_text(std::string_view text) const {
    while (!text.empty()) {
        ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

HttpReply RawClient::read_reply(int limit_ms) const {
    HttpReply reply;
    std::string raw;
    timeval wait{static_cast<time_t>(limit_ms / 1000), static_cast<suseconds_t>(limit_ms % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buffer[65536];
    for (;;) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            reply.closed = n == 0 || errno == ECONNRESET;
            break;
        }
        raw.append(buffer, static_cast<std::size_t>(n));
    }
    read_reply_text(raw, reply);
    return reply;
}

std::uint64_t peak_memory_kib(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.starts_with("VmHWM:")) return std::strtoull(line.c_str() + 6, nullptr, 10);
    return 0;
}

std::size_t open_descriptors(int pid) {
    std::error_code ec;
    std::size_t count = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++count;
    return count;
}

std::string album_path(std::string_view reply_body) {
    std::size_t at = reply_body.rfind("/a/");
    if (at == std::string_view::npos) return {};
    std::string_view path = reply_body.substr(at);
    return std::string(path.substr(0, path.find('?')));
}

std::string owner_secret_in(std::string_view reply_body) {
    std::size_t at = reply_body.rfind("?owner=");
    return at == std::string_view::npos ? std::string() : std::string(reply_body.substr(at + 7));
}

std::vector<std::pair<std::string, std::string>> picture_addresses(const StoreLocation& where) {
    std::vector<std::pair<std::string, std::string>> addresses;
    GalleryStore store;
    if (auto error = open_store(where, store)) {
        ADD_FAILURE() << *error;
        return addresses;
    }
    StoreFailure failure;
    for (const AlbumSummary& summary : list_albums(store, failure)) {
        std::optional<StoredAlbum> album = find_album(store, summary.key, failure);
        if (!album) continue;
        for (const StoredPicture& picture : album->pictures)
            addresses.emplace_back(picture.name, "/a/" + album->key + "/" + std::to_string(picture.number));
    }
    EXPECT_EQ(failure.detail, "");
    return addresses;
}
