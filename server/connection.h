// One connection: waits for a request, reads its head within the deadline, hands it to the router,
// sends the reply, lingers briefly and closes. A connection is touched and destroyed only on the
// network thread: work for the disk lanes carries its owning pointer there and moves it into the
// completion it posts back, so the last reference never drops on a disk thread.
#pragma once

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "address_ranges.h"
#include "deadline.h"
#include "gallery_pages.h"
#include "disk_lanes.h"
#include "server_state.h"

namespace beast = boost::beast;
namespace http = beast::http;

// A reply with a text body, which the page cache may share; every reply closes its connection.
struct Reply {
    int status = 200;
    std::shared_ptr<const std::string> body;
    std::string content_type = "text/plain; charset=utf-8";
    std::string cache;  // Cache-Control, if any
    std::vector<std::pair<http::field, std::string>> fields;
};

// Sent with every reply.
template <class Response>
void add_common_headers(Response& res) {
    res.set(http::field::server, "gallery-server");
    res.set("Content-Security-Policy", content_security_policy);
    res.set("X-Frame-Options", "DENY");
    res.set("X-Content-Type-Options", "nosniff");
    res.set("Referrer-Policy", referrer_policy);
    res.keep_alive(false);
}

inline constexpr std::string_view too_many_from_client = "too many connections from your address; try again later";
inline constexpr std::string_view database_unavailable = "the gallery's database is not answering; try again later";

Reply text_reply(int status, std::string text);
Reply html_reply(int status, std::string html);
// Every request over a budget gets this: the budget's reason, never a bare failure.
Reply busy_reply(std::string_view reason);

struct UploadPhase;
struct FileSend;

class Connection : public std::enable_shared_from_this<Connection> {
public:
    using Chunk = std::array<char, 64 * 1024>;

    // `peer` is the socket's far end; unless it is a trusted proxy, it is the client.
    Connection(ServerState& state, tcp::socket socket, const IpAddress& peer);
    ~Connection();
    void start();
    // Closes this connection while it waits for a request or lingers, to make room for another.
    void evict();
    // Whom the request comes from (a proxy's connection: the client it names, once its head is read).
    // This address is logged, counted against the per-client budgets and checked by the upload
    // allow-list; it is the uploader's address to keep with an album.
    const std::string& client() const { return client_; }
    const IpAddress& client_address() const { return client_address_; }

    // What routes use.
    ServerState& state() { return state_; }
    const http::request<http::empty_body>& request() const { return parser_->get(); }
    std::string_view query() const { return query_; }
    void send(Reply reply);
    void start_upload();                 // upload_receiver.cpp
    // Picture `number` of the album under `key`: its original (as a download when `download`), or
    // its copy at `copy_size`.
    void serve_file(std::string key, std::int64_t number, int copy_size = 0, bool download = false);  // file_sender.cpp
    void serve_zip(std::string key);  // zip_sender.cpp
    // A small form body, read whole within its own byte and time budgets; `done` gets it on the
    // network thread. One too large, chunked, late or broken off is answered here instead.
    void read_form(std::function<void(std::string)> done);
    // Runs `work` on `lane` and `done(result)` back on the network thread. False, with a 503 sent,
    // when the lane's queue is full.
    template <class Work, class Done>
    bool off_network(DiskLane& lane, Work work, Done done, bool admitted = false);

private:
    friend struct UploadSteps;
    friend struct FileSteps;
    friend struct ZipSteps;

    void wait_for_request();
    void read_head();
    void on_head(beast::error_code ec);
    bool settle_client();
    void finish_reply(int status, std::uint64_t bytes);
    void linger();
    void enter_idle();
    void leave_idle();
    void arm(std::chrono::steady_clock::duration within);
    void arm_at(std::chrono::steady_clock::time_point when);
    Chunk& chunk();

    ServerState& state_;
    tcp::socket socket_;
    IpAddress client_address_;
    std::string client_;
    bool counted_ = false;  // counted in the registry under client_
    Deadline deadline_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    std::string query_;
    std::optional<std::list<Connection*>::iterator> idle_entry_;
    std::chrono::steady_clock::time_point started_, linger_until_;
    std::uint64_t received_ = 0;
    std::uint64_t drained_ = 0;
    bool head_only_ = false;  // a HEAD request: every reply goes out without its body
    bool evicted_ = false;
    std::unique_ptr<UploadPhase> upload_;
    std::unique_ptr<FileSend> file_;
    // The one buffer a body or a file passes through; made on first use and freed once the reply
    // is out, so idle and lingering connections cost little more than their socket.
    std::unique_ptr<Chunk> chunk_;
    std::optional<http::response<http::empty_body>> reply_head_;
    std::optional<http::response_serializer<http::empty_body>> serializer_;
    std::shared_ptr<const std::string> reply_body_;
};

template <class Work, class Done>
bool Connection::off_network(DiskLane& lane, Work work, Done done, bool admitted) {
    if (admitted) {
        enter_lane_anyway(lane);
    } else if (!enter_lane(lane)) {
        send(busy_reply("the gallery's disk is busy"));
        return false;
    }
    asio::post(lane.pool, [self = shared_from_this(), &lane, work = std::move(work), done = std::move(done)]() mutable {
        auto result = work();
        leave_lane(lane);
        ServerState& state = self->state_;
        asio::post(state.io, [self = std::move(self), done = std::move(done), result = std::move(result)]() mutable {
            done(std::move(result));
        });
    });
    return true;
}

// Makes room by closing the connection that has waited longest for a request (or lingered longest),
// from `client` or from anyone; false when every connection is busy with a request.
bool evict_oldest_idle(ServerState& state, const std::string* client);

// Writes a refusal on a connection that is not admitted, without a Connection.
void refuse_connection(tcp::socket socket, std::string_view reason);
