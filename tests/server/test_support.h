// Helpers for the gallery tests: upload bodies, a gallery in this process, raw sockets and child processes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "gallery_server.h"
#include "support/temp_folder.h"

struct BodyFile {
    std::string name;  // UTF-8
    std::string contents;
};

// UTF-8 in, UTF-16LE out, no BOM.
std::string utf16le(std::string_view utf8);

// A body exactly as the uploader builds it.
std::string upload_body(std::string_view options, std::string_view switch_word, const std::vector<BodyFile>& files);

// The request head exactly as the uploader sends it, followed by `body`.
std::string upload_request(std::string_view body);

// A gallery serving on 127.0.0.1 on a free port from a fresh data folder, stopped on destruction.
struct RunningGallery {
    TempFolder data;
    Gallery gallery;
    std::unique_ptr<GalleryServer> server;
    std::thread thread;
    int port = 0;
    ~RunningGallery();
};
std::unique_ptr<RunningGallery> start_gallery(UploadLimits limits = {});
// The same with every setting given; the data folder is fresh whatever `config.data_dir` says
// (`config.database` names a PostgreSQL store, if any).
std::unique_ptr<RunningGallery> start_gallery(ServerConfig config);

struct HttpReply {
    int status = 0;
    std::string head;
    std::string body;
    bool closed = false;  // the server closed the connection after the reply
};

// Sends `request` on a fresh connection (send errors are ignored: the server may refuse early)
// and reads until the server closes or `timeout_ms` passes.
HttpReply raw_exchange(int port, std::string_view request, int timeout_ms = 5000);
// Splits what a connection received into head, body and status (left as they are without a head).
void read_reply_text(const std::string& raw, HttpReply& reply);

std::string header_value(const HttpReply& reply, std::string_view name);

// The album's address ("/a/<key>") in an upload reply's body, without its owner secret; empty when
// the body holds none.
std::string album_path(std::string_view reply_body);
// The owner secret in an upload reply's body, or empty.
std::string owner_secret_in(std::string_view reply_body);

// A GET on a fresh connection, with extra header lines ("Name: value\r\n" each).
HttpReply http_get(int port, std::string_view path, std::string_view extra_headers = {});

// A connected loopback socket, or -1; the caller closes it.
int connect_loopback(int port);
// The same from another loopback address (127.0.0.2, say), so the server sees another client.
int connect_loopback_from(int port, const std::string& source);

// A connection a test drives by hand: send what it likes, when it likes.
struct RawClient {
    int fd = -1;
    explicit RawClient(int port) : fd(connect_loopback(port)) {}
    RawClient(int port, const std::string& source) : fd(connect_loopback_from(port, source)) {}
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    // False once the server has closed the connection (the send is refused).
    bool send_text(std::string_view text) const;
    // Everything until the server closes (or `limit_ms` passes), as a reply.
    HttpReply read_reply(int limit_ms = 10000) const;
};

// The server process's peak resident memory (VmHWM) in KiB, and its open descriptors.
std::uint64_t peak_memory_kib(int pid);
std::size_t open_descriptors(int pid);


// Rows in a table of the gallery's database, and the picture files on disk.
long count_rows(const std::filesystem::path& data_dir, const std::string& table);
std::size_t count_picture_files(const std::filesystem::path& data_dir);

struct ProcessResult {
    int exit_code = -1;
    bool timed_out = false;
    std::string out;
    std::string err;
};

// `env` entries are "NAME=value" to set or "NAME" to remove. The child gets its own process group,
// which is killed when the time is up.
ProcessResult run_process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                          int timeout_seconds);

// A gallery-server child process, stopped with SIGTERM on destruction.
struct ServerProcess {
    int pid = -1;
    std::filesystem::path log;
    ~ServerProcess();
};
// `wrapper` comes before the server program (a resource limit, say).
std::unique_ptr<ServerProcess> start_server_process(const std::vector<std::string>& args,
                                                    const std::filesystem::path& log,
                                                    const std::vector<std::string>& wrapper = {});

// Any program, run the same way (output and errors into `log`, stopped with SIGTERM on destruction).
std::unique_ptr<ServerProcess> start_program(const std::vector<std::string>& argv, const std::filesystem::path& log);

// The port from the start-up line the server prints once it listens, or -1.
int port_from_log(const std::filesystem::path& log);

// A gallery-server over `data` on a free loopback port, started as start_server_process starts it,
// with further `options`; `port` is -1 when it did not come up.
struct LocalGallery {
    std::unique_ptr<ServerProcess> process;
    int port = -1;
};
LocalGallery start_local_gallery(const std::filesystem::path& data, const std::filesystem::path& log,
                                 const std::vector<std::string>& wrapper = {},
                                 const std::vector<std::string>& options = {});

// Waits until something accepts connections on 127.0.0.1:port.
bool wait_for_port(int port, int timeout_ms);

// The free port the OS hands out for 127.0.0.1 at this moment.
int free_port();

// Stored pictures by name: the bytes of each picture file, looked up through its row.
std::vector<std::pair<std::string, std::string>> stored_pictures(const std::filesystem::path& data_dir);

// Each stored picture's name and address ("/a/<key>/<n>"), read through the store's interface.
std::vector<std::pair<std::string, std::string>> picture_addresses(const StoreLocation& where);

// An album of pictures staged and synced the way the server stages them while an upload arrives.
NewAlbum album_of(const GalleryStore& store, const std::vector<std::pair<std::string, std::string>>& pictures);
