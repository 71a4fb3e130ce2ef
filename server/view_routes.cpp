// The view routes: the album is looked up by its key on every request (one indexed query), so a
// page is only ever served for the revision the store holds now; pages are rendered on the read
// lane and kept in the page cache under that revision, files go out through the file sender, zips
// through the zip sender.
#include "view_routes.h"

#include <iostream>

#include "owner_access.h"
#include "owner_routes.h"
#include "picture_views.h"

namespace {

void send_page(Connection& c, const std::shared_ptr<const CachedPage>& page, bool owner) {
    auto& req = c.request();
    bool fresh = page->status == 200 && etag_matches(req[http::field::if_none_match], page->etag);
    // The owner's page is theirs alone: no shared cache may keep it.
    Reply reply{fresh ? 304 : page->status, nullptr, page->content_type, owner ? "private, no-cache" : "no-cache", {}};
    if (page->status == 200) reply.fields.emplace_back(http::field::etag, page->etag);
    else reply.cache.clear();
    // The same address is the owner's page with their cookie and a visitor's without.
    reply.fields.emplace_back(http::field::vary, "Cookie");
    // The body is shared with the cache, never copied per request.
    if (!fresh) reply.body = std::shared_ptr<const std::string>(page, &page->body);
    c.send(std::move(reply));
}

void send_view_page(Connection& c, ViewPage page) {
    if (!page.failure.detail.empty()) return c.send(read_failure_reply(page.failure, "album"));
    Reply reply = html_reply(page.status, std::move(page.html));
    if (page.status == 200) reply.cache = "no-cache";
    c.send(std::move(reply));
}

std::string page_route(bool owner, std::size_t page_number) {
    std::string route = owner ? "owner" : "album";
    route += '-';
    route += std::to_string(page_number);
    return route;
}

struct RenderedPage {
    CachedPage page;
    std::string cache_key;  // empty: not to be kept
};

// Runs on the read lane: the album read again whole (it may have changed since it was looked up),
// then its page.
RenderedPage render_album_page(const GalleryStore& store, ThumbnailMaker& maker, const std::string& key,
                               const std::string& cookies, std::size_t page_number) {
    RenderedPage rendered;
    AlbumLookup lookup = look_up_album(store, key, cookies);
    ViewPage page;
    if (!lookup.failure.detail.empty()) {
        Reply refusal = read_failure_reply(lookup.failure, "album");
        rendered.page = CachedPage{refusal.status, refusal.content_type, *refusal.body, {}};
        return rendered;
    }
    if (int status = album_unavailable(lookup)) {
        page = unavailable_page(status);
    } else {
        page = album_page(store, maker, *lookup.album, page_number, lookup.owner);
        // Only pages that exist are kept; a page beyond the last may exist after the next upload.
        if (page.status == 200) rendered.cache_key = page_key(page_route(lookup.owner, page_number), key, lookup.album->revision);
    }
    rendered.page = CachedPage{page.status, "text/html; charset=utf-8", std::move(page.html), {}};
    return rendered;
}

// Page `page_number` of an album just looked up: from the cache when it holds the page for the
// album's revision, else rendered once for every request waiting for it.
void send_album_page(Connection& c, const AlbumLookup& lookup, std::size_t page_number, std::string cookies) {
    ServerState& state = c.state();
    const std::string& album_key = lookup.album->key;
    std::string key = page_key(page_route(lookup.owner, page_number), album_key, lookup.album->revision);
    if (auto page = find_page(state.pages, key)) return send_page(c, page, lookup.owner);
    PageWaiter waiter = [self = c.shared_from_this(), owner = lookup.owner](const std::shared_ptr<const CachedPage>& page) {
        send_page(*self, page, owner);
    };
    if (auto under_way = state.pages.waiting[key].lock()) return under_way->push_back(std::move(waiter));
    auto waiters = std::make_shared<std::vector<PageWaiter>>();
    state.pages.waiting[key] = waiters;
    const GalleryStore& store = state.gallery.store;
    ThumbnailMaker& maker = state.thumbnails;
    bool started = c.off_network(
        state.reads,
        [&store, &maker, album_key, cookies = std::move(cookies), page_number] {
            return render_album_page(store, maker, album_key, cookies, page_number);
        },
        [&c, key, waiters, owner = lookup.owner](RenderedPage rendered) {
            PageCache& cache = c.state().pages;
            auto page = rendered.cache_key.empty() ? std::make_shared<const CachedPage>(std::move(rendered.page))
                                                   : keep_page(cache, rendered.cache_key, std::move(rendered.page));
            cache.waiting.erase(key);
            send_page(c, page, owner);
            for (PageWaiter& waiter : *waiters) waiter(page);
        });
    // A full lane has answered this request already, and no other waits yet.
    if (!started) state.pages.waiting.erase(key);
}

void serve_album_page(Connection& c, const std::string& key, std::size_t page_number) {
    ServerState& state = c.state();
    const GalleryStore& store = state.gallery.store;
    std::string cookies(c.request()[http::field::cookie]);
    c.off_network(
        state.reads,
        [key, cookies, &store] {
            AlbumLookup lookup = look_up_album(store, key, cookies);
            // What the cache needs is the key, revision and owner; the pictures are read again only
            // when the page must be rendered, so requests in flight hold no album each.
            if (lookup.album) std::vector<StoredPicture>().swap(lookup.album->pictures);
            return lookup;
        },
        [&c, key, page_number, cookies](AlbumLookup lookup) {
            if (!lookup.failure.detail.empty()) return c.send(read_failure_reply(lookup.failure, "album"));
            if (int status = album_unavailable(lookup)) {
                drop_album_pages(c.state().pages, key);
                return send_view_page(c, unavailable_page(status));
            }
            send_album_page(c, lookup, page_number, cookies);
        });
}

void serve_picture_view(Connection& c, const AlbumTarget& target) {
    ServerState& state = c.state();
    const GalleryStore& store = state.gallery.store;
    ThumbnailMaker& maker = state.thumbnails;
    c.off_network(
        state.images, [target, &store, &maker] { return picture_page(store, maker, target.key, target.number); },
        [&c](ViewPage page) { send_view_page(c, std::move(page)); });
}

// A redirect from a numbered link to the address the store gives its row, when the operator keeps
// old links working; the numbers themselves lead nowhere else.
void serve_legacy(Connection& c, std::string_view rest, bool picture) {
    std::int64_t row = 0;
    if (!c.state().gallery.config.legacy_links || !parse_positive(rest, row))
        return c.send(html_reply(404, not_found_page_html("There is nothing at this address.")));
    const GalleryStore& store = c.state().gallery.store;
    struct Found {
        std::optional<std::string> address;
        StoreFailure failure;
    };
    c.off_network(
        c.state().reads,
        [&store, picture, row] {
            Found found;
            found.address = legacy_address(store, picture, row, found.failure);
            return found;
        },
        [&c, picture](Found found) {
            if (!found.failure.detail.empty()) return c.send(read_failure_reply(found.failure, "album"));
            if (!found.address) return c.send(html_reply(404, not_found_page_html("There is nothing at this address.")));
            Reply reply = text_reply(301, "moved");
            // /files/<n> was the picture itself, so it leads to the original, not to its view.
            reply.fields.emplace_back(http::field::location, *found.address + (picture ? "/original" : ""));
            c.send(std::move(reply));
        });
}

}  // namespace

