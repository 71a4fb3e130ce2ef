// The upload route: admission within the budgets, the body read one chunk at a time with the rate
// rule, each chunk written on the write lane before the next is read, and the commit.
#include "upload_receiver.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <iostream>

#include "album_keys.h"
#include "connection.h"
#include "picture_type.h"
#include "router.h"
#include "thumbnails.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t sniffed_bytes = 12;  // enough for every signature picture_type knows
// Files of an upload the store may still be taking in (each holding a database connection) while
// the next one arrives: with more than one, several database sessions work at once.
constexpr std::size_t files_under_way = 2;

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The client's own description of itself, stored with the album: one line, bounded.
std::string printable(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, 200)) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    return out;
}

Reply store_failure_reply(const StoreFailure& failure) {
    if (failure.out_of_space) return text_reply(507, "the gallery's disk is full; nothing was kept");
    if (failure.unavailable) return text_reply(503, std::string(database_unavailable));
    return text_reply(500, "the gallery could not store the album; nothing was kept");
}

void close_staged(ReceivedFiles& r, bool keep) {
    if (r.staged.fd < 0) return;
    if (keep) {
        if (auto failure = send_staged(r.staged)) r.failure = failure;
    }
    if (!keep || r.failure) discard_staged(r.staged);
    --*r.open_count;
}

void decide_type(ReceivedFiles& r) {
    r.typed = true;
    // A file too small for any picture format is no picture, whatever its first bytes say.
    if (r.files[r.index].size >= smallest_picture) r.type = picture_content_type(r.sniff);
    if (r.type.empty() || r.failure || r.too_many_open) return;
    // The budget is checked, not reserved, before the open: a few over it under a race is harmless.
    if (r.open_count->load() >= r.most_open) {
        r.too_many_open = true;
        return;
    }
    if ((r.failure = open_staged(*r.store, r.staged))) return;
    ++*r.open_count;
    if ((r.failure = write_staged(r.staged, r.sniff))) close_staged(r, false);
}

bool writing(const ReceivedFiles& r) { return r.typed && !r.type.empty() && !r.failure && !r.too_many_open; }

// Files whose bytes have all arrived (empty ones at once) are kept as pictures or reported.
void settle_finished_files(ReceivedFiles& r) {
    while (r.index < r.files.size() && r.left == 0) {
        ListedFile& file = r.files[r.index];
        if (!file.refusal.empty()) {
            r.refusals.push_back(Refusal{std::move(file.name), std::move(file.refusal)});
        } else {
            if (!r.typed) decide_type(r);
            if (r.type.empty()) {
                r.refusals.push_back(Refusal{std::move(file.name), "not a JPEG, PNG, GIF or WebP picture"});
            } else if (writing(r)) {
                // Finished now, so the upload holds no descriptor for a file already received.
                close_staged(r, true);
                if (!r.failure && r.pictures.size() >= files_under_way)
                    r.failure = settle_staged(r.pictures[r.pictures.size() - files_under_way].file);
                if (!r.failure) r.pictures.push_back(NewPicture{std::move(file.name), std::string(r.type), std::move(r.staged)});
            }
        }
        r.staged = StagedFile{};
        r.sniff.clear();
        r.typed = false;
        r.type = {};
        if (++r.index < r.files.size()) r.left = r.files[r.index].size;
    }
}

// Bytes of the current file: the first few decide its type, the rest go to its staged file.
void feed_file(ReceivedFiles& r, std::string_view& data) {
    const ListedFile& file = r.files[r.index];
    std::string_view piece = data.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(r.left, data.size())));
    data.remove_prefix(piece.size());
    r.left -= piece.size();
    if (!file.refusal.empty()) return;
    if (!r.typed) {
        std::size_t want = std::min(sniffed_bytes - r.sniff.size(), piece.size());
        r.sniff.append(piece.substr(0, want));
        piece.remove_prefix(want);
        if (r.sniff.size() == sniffed_bytes || r.left == 0) decide_type(r);
    }
    if (writing(r) && !piece.empty()) {
        if ((r.failure = write_staged(r.staged, piece))) close_staged(r, false);
    }
}

}  // namespace

ReceivedFiles::~ReceivedFiles() {
    if (staged.fd >= 0 && open_count) --*open_count;
}

void start_files(ReceivedFiles& r, std::vector<ListedFile> files) {
    r.files = std::move(files);
    r.index = 0;
    r.left = r.files.empty() ? 0 : r.files[0].size;
    settle_finished_files(r);
}

