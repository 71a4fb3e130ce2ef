// The routes: the table, and the small routes that need no file of their own.
#include "router.h"

#include <iostream>

#include "gallery_pages.h"
#include "gallery_server.h"
#include "owner_routes.h"
#include "view_routes.h"

namespace {

void serve_limits(Connection& c, std::string_view) {
    c.send(text_reply(200, limits_text(c.state().gallery.config.limits)));
}

void serve_home(Connection& c, std::string_view) {
    c.send(text_reply(200, "This gallery takes uploads at " + std::string(upload_path) + ".\n"));
}

void serve_static(Connection& c, std::string_view body, const char* type) {
    Reply reply{200, std::make_shared<const std::string>(body), type, "public, max-age=3600", {}};
    c.send(std::move(reply));
}

void serve_style(Connection& c, std::string_view) { serve_static(c, page_style, "text/css; charset=utf-8"); }
void serve_script(Connection& c, std::string_view) { serve_static(c, page_script, "text/javascript; charset=utf-8"); }

void receive_upload(Connection& c, std::string_view) { c.start_upload(); }

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
        {verb::get, album_prefix, true, serve_album_address},
        {verb::post, album_prefix, true, serve_album_change, true},
        {verb::get, "/album/", true, serve_legacy_album},
        {verb::get, "/files/", true, serve_legacy_file},
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
    // Only the upload and the owners' forms read a body; any other route refuses one before a byte
    // of it is read.
    if (body_follows)
        return c.send(text_reply(413, "only uploads to " + std::string(upload_path) + " and album owners' forms may carry a body"));
    if (method != http::verb::get && method != http::verb::head)
        return c.send(text_reply(405, "this gallery answers GET and HEAD, and POST for uploads and album owners' changes"));
    if (!found) return c.send(text_reply(404, "not found"));
    found->serve(c, rest);
}
