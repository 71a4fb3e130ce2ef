// A connection's life: wait for a request, read its head within a deadline, route it, stream an
// upload's body to staged files, answer, close. Everything here runs on the network thread; the
// database and fsync go to the disk pool and come back.
#include "http_session.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iostream>

#include "byte_range.h"
#include "picture_type.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* upload_path = "/add/Client.aspx";
constexpr const char* database_unavailable = "the gallery's database is not answering; try again later";
constexpr const char* chunked_refusal = "chunked uploads are not accepted; send the body with a Content-Length";
constexpr std::size_t longest_logged = 200;
constexpr std::size_t sniffed_bytes = 12;           // enough for every signature picture_type knows
constexpr std::uint64_t disk_reserve = 8 << 20;     // left free on the disk beside an upload's bytes
constexpr std::uint64_t most_drained = 1 << 20;     // read and dropped after a refusal, so it arrives
constexpr auto drain_time = 1s;

std::string seconds_text(std::chrono::milliseconds time) {
    auto ms = time.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

std::string printable(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, longest_logged)) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    return out;
}

Reply text_reply(int status, std::string text) { return Reply{status, std::move(text), "text/plain; charset=utf-8", {}}; }
Reply fault_reply(const BodyFault& fault) { return text_reply(fault.status, fault.reason); }

Reply store_failure_reply(const StoreFailure& failure) {
    if (failure.out_of_space) return text_reply(507, "the gallery's disk is full; nothing was kept");
    if (failure.unavailable) return text_reply(503, database_unavailable);
    return text_reply(500, "the gallery could not store the album; nothing was kept");
}

bool parse_id(std::string_view text, std::int64_t& id) {
    if (text.empty() || text.size() > 18) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id);
    return ec == std::errc() && end == text.data() + text.size() && id > 0;
}

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

template <class Response>
void add_common_headers(Response& res) {
    res.set(http::field::server, "gallery-server");
    res.set("Content-Security-Policy", content_security_policy);
    res.set("X-Frame-Options", "DENY");
    res.set("X-Content-Type-Options", "nosniff");
    res.set("Referrer-Policy", "no-referrer");
    res.keep_alive(false);
}

}  // namespace

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

Session::Session(ServerState& state, tcp::socket socket, std::string client)
    : state_(state), stream_(std::move(socket)), client_(std::move(client)),
      buffer_(state.gallery.config.budgets.header_bytes + 4096), throttle_(state.io), deadline_(state.io) {
    ++state_.connections;
    ++state_.clients[client_].connections;
}

Session::~Session() {
    leave_idle();
    if (file_fd_ >= 0) ::close(file_fd_);
    state_.reserved_bytes -= reserved_;
    --state_.connections;
    auto it = state_.clients.find(client_);
    if (it != state_.clients.end() && --it->second.connections == 0 && it->second.rate_clock <= Clock::now())
        state_.clients.erase(it);
}

void Session::start() { wait_for_request(); }

std::array<char, 64 * 1024>& Session::chunk() {
    if (!chunk_) chunk_ = std::make_unique<std::array<char, 64 * 1024>>();
    return *chunk_;
}

// The head and body deadlines cancel the read instead of closing the connection, so the client
// still learns why it was cut off.
void Session::arm(Clock::time_point when) {
    timed_out_ = false;
    deadline_.expires_at(when);
    deadline_.async_wait([weak = weak_from_this()](beast::error_code ec) {
        auto self = weak.lock();
        if (ec || !self) return;
        self->timed_out_ = true;
        beast::error_code ignored;
        self->stream_.socket().cancel(ignored);
    });
}

void Session::disarm() { deadline_.cancel(); }

void Session::evict() {
    leave_idle();
    beast::error_code ec;
    stream_.socket().close(ec);
}

void Session::leave_idle() {
    if (idle_entry_) state_.idle.erase(*idle_entry_);
    idle_entry_.reset();
}

// Waiting costs only a socket and a timer, so the wait is long; the connection counts as idle and
// may be closed to make room until its first byte arrives.
void Session::wait_for_request() {
    idle_entry_ = state_.idle.insert(state_.idle.end(), this);
    stream_.expires_after(state_.gallery.config.budgets.idle_wait);
    stream_.async_read_some(buffer_.prepare(1024), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
        self->leave_idle();
        if (ec) return;  // closed, evicted or idle too long: nothing was asked, nothing to answer
        self->buffer_.commit(n);
        self->read_head();
    });
}

