// A connection's life apart from what its routes do: the wait for a request, the head, the reply,
// lingering, eviction.
#include "connection.h"

#include <algorithm>

#include "access_log.h"
#include "owner_access.h"
#include "router.h"
#include "upload_receiver.h"
#include "file_sender.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t most_drained = 1 << 20;  // read and dropped after a reply, so it arrives
constexpr std::size_t linger_buffer = 4096;

std::string seconds_text(std::chrono::milliseconds time) {
    auto ms = time.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

Reply text_reply(int status, std::string text) {
    return Reply{status, std::make_shared<const std::string>(std::move(text)), "text/plain; charset=utf-8", {}, {}};
}

Reply html_reply(int status, std::string html) {
    return Reply{status, std::make_shared<const std::string>(std::move(html)), "text/html; charset=utf-8", {}, {}};
}

Reply busy_reply(std::string_view reason) {
    Reply reply = text_reply(503, std::string(reason) + "; try again shortly");
    reply.fields.emplace_back(http::field::retry_after, "5");
    return reply;
}

void refuse_connection(tcp::socket socket, std::string_view reason) {
    http::response<http::string_body> res{http::status::service_unavailable, 11};
    add_common_headers(res);
    res.set(http::field::content_type, "text/plain; charset=utf-8");
    res.body() = std::string(reason);
    res.prepare_payload();
    beast::error_code ec;
    // A fresh connection's send buffer takes this short reply at once; it is never waited for.
    socket.non_blocking(true, ec);
    http::write(socket, res, ec);
    socket.shutdown(tcp::socket::shutdown_both, ec);
}

bool evict_oldest_idle(ServerState& state, const std::string* client) {
    for (Connection* connection : state.idle) {
        if (client && connection->client() != *client) continue;
        connection->evict();
        return true;
    }
    return false;
}

Connection::Connection(ServerState& state, tcp::socket socket, const IpAddress& peer)
    : state_(state), socket_(std::move(socket)), client_address_(peer), client_(address_text(peer)),
      deadline_(state.io.get_executor()), buffer_(state.gallery.config.budgets.header_bytes + 4096) {
    ++state_.connections;
    // A proxy holds connections for many clients: each is counted once its request names the client.
    if (!in_ranges(state_.gallery.config.trusted_proxies, peer)) {
        ++state_.clients[client_].connections;
        counted_ = true;
    }
}

Connection::~Connection() {
    leave_idle();
    upload_.reset();  // gives back what the upload reserved
    file_.reset();
    --state_.connections;
    if (evicted_) --state_.closing;
    // The record goes with the client's last connection, so addresses seen once cost nothing later.
    auto it = counted_ ? state_.clients.find(client_) : state_.clients.end();
    if (it != state_.clients.end() && --it->second.connections == 0) state_.clients.erase(it);
    if (state_.stopping && state_.connections == 0) state_.io.stop();
}

void Connection::start() { wait_for_request(); }

Connection::Chunk& Connection::chunk() {
    if (!chunk_) chunk_ = std::make_unique<Chunk>();
    return *chunk_;
}

void Connection::arm_at(Clock::time_point when) {
    arm_deadline(deadline_, when, std::shared_ptr<tcp::socket>(shared_from_this(), &socket_));
}

void Connection::arm(Clock::duration within) { arm_at(Clock::now() + within); }

void Connection::evict() {
    leave_idle();
    if (!evicted_) ++state_.closing;
    evicted_ = true;
    beast::error_code ec;
    socket_.close(ec);
}

void Connection::enter_idle() { idle_entry_ = state_.idle.insert(state_.idle.end(), this); }

void Connection::leave_idle() {
    if (idle_entry_) state_.idle.erase(*idle_entry_);
    idle_entry_.reset();
}

// Waiting costs only a socket and a timer, so the wait is long; the connection counts as idle and
// may be closed to make room until its first byte arrives.
void Connection::wait_for_request() {
    enter_idle();
    arm(state_.gallery.config.budgets.idle_wait);
    socket_.async_read_some(buffer_.prepare(1024), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
        self->leave_idle();
        if (deadline_passed(self->deadline_) || ec) return;  // nothing was asked, nothing to answer
        self->buffer_.commit(n);
        self->read_head();
    });
}

