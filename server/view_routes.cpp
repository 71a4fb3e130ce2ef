// The view routes: pages are read on the image lane (they read picture headers the first time),
// files go out through the file sender, zips through the zip sender.
#include "view_routes.h"

#include <iostream>

#include "picture_views.h"

Reply read_failure_reply(const StoreFailure& failure, std::string_view what) {
    std::cerr << "gallery-server: " << failure.detail << "\n";
    if (failure.unavailable) return text_reply(503, std::string(database_unavailable));
    return text_reply(500, "the " + std::string(what) + " cannot be read right now");
}

void serve_view(Connection& c, const ViewAddress& view) {
    switch (view.kind) {
        case ViewAddress::thumbnail: return c.serve_file(view.picture_id, view.size);
        case ViewAddress::download: return c.serve_file(view.picture_id, 0, true);
        case ViewAddress::album_zip: return c.serve_zip(view.album_id);
        case ViewAddress::picture_view: break;
        case ViewAddress::none: return c.send(text_reply(404, "not found"));
    }
    ServerState& state = c.state();
    const GalleryStore& store = state.gallery.store;
    ThumbnailMaker& maker = state.thumbnails;
    c.off_network(
        state.images, [view, &store, &maker] { return picture_page(store, maker, view.album_id, view.picture_id); },
        [&c](ViewPage page) {
            if (!page.failure.detail.empty()) return c.send(read_failure_reply(page.failure, "album"));
            Reply reply = html_reply(page.status, std::move(page.html));
            if (page.status == 200) reply.cache = "no-cache";
            c.send(std::move(reply));
        });
}

void serve_thumbnail(Connection& c, std::string_view rest) {
    serve_view(c, read_view_address("/thumbs/" + std::string(rest)));
}

void serve_download(Connection& c, std::string_view rest) {
    serve_view(c, read_view_address("/download/" + std::string(rest)));
}