void Session::read_head() {
    const ConnectionBudgets& budgets = state_.gallery.config.budgets;
    started_ = Clock::now();
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(budgets.header_bytes));
    parser_->body_limit(boost::none);  // bodies are read by the routes that take them, never by the parser
    // One deadline for the whole head, however its bytes are spread out.
    stream_.expires_never();
    arm(Clock::now() + budgets.head_time);
    http::async_read_header(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
        self->on_head(ec);
    });
}

void Session::on_head(beast::error_code ec) {
    const ConnectionBudgets& budgets = state_.gallery.config.budgets;
    disarm();
    if (timed_out_)
        return send(text_reply(408, "the request head did not arrive within " + seconds_text(budgets.head_time)));
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
        return send(text_reply(431, "the request head is larger than " + std::to_string(budgets.header_bytes) +
                                        " bytes"));
    if (ec == http::error::multiple_content_length)
        return send(text_reply(400, "the request has more than one Content-Length"));
    // A length after a chunked Transfer-Encoding is refused as chunked, the way the other order is.
    bool chunked_seen = parser_->get().count(http::field::transfer_encoding) > 0;
    if (ec == http::error::bad_transfer_encoding || (ec == http::error::bad_content_length && chunked_seen))
        return send(text_reply(411, chunked_refusal));
    if (ec == http::error::bad_content_length)
        return send(text_reply(400, "the Content-Length is not a number of bytes this gallery can read"));
    if (ec == http::error::end_of_stream || ec == asio::error::eof || ec == asio::error::connection_reset ||
        ec == asio::error::operation_aborted)
        return;
    if (ec) return send(text_reply(400, "the request head is malformed"));

    const auto& req = parser_->get();
    method_ = std::string(req.method_string());
    target_ = std::string(req.target());
    auto fields = static_cast<std::size_t>(std::distance(req.begin(), req.end()));
    if (fields > budgets.header_fields)
        return send(text_reply(431, "the request has " + std::to_string(fields) + " header fields; this gallery takes at most " +
                                        std::to_string(budgets.header_fields)));
    route();
}

void Session::route() {
    const auto& req = parser_->get();
    bool body_follows = parser_->chunked() || parser_->content_length().value_or(0) > 0;
    if (target_ == upload_path && req.method() == http::verb::post) return start_upload();
    // Only the upload reads a body; any other route refuses one before a byte of it is read.
    if (body_follows) return send(text_reply(413, "only uploads to " + std::string(upload_path) + " may carry a body"));
    if (req.method() != http::verb::get && req.method() != http::verb::head)
        return send(text_reply(405, "this gallery answers GET and HEAD, and POST for uploads"));
    head_only_ = req.method() == http::verb::head;

    std::string_view target = target_;
    std::int64_t id = 0;
    if (target == "/add/limits.aspx") return send(text_reply(200, limits_text(state_.gallery.config.limits)));
    if (target == "/")
        return send(text_reply(200, "This gallery takes uploads at " + std::string(upload_path) +
                                        "; albums are at /album/<number>.\n"));
    if (target == page_style_path) return send(Reply{200, std::string(page_style), "text/css; charset=utf-8", "public, max-age=3600"});
    if (target == page_script_path)
        return send(Reply{200, std::string(page_script), "text/javascript; charset=utf-8", "public, max-age=3600"});
    if (target.starts_with("/album/") && parse_id(target.substr(7), id)) return serve_album(id);
    if (target.starts_with("/files/") && parse_id(target.substr(7), id)) return serve_file(id);
    if (target.starts_with("/album/"))
        return send(Reply{404, not_found_page_html("There is no album " + std::string(target.substr(7)) + "."),
                          "text/html; charset=utf-8", {}});
    send(text_reply(404, "not found"));
}

template <class Work, class Done>
void Session::off_network(Work work, Done done) {
    asio::post(state_.disk, [self = shared_from_this(), work = std::move(work), done = std::move(done)]() mutable {
        auto result = work();
        asio::post(self->state_.io, [self, done = std::move(done), result = std::move(result)]() mutable {
            done(std::move(result));
        });
    });
}

// --- Upload ------------------------------------------------------------------------------------