void Connection::read_head() {
    const ConnectionBudgets& budgets = state_.gallery.config.budgets;
    started_ = Clock::now();
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(budgets.header_bytes));
    parser_->body_limit(boost::none);  // bodies are read by the routes that take them, never by the parser
    // One deadline for the whole head, however its bytes are spread out.
    arm(budgets.head_time);
    http::async_read_header(socket_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
        self->on_head(ec);
    });
}

void Connection::on_head(beast::error_code ec) {
    const ConnectionBudgets& budgets = state_.gallery.config.budgets;
    if (deadline_passed(deadline_))
        return send(text_reply(408, "the request head did not arrive within " + seconds_text(budgets.head_time)));
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
        return send(text_reply(431, "the request head is larger than " + std::to_string(budgets.header_bytes) +
                                        " bytes"));
    if (ec == http::error::multiple_content_length)
        return send(text_reply(400, "the request has more than one Content-Length"));
    // A length after a chunked Transfer-Encoding is refused as chunked, the way the other order is.
    bool chunked_seen = parser_->get().count(http::field::transfer_encoding) > 0;
    if (ec == http::error::bad_transfer_encoding || (ec == http::error::bad_content_length && chunked_seen))
        return send(text_reply(411, std::string(chunked_refusal)));
    if (ec == http::error::bad_content_length)
        return send(text_reply(400, "the Content-Length is not a number of bytes this gallery can read"));
    if (ec == http::error::end_of_stream || ec == asio::error::eof || ec == asio::error::connection_reset ||
        ec == asio::error::operation_aborted)
        return;
    if (ec) return send(text_reply(400, "the request head is malformed"));
    if (!settle_client()) return;

    const auto& req = parser_->get();
    auto fields = static_cast<std::size_t>(std::distance(req.begin(), req.end()));
    if (fields > budgets.header_fields)
        return send(text_reply(431, "the request has " + std::to_string(fields) + " header fields; this gallery takes at most " +
                                        std::to_string(budgets.header_fields)));
    head_only_ = req.method() == http::verb::head;
    RouteTarget target = split_target(req.target());
    query_ = std::string(target.query);
    route_request(*this, target.path, parser_->chunked() || parser_->content_length().value_or(0) > 0);
}

void Connection::read_form(std::function<void(std::string)> done) {
    const ConnectionBudgets& budgets = state_.gallery.config.budgets;
    if (parser_->chunked()) return send(text_reply(411, std::string(chunked_refusal)));
    std::uint64_t length = parser_->content_length().value_or(0);
    if (length > budgets.form_bytes)
        return send(text_reply(413, "a form may carry at most " + std::to_string(budgets.form_bytes) + " bytes"));
    auto form = std::make_shared<std::string>(static_cast<std::size_t>(length), '\0');
    std::size_t early = asio::buffer_copy(asio::buffer(*form), buffer_.data());
    buffer_.consume(early);
    arm(budgets.form_time);
    asio::async_read(socket_, asio::buffer(form->data() + early, form->size() - early),
                     [self = shared_from_this(), form, done = std::move(done)](beast::error_code ec, std::size_t n) {
                         self->received_ += n;
                         if (deadline_passed(self->deadline_))
                             return self->send(text_reply(408, "the form did not arrive within " +
                                                                   seconds_text(self->state_.gallery.config.budgets.form_time)));
                         if (ec) return self->send(text_reply(400, "the form broke off before its Content-Length"));
                         done(std::move(*form));
                     });
    received_ += early;
}