void take_file_bytes(ReceivedFiles& r, std::string_view data) {
    while (!data.empty() && r.index < r.files.size()) {
        feed_file(r, data);
        settle_finished_files(r);
    }
}

std::uint64_t listed_cost(const ListedFile& file) {
    return sizeof(ListedFile) + file.name.capacity() + file.refusal.capacity();
}

UploadPhase::UploadPhase(ServerState& s, UploadHeadReader h) : state(s), head(std::move(h)), throttle(s.io) {}

UploadPhase::~UploadPhase() {
    state.reserved_bytes -= reserved;
    state.list_memory -= list_held;
}

// The steps of an upload, with the connection's private parts at hand.
struct UploadSteps {
    static void begin_body(Connection& c);
    static void take(Connection& c, std::string_view data);
    static std::optional<Reply> count_list(Connection& c, std::uint64_t list_bytes);
    static std::optional<Reply> admit_contents(Connection& c);
    static void write_chunk(Connection& c, std::string_view data, std::uint64_t need_free);
    static void read_body(Connection& c);
    static void on_body(Connection& c, beast::error_code ec, std::size_t bytes);
    static void finish(Connection& c);
};

void Connection::start_upload() {
    const auto& req = parser_->get();
    const Gallery& gallery = state_.gallery;
    // Asked first: someone who may not upload learns nothing else, and no byte of the body is kept.
    if (gallery.config.upload_allow && !in_ranges(*gallery.config.upload_allow, client_address_))
        return send(text_reply(403, std::string(upload_not_allowed) + " (" + client_ + ")"));
    if (parser_->chunked()) return send(text_reply(411, std::string(chunked_refusal)));
    if (req.count(http::field::content_length) > 1) return send(text_reply(400, "the upload has more than one Content-Length"));
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
    if (state_.writes.queued.load() >= state_.writes.limit) return send(busy_reply("the gallery's disk is busy"));

    upload_ = std::make_unique<UploadPhase>(state_, start_upload_head(gallery.config.limits, length));
    upload_->body_left = length;
    // A client that asks before sending its body (curl does, for large ones) is told to go on.
    if (beast::iequals(req[http::field::expect], "100-continue")) {
        static const std::string go_on = "HTTP/1.1 100 Continue\r\n\r\n";
        arm(gallery.config.budgets.send_time);
        asio::async_write(socket_, asio::buffer(go_on), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (deadline_passed(self->deadline_) || ec) return;
            UploadSteps::begin_body(*self);
        });
        return;
    }
    UploadSteps::begin_body(*this);
}

void UploadSteps::begin_body(Connection& c) {
    UploadPhase& up = *c.upload_;
    up.paid_until = Clock::now() + c.state_.gallery.config.budgets.body_gap;
    // What arrived with the head is the body's start.
    std::string_view early(static_cast<const char*>(c.buffer_.data().data()),
                           static_cast<std::size_t>(std::min<std::uint64_t>(c.buffer_.size(), up.body_left)));
    up.body_left -= early.size();
    c.received_ += early.size();
    take(c, early);
}

std::optional<Reply> UploadSteps::count_list(Connection& c, std::uint64_t list_bytes) {
    UploadPhase& up = *c.upload_;
    const ConnectionBudgets& budgets = c.state_.gallery.config.budgets;
    const auto& files = up.head.head.files;
    std::uint64_t added = 0;
    for (; up.list_counted < files.size(); ++up.list_counted) added += listed_cost(files[up.list_counted]);
    up.list_held += added;
    c.state_.list_memory += added;
    if (list_bytes > budgets.list_bytes)
        return text_reply(503, "the upload's file list is longer than " + std::to_string(budgets.list_bytes) +
                                   " bytes; send fewer files at once");
    if (c.state_.list_memory > budgets.list_memory)
        return busy_reply("the gallery is receiving too many file lists at once");
    return std::nullopt;
}

void UploadSteps::take(Connection& c, std::string_view data) {
    UploadPhase& up = *c.upload_;
    std::uint64_t need_free = 0;
    if (!up.head.done) {
        auto fault = read_upload_head(up.head, data);
        if (fault) return c.send(text_reply(fault->status, fault->reason));
        std::uint64_t list_bytes = c.received_ - data.size();  // the body so far, less contents
        if (auto refusal = count_list(c, list_bytes)) return c.send(std::move(*refusal));
        if (!up.head.done) {
            c.buffer_.consume(c.buffer_.size());
            return read_body(c);
        }
        if (auto refusal = admit_contents(c)) return c.send(std::move(*refusal));
        need_free = up.reserved;
        auto files = std::make_unique<ReceivedFiles>();
        files->store = &c.state_.gallery.store;
        files->open_count = &c.state_.staged_open;
        files->most_open = c.state_.gallery.config.budgets.staged_files;
        start_files(*files, std::move(up.head.head.files));
        up.files = std::move(files);
    }
    if (data.empty() && need_free == 0) {
        c.buffer_.consume(c.buffer_.size());
        return read_body(c);
    }
    write_chunk(c, data, need_free);
}

