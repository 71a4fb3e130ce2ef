// One connection: reads one request within its budgets, answers it, and closes.
#pragma once

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <chrono>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gallery_pages.h"
#include "gallery_store.h"
#include "server_state.h"
#include "upload_body.h"

namespace beast = boost::beast;
namespace http = beast::http;

// A reply with a text body; every reply closes its connection.
struct Reply {
    int status = 200;
    std::string body;
    std::string content_type = "text/plain; charset=utf-8";
    std::string cache;  // Cache-Control, if any
};

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(ServerState& state, tcp::socket socket, std::string client);
    ~Session();
    void start();
    // Closes this connection while it waits for a request, to make room for another.
    void evict();
    const std::string& client() const { return client_; }

private:
    void wait_for_request();
    void read_head();
    void on_head(beast::error_code ec);
    void route();
    void start_upload();
    void begin_body();
    void read_body();
    void on_body(beast::error_code ec, std::size_t bytes);
    std::optional<Reply> take_body_bytes(std::string_view data);
    std::optional<Reply> admit_contents();
    void feed_file(std::string_view& data);
    void settle_finished_files();
    void decide_type();
    void finish_soon(std::size_t index);
    void finish_upload();
    void serve_album(std::int64_t id);
    void serve_file(std::int64_t id);
    void send_file_piece();
    void send(Reply reply);
    void finish_reply(int status, std::uint64_t bytes);
    void drain();
    void leave_idle();
    void arm(std::chrono::steady_clock::time_point when);
    void disarm();
    template <class Work, class Done>
    void off_network(Work work, Done done);

    ServerState& state_;
    beast::tcp_stream stream_;
    std::string client_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    std::optional<std::list<Session*>::iterator> idle_entry_;
    std::chrono::steady_clock::time_point started_;
    std::string method_, target_;
    std::uint64_t received_ = 0;
    std::uint64_t drained_ = 0;

    // Upload under way.
    std::optional<UploadHeadReader> head_;
    std::uint64_t body_left_ = 0;
    std::chrono::steady_clock::time_point body_started_;
    std::chrono::steady_clock::duration throttled_{};
    std::size_t file_index_ = 0;
    std::uint64_t file_left_ = 0;
    std::string sniff_;
    bool typed_ = false;
    std::string_view type_;
    StagedFile staged_;
    std::vector<NewPicture> pictures_;
    std::size_t finishing_ = 0;     // pictures whose staged files are being finished off the network thread
    bool body_complete_ = false;
    std::vector<Refusal> refusals_;
    std::optional<StoreFailure> write_failure_;
    std::uint64_t reserved_ = 0;
    asio::steady_timer throttle_;
    asio::steady_timer deadline_;
    bool timed_out_ = false;
    // The one buffer a body or a file passes through; made on first use, so an idle connection
    // costs no more than its socket, its timers and a small head buffer.
    std::unique_ptr<std::array<char, 64 * 1024>> chunk_;
    std::array<char, 64 * 1024>& chunk();

    // File being sent.
    int file_fd_ = -1;
    std::uint64_t file_next_ = 0, file_end_ = 0, sent_ = 0;
    std::optional<http::response<http::empty_body>> file_head_;
    std::optional<http::response_serializer<http::empty_body>> file_serializer_;
    std::shared_ptr<http::response<http::string_body>> reply_;
    std::optional<http::response_serializer<http::string_body>> reply_serializer_;
    bool head_only_ = false;  // a HEAD request: every reply goes out without its body
};

// Writes a refusal on a connection that is not admitted, without a session.
void refuse_connection(tcp::socket socket, std::string_view reason);