void Session::start_upload() {
    const auto& req = parser_->get();
    const Gallery& gallery = state_.gallery;
    if (parser_->chunked())
        return send(text_reply(411, chunked_refusal));
    if (req.count(http::field::content_length) > 1)
        return send(text_reply(400, "the upload has more than one Content-Length"));
    if (!parser_->content_length()) return send(text_reply(411, "the upload has no Content-Length"));
    std::uint64_t length = *parser_->content_length();
    if (length > gallery.config.limits.largest_upload)
        return send(text_reply(413, "the upload is " + std::to_string(length) + " bytes; this gallery takes at most " +
                                        std::to_string(gallery.config.limits.largest_upload)));
    std::string type = lower(req[http::field::content_type]);
    type = type.substr(0, type.find(';'));
    type.erase(0, type.find_first_not_of(" \t"));
    type.erase(type.find_last_not_of(" \t") + 1);
    if (type != "application/octet-stream")
        return send(text_reply(415, "uploads must be sent as application/octet-stream; charset=utf-16"));
    if (!gallery.store.read_only.empty())
        return send(text_reply(507, "the gallery cannot store uploads now: its disk is full or read-only"));

    head_ = start_upload_head(gallery.config.limits, length);
    body_left_ = length;
    // A client that asks before sending its body (curl does, for large ones) is told to go on.
    if (beast::iequals(req[http::field::expect], "100-continue")) {
        static const std::string go_on = "HTTP/1.1 100 Continue\r\n\r\n";
        stream_.expires_after(gallery.config.budgets.send_time);
        asio::async_write(stream_, asio::buffer(go_on), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) return;
            self->stream_.expires_never();
            self->begin_body();
        });
        return;
    }
    begin_body();
}

void Session::begin_body() {
    body_started_ = Clock::now();
    // What arrived with the head is the body's start.
    std::string_view early(static_cast<const char*>(buffer_.data().data()),
                           std::min<std::uint64_t>(buffer_.size(), body_left_));
    body_left_ -= early.size();
    received_ += early.size();
    std::optional<Reply> refusal = take_body_bytes(early);
    buffer_.consume(buffer_.size());
    if (refusal) return send(std::move(*refusal));
    read_body();
}

void Session::read_body() {
    if (body_left_ == 0) {
        if (!head_->done) return send(fault_reply(head_cut_short(*head_)));
        return finish_upload();
    }
    const ServerConfig& config = state_.gallery.config;
    auto now = Clock::now();
    if (config.client_upload_rate > 0) {
        // The client's rate is shared by all its connections: each read moves the client's clock on.
        auto& clock = state_.clients[client_].rate_clock;
        if (clock > now) {
            throttled_ += clock - now;
            throttle_.expires_at(clock);
            throttle_.async_wait([self = shared_from_this()](beast::error_code ec) {
                if (!ec) self->read_body();
            });
            return;
        }
    }
    // A pause may last body_gap; beyond that the body must keep up the least rate on average.
    auto rate_deadline = body_started_ + throttled_ + config.budgets.body_gap +
                         std::chrono::milliseconds(config.budgets.least_body_rate
                                                       ? received_ * 1000 / config.budgets.least_body_rate
                                                       : std::uint64_t{1} << 40);
    arm(std::min(now + config.budgets.body_gap, rate_deadline));
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk().size(), body_left_));
    stream_.async_read_some(asio::buffer(chunk().data(), want),
                            [self = shared_from_this()](beast::error_code ec, std::size_t n) { self->on_body(ec, n); });
}

void Session::on_body(beast::error_code ec, std::size_t bytes) {
    const ServerConfig& config = state_.gallery.config;
    disarm();
    if (timed_out_)
        return send(text_reply(408, "the upload broke off after " + std::to_string(received_) + " of its " +
                                        std::to_string(head_->body_length) + " bytes: it came too slowly"));
    if (ec) {
        // The client went away or broke off; it may still read (a half-close), so it is told.
        return send(text_reply(400, "the upload broke off after " + std::to_string(received_) + " of its " +
                                        std::to_string(head_->body_length) + " bytes"));
    }
    body_left_ -= bytes;
    received_ += bytes;
    if (config.client_upload_rate > 0) {
        auto& clock = state_.clients[client_].rate_clock;
        clock = std::max(clock, Clock::now()) +
                std::chrono::microseconds(bytes * 1000000 / config.client_upload_rate);
    }
    if (auto refusal = take_body_bytes(std::string_view(chunk().data(), bytes))) return send(std::move(*refusal));
    read_body();
}