// The list is complete and adds up to the declared length; the quota is checked here, the disk's
// free space on the write lane before any contents are written.
std::optional<Reply> UploadSteps::admit_contents(Connection& c) {
    UploadPhase& up = *c.upload_;
    const ServerConfig& config = c.state_.gallery.config;
    std::uint64_t need = 0;
    for (const ListedFile& file : up.head.head.files)
        if (file.refusal.empty() && file.size >= smallest_picture) need += charged_bytes(file.size);
    if (config.storage_quota > 0 && c.state_.stored_bytes + c.state_.reserved_bytes + need > config.storage_quota)
        return text_reply(507, "the gallery's storage quota is reached; this upload needs " + std::to_string(need) +
                                   " bytes more than it has room for");
    up.reserved = need;
    c.state_.reserved_bytes += need;
    return std::nullopt;
}

void UploadSteps::write_chunk(Connection& c, std::string_view data, std::uint64_t need_free) {
    UploadPhase& up = *c.upload_;
    struct Written {
        std::unique_ptr<ReceivedFiles> files;
        bool disk_full = false;
    };
    auto paused = Clock::now();
    std::uint64_t reserve = c.state_.gallery.config.budgets.disk_reserve;
    c.off_network(
        c.state_.writes,
        [files = std::move(up.files), data, need_free, reserve]() mutable {
            Written written;
            struct statvfs disk {};
            if (need_free > 0 && ::statvfs(files->store->picture_dir.c_str(), &disk) == 0 &&
                static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize < need_free + reserve)
                written.disk_full = true;
            else
                take_file_bytes(*files, data);
            written.files = std::move(files);
            return written;
        },
        [&c, paused](Written written) {
            UploadPhase& up = *c.upload_;
            up.files = std::move(written.files);
            up.paid_until += Clock::now() - paused;  // the client waited for the disk, not the other way
            c.buffer_.consume(c.buffer_.size());
            if (written.disk_full) return c.send(text_reply(507, "the gallery's disk is full; nothing was kept"));
            if (up.files->too_many_open) return c.send(busy_reply("the gallery is writing too many uploads at once"));
            read_body(c);
        },
        true);
}

void UploadSteps::read_body(Connection& c) {
    UploadPhase& up = *c.upload_;
    if (up.body_left == 0) {
        if (!up.head.done) {
            BodyFault fault = head_cut_short(up.head);
            return c.send(text_reply(fault.status, fault.reason));
        }
        return finish(c);
    }
    const ServerConfig& config = c.state_.gallery.config;
    auto now = Clock::now();
    if (config.client_upload_rate > 0) {
        // The client's rate is shared by all its connections: each read moves the client's clock on.
        auto& clock = c.state_.clients[c.client_].rate_clock;
        if (clock > now) {
            up.paid_until += clock - now;
            up.throttle.expires_at(clock);
            up.throttle.async_wait([self = c.shared_from_this()](beast::error_code ec) {
                if (!ec) read_body(*self);
            });
            return;
        }
    }
    auto deadline = now + config.budgets.body_gap;
    if (config.budgets.least_body_rate > 0) deadline = std::min(deadline, up.paid_until);
    c.arm_at(deadline);
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(c.chunk().size(), up.body_left));
    c.socket_.async_read_some(asio::buffer(c.chunk().data(), want),
                              [self = c.shared_from_this()](beast::error_code ec, std::size_t n) { on_body(*self, ec, n); });
}

