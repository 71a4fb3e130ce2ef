// Owner routes: a change needs the album's owner cookie and must come from the gallery's own page
// (its Origin, or its Referer without one); SameSite=Strict keeps the cookie off other sites'
// requests as well. Changes run on the write lane and answer with the album page (303) or, for a
// deleted album, a page saying it is gone.
#include "owner_routes.h"

#include <iostream>

#include "album_keys.h"
#include "owner_access.h"
#include "picture_views.h"
#include "view_routes.h"

namespace {

constexpr std::string_view not_owner =
    "Only the album's owner may change it: open the owner link the upload gave, in this browser.";
constexpr std::string_view not_own_page = "Changes to an album are taken only from the album's own page.";

bool served_securely(Connection& c) { return c.state().gallery.public_url.starts_with("https://"); }

Reply see_album(const std::string& key) {
    Reply reply = text_reply(303, "see " + album_page_address(key));
    reply.cache = "no-store";
    reply.fields.emplace_back(http::field::location, album_page_address(key));
    return reply;
}

Reply page_reply(int status, std::string html) {
    Reply reply = html_reply(status, std::move(html));
    reply.cache = "no-store";
    return reply;
}

Reply change_failure_reply(const StoreFailure& failure) {
    std::cerr << "gallery-server: album not changed: " << failure.detail << "\n";
    if (failure.unavailable) return text_reply(503, std::string(database_unavailable));
    return text_reply(500, "the album cannot be changed right now");
}

struct Change {
    AlbumTarget target;
    std::string title;    // rename: the new name
    std::string cookies;  // the request's Cookie field
};

struct Outcome {
    int status = 0;  // 0: done; else 403, 404 or 410
    StoreFailure failure;
};

// Runs on the write lane: the owner check and the change read the album as it is now.
Outcome make_change(const GalleryStore& store, const Change& change) {
    Outcome outcome;
    AlbumLookup lookup = look_up_album(store, change.target.key, change.cookies);
    outcome.failure = lookup.failure;
    if (!outcome.failure.detail.empty()) return outcome;
    if ((outcome.status = album_unavailable(lookup))) return outcome;
    if (!lookup.owner) {
        outcome.status = 403;
        return outcome;
    }
    const StoredAlbum& album = *lookup.album;
    bool done = false;
    switch (change.target.kind) {
        case AlbumTarget::rename: done = rename_album(store, album.id, change.title, outcome.failure); break;
        case AlbumTarget::remove_album: done = delete_album(store, album.id, outcome.failure); break;
        case AlbumTarget::remove:
            for (const StoredPicture& picture : album.pictures)
                if (picture.number == change.target.number)
                    done = remove_picture(store, album.id, picture.id, outcome.failure);
            break;
        default: break;
    }
    // Not done and no failure: the album or picture went in the meantime.
    if (!done && outcome.failure.detail.empty()) outcome.status = 404;
    return outcome;
}

void finish_change(Connection& c, const Change& change, const Outcome& outcome) {
    ServerState& state = c.state();
    const std::string& key = change.target.key;
    if (!outcome.failure.detail.empty()) return c.send(change_failure_reply(outcome.failure));
    drop_album_pages(state.pages, key);
    if (outcome.status == 403) return c.send(page_reply(403, notice_page_html("Not allowed", not_owner)));
    if (outcome.status == 410) return c.send(page_reply(410, gone_page_html()));
    if (outcome.status == 404)
        return c.send(page_reply(404, not_found_page_html("There is no such album or picture any more.")));
    if (change.target.kind != AlbumTarget::remove_album) return c.send(see_album(key));
    Reply gone = page_reply(200, notice_page_html("Album deleted", "The album and all its pictures were deleted."));
    gone.fields.emplace_back(http::field::set_cookie, cleared_owner_cookie(key, served_securely(c)));
    c.send(std::move(gone));
}

}  // namespace

void serve_owner_link(Connection& c, const std::string& key) {
    std::string secret = form_value(c.query(), owner_query_name).value_or(std::string());
    const GalleryStore& store = c.state().gallery.store;
    struct Checked {
        AlbumLookup lookup;
        bool matches = false;
    };
    c.off_network(
        c.state().reads,
        [key, secret, &store] {
            Checked checked{look_up_album(store, key), false};
            if (checked.lookup.album && !checked.lookup.album->deleted)
                checked.matches = owner_secret_matches(secret, checked.lookup.album->owner_hash);
            return checked;
        },
        [&c, key, secret](Checked checked) {
            if (!checked.lookup.failure.detail.empty()) return c.send(read_failure_reply(checked.lookup.failure, "album"));
            if (int status = album_unavailable(checked.lookup)) {
                ViewPage page = unavailable_page(status);
                return c.send(page_reply(page.status, std::move(page.html)));
            }
            // A wrong secret still leads to the album (its key alone shows it) and out of the
            // address bar, just without the owner's tools.
            Reply reply = see_album(key);
            if (checked.matches)
                reply.fields.emplace_back(http::field::set_cookie, owner_cookie(key, secret, served_securely(c)));
            c.send(std::move(reply));
        });
}

void serve_album_change(Connection& c, std::string_view rest) {
    Change change{read_album_target(rest), {}, std::string(c.request()[http::field::cookie])};
    auto kind = change.target.kind;
    if (kind != AlbumTarget::rename && kind != AlbumTarget::remove && kind != AlbumTarget::remove_album)
        return c.send(html_reply(404, not_found_page_html("There is nothing to change at this address.")));
    const auto& req = c.request();
    if (!from_own_page(req[http::field::origin], req[http::field::referer], req[http::field::host]))
        return c.send(page_reply(403, notice_page_html("Not allowed", not_own_page)));
    c.read_form([&c, change = std::move(change)](std::string form) mutable {
        if (change.target.kind == AlbumTarget::rename) {
            std::optional<std::string> typed = form_value(form, "title");
            std::string why = "the form carries no album name";
            std::optional<std::string> title = typed ? checked_title(*typed, why) : std::nullopt;
            if (!title) return c.send(page_reply(400, notice_page_html("Not renamed", "The album was not renamed: " + why + ".")));
            change.title = std::move(*title);
        }
        const GalleryStore& store = c.state().gallery.store;
        auto shared = std::make_shared<Change>(std::move(change));
        c.off_network(
            c.state().writes, [shared, &store] { return make_change(store, *shared); },
            [&c, shared](Outcome outcome) { finish_change(c, *shared, outcome); });
    });
}