std::optional<Reply> Session::take_body_bytes(std::string_view data) {
    UploadHeadReader& head = *head_;
    if (!head.done) {
        if (auto fault = read_upload_head(head, data)) return fault_reply(*fault);
        if (!head.done) return std::nullopt;
        if (auto refusal = admit_contents()) return refusal;
        file_index_ = 0;
        file_left_ = head.head.files.empty() ? 0 : head.head.files[0].size;
        settle_finished_files();
    }
    while (!data.empty() && file_index_ < head.head.files.size()) {
        feed_file(data);
        settle_finished_files();
    }
    return std::nullopt;
}

// The list is complete and adds up to the declared length; the space its contents need is checked
// before any of them is read.
std::optional<Reply> Session::admit_contents() {
    const ServerConfig& config = state_.gallery.config;
    std::uint64_t need = 0;
    for (const ListedFile& file : head_->head.files)
        if (file.refusal.empty() && file.size >= smallest_picture) need += charged_bytes(file.size);
    if (config.storage_quota > 0 &&
        state_.stored_bytes + state_.reserved_bytes + need > config.storage_quota)
        return text_reply(507, "the gallery's storage quota is reached; this upload needs " + std::to_string(need) +
                                   " bytes more than it has room for");
    struct statvfs disk {};
    if (need > 0 && ::statvfs(state_.gallery.store.picture_dir.c_str(), &disk) == 0 &&
        static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize < need + disk_reserve)
        return text_reply(507, "the gallery's disk is full; nothing was kept");
    reserved_ = need;
    state_.reserved_bytes += need;
    return std::nullopt;
}

void Session::decide_type() {
    typed_ = true;
    // A file too small for any picture format is no picture, whatever its first bytes say.
    if (head_->head.files[file_index_].size >= smallest_picture) type_ = picture_content_type(sniff_);
    if (type_.empty() || write_failure_) return;
    if ((write_failure_ = open_staged(state_.gallery.store, staged_))) return;
    if ((write_failure_ = write_staged(staged_, sniff_))) discard_staged(staged_);
}

// Bytes of the current file: the first few decide its type, the rest go straight to its staged file.
void Session::feed_file(std::string_view& data) {
    const ListedFile& file = head_->head.files[file_index_];
    std::string_view piece = data.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(file_left_, data.size())));
    data.remove_prefix(piece.size());
    file_left_ -= piece.size();
    if (!file.refusal.empty()) return;
    if (!typed_) {
        std::size_t want = std::min(sniffed_bytes - sniff_.size(), piece.size());
        sniff_.append(piece.substr(0, want));
        piece.remove_prefix(want);
        if (sniff_.size() == sniffed_bytes || file_left_ == 0) decide_type();
    }
    if (typed_ && !type_.empty() && !write_failure_ && !piece.empty()) {
        if ((write_failure_ = write_staged(staged_, piece))) discard_staged(staged_);
    }
}

// Files whose bytes have all arrived (empty ones at once) are kept as pictures or reported.
void Session::settle_finished_files() {
    const auto& files = head_->head.files;
    while (file_index_ < files.size() && file_left_ == 0) {
        const ListedFile& file = files[file_index_];
        if (!file.refusal.empty()) {
            refusals_.push_back(Refusal{file.name, file.refusal});
        } else {
            if (!typed_) decide_type();
            if (type_.empty())
                refusals_.push_back(Refusal{file.name, "not a JPEG, PNG, GIF or WebP picture"});
            else if (!write_failure_) {
                pictures_.push_back(NewPicture{file.name, std::string(type_), std::move(staged_)});
                finish_soon(pictures_.size() - 1);
            }
        }
        staged_ = StagedFile{};
        sniff_.clear();
        typed_ = false;
        type_ = {};
        if (++file_index_ < files.size()) file_left_ = files[file_index_].size;
    }
}

// Finishes a picture's staged file (synced, or copied into the database) while the rest of the
// upload arrives; the album is stored once every picture is finished.
void Session::finish_soon(std::size_t index) {
    auto file = std::make_shared<StagedFile>(std::move(pictures_[index].file));
    ++finishing_;
    off_network([file] { return sync_staged(*file); },
                [this, file, index](std::optional<StoreFailure> failure) {
                    --finishing_;
                    if (failure && !write_failure_) write_failure_ = std::move(failure);
                    if (index < pictures_.size()) pictures_[index].file = std::move(*file);
                    if (finishing_ == 0 && body_complete_) finish_upload();
                });
}