void UploadSteps::on_body(Connection& c, beast::error_code ec, std::size_t bytes) {
    UploadPhase& up = *c.upload_;
    const ServerConfig& config = c.state_.gallery.config;
    if (deadline_passed(c.deadline_))
        return c.send(text_reply(408, "the upload broke off after " + std::to_string(c.received_) + " of its " +
                                          std::to_string(up.head.body_length) + " bytes: it came too slowly"));
    if (ec) {
        // The client went away or broke off; it may still read (a half-close), so it is told.
        return c.send(text_reply(400, "the upload broke off after " + std::to_string(c.received_) + " of its " +
                                          std::to_string(up.head.body_length) + " bytes"));
    }
    up.body_left -= bytes;
    c.received_ += bytes;
    auto now = Clock::now();
    if (config.budgets.least_body_rate > 0) {
        auto bought = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
            static_cast<double>(bytes) / static_cast<double>(config.budgets.least_body_rate)));
        up.paid_until = std::min(std::max(up.paid_until, now) + bought, now + config.budgets.body_gap);
    }
    if (config.client_upload_rate > 0) {
        auto& clock = c.state_.clients[c.client_].rate_clock;
        clock = std::max(clock, now) + std::chrono::microseconds(bytes * 1000000 / config.client_upload_rate);
    }
    take(c, std::string_view(c.chunk().data(), bytes));
}

void UploadSteps::finish(Connection& c) {
    UploadPhase& up = *c.upload_;
    ReceivedFiles& files = *up.files;
    if (files.failure) {
        std::cerr << "gallery-server: upload not stored: " << files.failure->detail << "\n";
        files.pictures.clear();
        return c.send(store_failure_reply(*files.failure));
    }
    if (files.pictures.empty()) return c.send(text_reply(422, no_album_reply_body(files.files.size(), files.refusals)));

    // The reply hands out the owner secret once; the store keeps only its hash.
    std::string owner_secret = new_owner_secret();
    auto album = std::make_shared<NewAlbum>(NewAlbum{up.head.head.options, up.head.head.switch_word,
                                                     printable(c.parser_->get()[http::field::user_agent]),
                                                     std::move(files.pictures), up.head.head.folder, new_album_key(),
                                                     owner_secret_hash(owner_secret), c.client_});
    std::uint64_t bytes = 0;
    for (const NewPicture& picture : album->pictures) bytes += charged_bytes(picture.file.size);
    struct Stored {
        std::int64_t id = 0;
        StoreFailure failure;
        std::optional<std::uint64_t> total;  // all stored bytes, other instances' included
        std::uint64_t read = 0;              // which read of the total this is
        std::vector<Refusal> refusals;       // pictures whose headers refused them
        std::uint64_t refused_bytes = 0;
        bool none_left = false;
    };
    ServerState& state = c.state_;
    bool quota = state.gallery.config.storage_quota > 0;
    std::uint64_t most_pixels = state.gallery.config.most_picture_pixels;
    c.off_network(
        state.writes,
        [album, &state, quota, most_pixels] {
            Stored result;
            // Each picture's header is read before the commit: one announcing too many pixels is
            // left out with its reason, so no later page or copy ever decodes it.
            std::erase_if(album->pictures, [&](const NewPicture& picture) {
                std::optional<std::string> refusal = refuse_by_header(picture.file.path, most_pixels);
                if (!refusal) return false;
                result.refusals.push_back(Refusal{picture.name, *refusal});
                result.refused_bytes += charged_bytes(picture.file.size);
                return true;
            });
            result.none_left = album->pictures.empty();
            if (result.none_left) return result;
            result.id = store_album(state.gallery.store, *album, result.failure);
            // Under a quota the total is read again, since instances sharing a store all add to it.
            if (result.id != 0 && quota) {
                std::lock_guard<std::mutex> hold(state.total_reads.lock);
                StoreFailure failed;
                std::uint64_t total = stored_bytes(state.gallery.store, failed);
                if (failed.detail.empty()) {
                    result.total = total;
                    result.read = ++state.total_reads.next_read;
                }
            }
            return result;
        },
        [&c, bytes, key = album->key, owner_secret](Stored result) {
            ServerState& state = c.state_;
            UploadPhase& up = *c.upload_;
            state.reserved_bytes -= up.reserved;
            up.reserved = 0;
            up.files->refusals.insert(up.files->refusals.end(), result.refusals.begin(), result.refusals.end());
            if (result.none_left)
                return c.send(text_reply(422, no_album_reply_body(up.files->files.size(), up.files->refusals)));
            if (result.id == 0) {
                std::cerr << "gallery-server: upload not stored: " << result.failure.detail << "\n";
                return c.send(store_failure_reply(result.failure));
            }
            if (result.total && result.read > state.stored_read) {
                state.stored_bytes = *result.total;
                state.stored_read = result.read;
            } else if (!result.total) {
                state.stored_bytes += bytes - result.refused_bytes;
            }
            c.send(text_reply(200, upload_reply_body(album_address(state.gallery.public_url, key, owner_secret),
                                                     up.files->refusals)));
        },
        true);
}