Reply read_failure_reply(const StoreFailure& failure, std::string_view what) {
    std::cerr << "gallery-server: " << failure.detail << "\n";
    if (failure.unavailable) return text_reply(503, std::string(database_unavailable));
    return text_reply(500, "the " + std::string(what) + " cannot be read right now");
}

void serve_album_address(Connection& c, std::string_view rest) {
    AlbumTarget target = read_album_target(rest);
    switch (target.kind) {
        case AlbumTarget::album_page: {
            if (has_field(c.query(), owner_query_name)) return serve_owner_link(c, target.key);
            std::optional<std::size_t> page = album_page_number(c.query());
            if (!page) return c.send(html_reply(404, not_found_page_html("Album pages are numbered 1, 2, 3, ...")));
            return serve_album_page(c, target.key, *page);
        }
        case AlbumTarget::picture_view: return serve_picture_view(c, target);
        case AlbumTarget::original: return c.serve_file(target.key, target.number);
        case AlbumTarget::thumbnail: return c.serve_file(target.key, target.number, target.size);
        case AlbumTarget::download: return c.serve_file(target.key, target.number, 0, true);
        case AlbumTarget::album_zip: return c.serve_zip(target.key);
        default: return c.send(html_reply(404, not_found_page_html("There is nothing at this address.")));
    }
}

void serve_legacy_album(Connection& c, std::string_view rest) { serve_legacy(c, rest, false); }
void serve_legacy_file(Connection& c, std::string_view rest) { serve_legacy(c, rest, true); }