void Session::finish_upload() {
    body_complete_ = true;
    if (finishing_ > 0) return;
    if (write_failure_) {
        std::cerr << "gallery-server: upload not stored: " << write_failure_->detail << "\n";
        pictures_.clear();
        return send(store_failure_reply(*write_failure_));
    }
    if (pictures_.empty()) return send(text_reply(422, no_album_reply_body(head_->head.files.size(), refusals_)));

    auto album = std::make_shared<NewAlbum>(
        NewAlbum{head_->head.options, head_->head.switch_word, printable(parser_->get()[http::field::user_agent]),
                 std::move(pictures_)});
    std::uint64_t bytes = 0;
    for (const NewPicture& picture : album->pictures) bytes += charged_bytes(picture.file.size);
    struct Stored {
        std::int64_t id = 0;
        StoreFailure failure;
        std::optional<std::uint64_t> total;  // all stored bytes, other instances' included
    };
    const GalleryStore& store = state_.gallery.store;
    bool quota = state_.gallery.config.storage_quota > 0;
    off_network(
        [album, &store, quota] {
            Stored result;
            for (NewPicture& picture : album->pictures) {
                if (auto failure = sync_staged(picture.file)) {
                    result.failure = *failure;
                    return result;
                }
            }
            result.id = store_album(store, *album, result.failure);
            // Under a quota the total is read again, since instances sharing a store all add to it.
            StoreFailure failed;
            if (result.id != 0 && quota) result.total = stored_bytes(store, failed);
            if (!failed.detail.empty()) result.total.reset();
            return result;
        },
        [this, bytes](Stored result) {
            state_.reserved_bytes -= reserved_;
            reserved_ = 0;
            if (result.id == 0) {
                std::cerr << "gallery-server: upload not stored: " << result.failure.detail << "\n";
                return send(store_failure_reply(result.failure));
            }
            state_.stored_bytes = result.total.value_or(state_.stored_bytes + bytes);
            send(text_reply(200, upload_reply_body(album_address(state_.gallery.public_url, result.id), refusals_)));
        });
}

// --- Pages and files -------------------------------------------------------------------------------

void Session::serve_album(std::int64_t id) {
    struct Loaded {
        std::optional<StoredAlbum> album;
        StoreFailure failure;
    };
    const GalleryStore& store = state_.gallery.store;
    off_network(
        [id, &store] {
            Loaded loaded;
            loaded.album = load_album(store, id, loaded.failure);
            return loaded;
        },
        [this, id](Loaded loaded) {
            if (!loaded.failure.detail.empty()) {
                std::cerr << "gallery-server: " << loaded.failure.detail << "\n";
                if (loaded.failure.unavailable) return send(text_reply(503, database_unavailable));
                return send(text_reply(500, "the album cannot be read right now"));
            }
            if (!loaded.album)
                return send(Reply{404, not_found_page_html("There is no album " + std::to_string(id) + "."),
                                  "text/html; charset=utf-8", {}});
            send(Reply{200, album_page_html(*loaded.album), "text/html; charset=utf-8", "no-cache"});
        });
}

