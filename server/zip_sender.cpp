// Sending an album's zip: each piece made on the read lane, written out before the next is made.
// The zip's length is not known up front, so it goes without one and the close ends it.
#include <iostream>

#include "album_zip.h"
#include "connection.h"
#include "picture_views.h"
#include "view_routes.h"

struct ZipSteps {
    struct Piece {
        bool more = false;
        std::string error;
    };
    static void next_piece(Connection& c, std::shared_ptr<AlbumZip> zip, std::shared_ptr<std::string> piece,
                           std::shared_ptr<std::uint64_t> sent);
};

void Connection::serve_zip(std::string key) {
    const GalleryStore& store = state_.gallery.store;
    off_network(
        state_.reads, [key = std::move(key), &store] { return look_up_album(store, key); },
        [this](AlbumLookup loaded) {
            if (!loaded.failure.detail.empty()) return send(read_failure_reply(loaded.failure, "album"));
            if (int status = album_unavailable(loaded)) {
                ViewPage page = unavailable_page(status);
                return send(html_reply(page.status, std::move(page.html)));
            }
            std::shared_ptr<AlbumZip> zip(start_album_zip(state_.gallery.store, *loaded.album).release(), AlbumZipDeleter{});
            auto& head = reply_head_.emplace(http::status::ok, 11);
            add_common_headers(head);
            head.set(http::field::content_type, "application/zip");
            head.set(http::field::content_disposition, attachment_disposition(album_zip_name(*loaded.album)));
            head.set(http::field::cache_control, "no-cache");
            serializer_.emplace(head);
            arm(state_.gallery.config.budgets.send_time);
            http::async_write_header(socket_, *serializer_, [self = shared_from_this(), zip](beast::error_code ec, std::size_t) {
                bool late = deadline_passed(self->deadline_);
                if (ec || late || self->head_only_) return self->finish_reply(200, 0);
                ZipSteps::next_piece(*self, zip, std::make_shared<std::string>(), std::make_shared<std::uint64_t>(0));
            });
        });
}

void ZipSteps::next_piece(Connection& c, std::shared_ptr<AlbumZip> zip, std::shared_ptr<std::string> piece,
                          std::shared_ptr<std::uint64_t> sent) {
    piece->clear();
    c.off_network(
        c.state_.reads,
        [zip, piece] {
            Piece result;
            result.more = next_zip_piece(*zip, *piece, result.error);
            return result;
        },
        [&c, zip, piece, sent](Piece result) {
            // A zip cut short by an error ends without its directory, which every reader reports.
            if (!result.error.empty()) std::cerr << "gallery-server: album zip cut short: " << result.error << "\n";
            if (!result.more) return c.finish_reply(200, *sent);
            c.arm(c.state_.gallery.config.budgets.send_time);
            asio::async_write(c.socket_, asio::buffer(*piece),
                              [self = c.shared_from_this(), zip, piece, sent](beast::error_code ec, std::size_t written) {
                                  bool late = deadline_passed(self->deadline_);
                                  *sent += written;
                                  if (ec || late) return self->finish_reply(200, *sent);
                                  next_piece(*self, zip, piece, sent);
                              });
        },
        true);
}