// A connection from a trusted proxy takes the client its request names, and that client's share of
// the per-client budget: the same rule as at admission, so a client reaching us through the proxy
// holds no more than one connecting directly. Headers from anyone else are never read.
bool Connection::settle_client() {
    if (counted_) return true;
    const auto& req = parser_->get();
    std::string_view real_ip;
    for (auto [at, end] = req.equal_range("X-Real-IP"); at != end; ++at) real_ip = at->value();
    // Repeated fields are one list, in order.
    std::string forwarded_for;
    for (auto [at, end] = req.equal_range("X-Forwarded-For"); at != end; ++at) {
        if (!forwarded_for.empty()) forwarded_for += ',';
        forwarded_for += at->value();
    }
    client_address_ = forwarded_client(client_address_, state_.gallery.config.trusted_proxies, real_ip, forwarded_for);
    client_ = address_text(client_address_);
    auto known = state_.clients.find(client_);
    if (known != state_.clients.end() && known->second.connections >= state_.gallery.config.budgets.most_per_client &&
        !evict_oldest_idle(state_, &client_)) {
        send(text_reply(503, std::string(too_many_from_client)));
        return false;
    }
    ++state_.clients[client_].connections;
    counted_ = true;
    return true;
}

void Connection::send(Reply reply) {
    reply_body_ = reply.body ? std::move(reply.body) : std::make_shared<const std::string>();
    auto& res = reply_head_.emplace(static_cast<http::status>(reply.status), 11);
    add_common_headers(res);
    res.set(http::field::content_type, reply.content_type);
    if (!reply.cache.empty()) res.set(http::field::cache_control, reply.cache);
    for (auto& [name, value] : reply.fields) res.set(name, value);
    if (reply.status != 304) res.content_length(reply_body_->size());
    serializer_.emplace(res);
    arm(state_.gallery.config.budgets.send_time);
    // The same head a GET gets, Content-Length included; a HEAD request gets no body.
    http::async_write_header(socket_, *serializer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
        int status = self->reply_head_->result_int();
        if (ec || self->head_only_ || self->reply_body_->empty() || status == 304) {
            deadline_passed(self->deadline_);
            return self->finish_reply(status, 0);
        }
        asio::async_write(self->socket_, asio::buffer(*self->reply_body_),
                          [self](beast::error_code, std::size_t written) {
                              deadline_passed(self->deadline_);
                              self->finish_reply(self->reply_head_->result_int(), written);
                          });
    });
}

void Connection::finish_reply(int status, std::uint64_t bytes) {
    if (state_.gallery.config.log_requests) {
        std::string_view method;  // none for a head that was refused before it was complete
        std::string target;
        if (parser_ && parser_->is_header_done()) {
            method = parser_->get().method_string();
            target = without_owner_secret(parser_->get().target());
        }
        log_access(AccessRecord{client_, method, target, status, received_, bytes,
                                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count()});
    }
    // What the reply held goes now: a client that lingers keeps only its socket.
    upload_.reset();
    file_.reset();
    serializer_.reset();
    reply_head_.reset();
    reply_body_.reset();
    chunk_.reset();
    buffer_.consume(buffer_.size());
    buffer_.shrink_to_fit();
    beast::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_send, ec);
    linger_until_ = Clock::now() + state_.gallery.config.budgets.linger_time;
    enter_idle();
    linger();
}

// After the reply, what the client still sends is read and dropped for a moment, so closing with
// unread bytes does not reset the connection before the client has read its reply. Each read and the
// whole of it are bounded, and a lingering connection may be closed to make room.
void Connection::linger() {
    const ConnectionBudgets& budgets = state_.gallery.config.budgets;
    auto now = Clock::now();
    if (drained_ > most_drained || now >= linger_until_ || state_.stopping) return leave_idle();
    arm_at(std::min(now + budgets.linger_read, linger_until_));
    socket_.async_read_some(buffer_.prepare(linger_buffer), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
        if (deadline_passed(self->deadline_) || ec) return self->leave_idle();
        self->drained_ += n;
        self->linger();
    });
}