void Session::serve_file(std::int64_t id) {
    struct Opened {
        std::optional<StoredPicture> picture;
        StoreFailure failure;
        int fd = -1;
    };
    // The descriptor is owned here once it reaches the network thread.
    const GalleryStore& store = state_.gallery.store;
    off_network(
        [id, &store] {
            Opened opened;
            StoredPicture picture;
            opened.fd = open_picture(store, id, picture, opened.failure);
            if (opened.fd >= 0) opened.picture = std::move(picture);
            return opened;
        },
        [this](Opened opened) {
            if (!opened.failure.detail.empty()) {
                if (opened.fd >= 0) ::close(opened.fd);
                std::cerr << "gallery-server: " << opened.failure.detail << "\n";
                if (opened.failure.unavailable) return send(text_reply(503, database_unavailable));
                return send(text_reply(500, "the picture cannot be read right now"));
            }
            if (!opened.picture || opened.fd < 0) return send(text_reply(404, "no such picture"));
            file_fd_ = opened.fd;
            std::uint64_t size = opened.picture->size;
            ByteRange range = decide_range(parser_->get()[http::field::range], size);
            if (range.kind == ByteRange::unsatisfiable) {
                Reply reply = text_reply(416, "the requested range lies outside the picture's " + std::to_string(size) + " bytes");
                reply_ = std::make_shared<http::response<http::string_body>>();
                reply_->set(http::field::content_range, "bytes */" + std::to_string(size));
                return send(std::move(reply));
            }
            file_head_.emplace(range.kind == ByteRange::part ? http::status::partial_content : http::status::ok, 11);
            auto& head = *file_head_;
            add_common_headers(head);
            head.set(http::field::content_type, opened.picture->content_type);
            // Stored files never change under their id.
            head.set(http::field::cache_control, "public, max-age=31536000, immutable");
            head.set(http::field::accept_ranges, "bytes");
            file_next_ = range.kind == ByteRange::part ? range.first : 0;
            file_end_ = range.kind == ByteRange::part ? range.last + 1 : size;
            if (range.kind == ByteRange::part)
                head.set(http::field::content_range, "bytes " + std::to_string(range.first) + "-" +
                                                         std::to_string(range.last) + "/" + std::to_string(size));
            head.content_length(file_end_ - file_next_);
            file_serializer_.emplace(head);
            stream_.expires_after(state_.gallery.config.budgets.send_time);
            http::async_write_header(stream_, *file_serializer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
                if (ec || self->head_only_) return self->finish_reply(self->file_head_->result_int(), 0);
                self->send_file_piece();
            });
        });
}

// Files go out through the one fixed buffer, a piece at a time.
void Session::send_file_piece() {
    if (file_next_ >= file_end_) return finish_reply(file_head_->result_int(), sent_);
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk().size(), file_end_ - file_next_));
    ssize_t n = ::pread(file_fd_, chunk().data(), want, static_cast<off_t>(file_next_));
    if (n <= 0) return finish_reply(file_head_->result_int(), sent_);  // the length promised cannot be kept: close
    file_next_ += static_cast<std::uint64_t>(n);
    stream_.expires_after(state_.gallery.config.budgets.send_time);
    asio::async_write(stream_, asio::buffer(chunk().data(), static_cast<std::size_t>(n)),
                      [self = shared_from_this()](beast::error_code ec, std::size_t written) {
                          self->sent_ += written;
                          if (ec) return self->finish_reply(self->file_head_->result_int(), self->sent_);
                          self->send_file_piece();
                      });
}

// --- Replies ---------------------------------------------------------------------------------------

void Session::send(Reply reply) {
    if (!reply_) reply_ = std::make_shared<http::response<http::string_body>>();
    auto& res = *reply_;
    res.version(11);
    res.result(static_cast<unsigned>(reply.status));
    add_common_headers(res);
    res.set(http::field::content_type, reply.content_type);
    if (!reply.cache.empty()) res.set(http::field::cache_control, reply.cache);
    res.body() = std::move(reply.body);
    res.prepare_payload();
    stream_.expires_after(state_.gallery.config.budgets.send_time);
    if (head_only_) {
        // The same head a GET gets, Content-Length included, and no body.
        reply_serializer_.emplace(res);
        http::async_write_header(stream_, *reply_serializer_, [self = shared_from_this()](beast::error_code, std::size_t) {
            self->finish_reply(self->reply_->result_int(), 0);
        });
        return;
    }
    http::async_write(stream_, res, [self = shared_from_this()](beast::error_code, std::size_t) {
        self->finish_reply(self->reply_->result_int(), self->reply_->body().size());
    });
}

void Session::finish_reply(int status, std::uint64_t bytes) {
    if (state_.gallery.config.log_requests) {
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
        std::fprintf(stderr, "%s \"%s %s\" %d in=%llu out=%llu %lldms\n", client_.c_str(), printable(method_).c_str(),
                     printable(target_).c_str(), status, static_cast<unsigned long long>(received_),
                     static_cast<unsigned long long>(bytes), static_cast<long long>(took));
    }
    pictures_.clear();
    staged_ = StagedFile{};
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
    drain();
}

// After the reply, what the client still sends is read and dropped for a moment, so closing with
// unread bytes does not reset the connection before the client has read its reply.
void Session::drain() {
    if (drained_ > most_drained) return;
    stream_.expires_after(drain_time);
    stream_.async_read_some(asio::buffer(chunk()), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
        if (ec) return;
        self->drained_ += n;
        self->drain();
    });
}
