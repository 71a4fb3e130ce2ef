// The picture route's sending: the open and each read on the read lane, writes on the network thread.
#include "file_sender.h"

#include <iostream>

#include "byte_range.h"
#include "connection.h"
#include "picture_views.h"
#include "view_routes.h"

struct FileSteps {
    static void opened(Connection& c, const ViewFile& opened);
    static void next_piece(Connection& c);
};

void Connection::serve_file(std::string key, std::int64_t number, int copy_size, bool download) {
    const GalleryStore& store = state_.gallery.store;
    ThumbnailMaker& maker = state_.thumbnails;
    // Copies may have to be made first: that work has its own lane, so it never holds up reads.
    off_network(
        copy_size ? state_.images : state_.reads,
        [key = std::move(key), number, &store, &maker, copy_size, download] {
            return open_view_file(store, maker, key, number, copy_size, download);
        },
        [this](ViewFile opened) {
            // The descriptor is owned here once it reaches the network thread.
            file_ = std::make_unique<FileSend>();
            file_->fd = opened.fd;
            if (!opened.failure.detail.empty()) return send(read_failure_reply(opened.failure, "picture"));
            if (opened.status == 410) return send(html_reply(410, gone_page_html()));
            if (opened.fd < 0) return send(text_reply(404, "no such picture"));
            FileSteps::opened(*this, opened);
        });
}

void FileSteps::opened(Connection& c, const ViewFile& picture) {
    FileSend& file = *c.file_;
    std::uint64_t size = picture.size;
    ByteRange range = decide_range(c.request()[http::field::range], size);
    if (range.kind == ByteRange::unsatisfiable) {
        Reply reply = text_reply(416, "the requested range lies outside the picture's " + std::to_string(size) + " bytes");
        reply.fields.emplace_back(http::field::content_range, "bytes */" + std::to_string(size));
        return c.send(std::move(reply));
    }
    bool part = range.kind == ByteRange::part;
    auto& head = file.head.emplace(part ? http::status::partial_content : http::status::ok, 11);
    add_common_headers(head);
    head.set(http::field::content_type, picture.content_type);
    if (!picture.disposition.empty()) head.set(http::field::content_disposition, picture.disposition);
    // What an address holds never changes, it only disappears when its owner deletes it: browsers
    // keep it for a day without asking again, shared caches not at all, so a deletion is not
    // outlived by copies out of the gallery's reach and lasts in a browser a day at most.
    head.set(http::field::cache_control, "private, max-age=86400");
    head.set(http::field::accept_ranges, "bytes");
    file.next = part ? range.first : 0;
    file.end = part ? range.last + 1 : size;
    file.status = head.result_int();
    if (part)
        head.set(http::field::content_range,
                 "bytes " + std::to_string(range.first) + "-" + std::to_string(range.last) + "/" + std::to_string(size));
    head.content_length(file.end - file.next);
    file.serializer.emplace(head);
    c.arm(c.state_.gallery.config.budgets.send_time);
    http::async_write_header(c.socket_, *file.serializer, [self = c.shared_from_this()](beast::error_code ec, std::size_t) {
        bool late = deadline_passed(self->deadline_);
        if (ec || late || self->head_only_) return self->finish_reply(self->file_->status, 0);
        next_piece(*self);
    });
}

// Files go out through the one fixed buffer, a piece at a time.
void FileSteps::next_piece(Connection& c) {
    FileSend& file = *c.file_;
    if (file.next >= file.end) return c.finish_reply(file.status, file.sent);
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(c.chunk().size(), file.end - file.next));
    int fd = file.fd;
    char* into = c.chunk().data();
    off_t at = static_cast<off_t>(file.next);
    c.off_network(
        c.state_.reads, [fd, into, want, at] { return ::pread(fd, into, want, at); },
        [&c](ssize_t n) {
            FileSend& file = *c.file_;
            if (n <= 0) return c.finish_reply(file.status, file.sent);  // the length promised cannot be kept: close
            file.next += static_cast<std::uint64_t>(n);
            c.arm(c.state_.gallery.config.budgets.send_time);
            asio::async_write(c.socket_, asio::buffer(c.chunk().data(), static_cast<std::size_t>(n)),
                              [self = c.shared_from_this()](beast::error_code ec, std::size_t written) {
                                  bool late = deadline_passed(self->deadline_);
                                  self->file_->sent += written;
                                  if (ec || late) return self->finish_reply(self->file_->status, self->file_->sent);
                                  next_piece(*self);
                              });
        },
        true);
}
