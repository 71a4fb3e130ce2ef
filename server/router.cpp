// The routes: the table, and the small routes that need no file of their own.
#include "router.h"

#include <iostream>

#include "gallery_pages.h"
#include "gallery_server.h"
#include "picture_views.h"
#include "view_routes.h"

namespace {

void serve_limits(Connection& c, std::string_view) {
    c.send(text_reply(200, limits_text(c.state().gallery.config.limits)));
}

void serve_home(Connection& c, std::string_view) {
    c.send(text_reply(200, "This gallery takes uploads at " + std::string(upload_path) + "; albums are at /album/<number>.\n"));
}

void serve_static(Connection& c, std::string_view body, const char* type) {
    Reply reply{200, std::make_shared<const std::string>(body), type, "public, max-age=3600", {}};
    c.send(std::move(reply));
}

void serve_style(Connection& c, std::string_view) { serve_static(c, page_style, "text/css; charset=utf-8"); }
void serve_script(Connection& c, std::string_view) { serve_static(c, page_script, "text/javascript; charset=utf-8"); }

void serve_album(Connection& c, std::string_view rest) {
    if (ViewAddress view = read_view_address("/album/" + std::string(rest)); view.kind != ViewAddress::none)
        return serve_view(c, view);
    std::int64_t id = 0;
    if (!parse_id(rest, id)) return c.send(html_reply(404, not_found_page_html("There is no album " + std::string(rest) + ".")));
    std::optional<std::size_t> page = album_page_number(c.query());
    if (!page) return c.send(html_reply(404, not_found_page_html("Album pages are numbered 1, 2, 3, ...")));
    serve_album_page(c, id, *page);
}

void serve_picture(Connection& c, std::string_view rest) {
    std::int64_t id = 0;
    if (!parse_id(rest, id)) return c.send(text_reply(404, "not found"));
    c.serve_file(id);
}

void receive_upload(Connection& c, std::string_view) { c.start_upload(); }

void send_page(Connection& c, const std::shared_ptr<const CachedPage>& page) {
    auto& req = c.request();
    bool fresh = page->status == 200 && etag_matches(req[http::field::if_none_match], page->etag);
    Reply reply{fresh ? 304 : page->status, nullptr, page->content_type, "no-cache", {}};
    if (page->status == 200) reply.fields.emplace_back(http::field::etag, page->etag);
    else reply.cache.clear();
    // The body is shared with the cache, never copied per request.
    if (!fresh) reply.body = std::shared_ptr<const std::string>(page, &page->body);
    c.send(std::move(reply));
}

}  // namespace

RouteTarget split_target(std::string_view target) {
    std::size_t mark = target.find('?');
    if (mark == std::string_view::npos) return {target, {}};
    return {target.substr(0, mark), target.substr(mark + 1)};
}

const std::vector<Route>& routes() {
    using http::verb;
    static const std::vector<Route> table{
        {verb::post, upload_path, false, receive_upload, true},
        {verb::get, "/add/limits.aspx", false, serve_limits},
        {verb::get, "/", false, serve_home},
        {verb::get, page_style_path, false, serve_style},
        {verb::get, page_script_path, false, serve_script},
        {verb::get, "/album/", true, serve_album},
        {verb::get, "/files/", true, serve_picture},
        {verb::get, "/thumbs/", true, serve_thumbnail},
        {verb::get, "/download/", true, serve_download},
    };
    return table;
}

void route_request(Connection& c, std::string_view path, bool body_follows) {
    http::verb method = c.request().method();
    const Route* found = nullptr;
    for (const Route& route : routes()) {
        bool path_fits = route.prefix ? path.starts_with(route.path) : path == route.path;
        bool method_fits = route.method == method || (route.method == http::verb::get && method == http::verb::head);
        if (path_fits && method_fits) {
            found = &route;
            break;
        }
    }
    std::string_view rest = found ? path.substr(found->path.size()) : path;
    if (found && found->takes_body) return found->serve(c, rest);
    // Only the upload reads a body; any other route refuses one before a byte of it is read.
    if (body_follows) return c.send(text_reply(413, "only uploads to " + std::string(upload_path) + " may carry a body"));
    if (method != http::verb::get && method != http::verb::head)
        return c.send(text_reply(405, "this gallery answers GET and HEAD, and POST for uploads"));
    if (!found) return c.send(text_reply(404, "not found"));
    found->serve(c, rest);
}

void serve_album_page(Connection& c, std::int64_t id, std::size_t page_number) {
    ServerState& state = c.state();
    // Each page of an album is kept on its own, and all of them go with the album's other pages.
    std::string route = "album";
    if (page_number > 1) {
        route += '-';
        route += std::to_string(page_number);
    }
    std::string key = page_key(route, id);
    if (auto page = find_page(state.pages, key)) return send_page(c, page);
    struct Rendered {
        CachedPage page;
        StoreFailure failure;
    };
    const GalleryStore& store = state.gallery.store;
    ThumbnailMaker& maker = state.thumbnails;
    c.off_network(
        state.reads,
        [id, page_number, &store, &maker] {
            Rendered rendered;
            ViewPage page = album_page(store, maker, id, page_number);
            rendered.failure = std::move(page.failure);
            rendered.page.content_type = "text/html; charset=utf-8";
            rendered.page.status = page.status;
            rendered.page.body = std::move(page.html);
            return rendered;
        },
        [&c, key](Rendered rendered) {
            if (!rendered.failure.detail.empty()) return c.send(read_failure_reply(rendered.failure, "album"));
            // An album that does not exist yet may exist soon: only pages that exist are kept.
            auto page = rendered.page.status == 200 ? keep_page(c.state().pages, key, std::move(rendered.page))
                                                    : std::make_shared<const CachedPage>(std::move(rendered.page));
            send_page(c, page);
        });
}
