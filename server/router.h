// The route table: which function answers which path. A route is one line in `routes()`; a route
// gets the path's remainder after its prefix and finds the query string on the connection.
#pragma once

#include <string_view>

#include "connection.h"

// The query is ignored when routing (links shared on other sites come decorated with one) but kept
// for the routes that use it.
struct RouteTarget {
    std::string_view path;
    std::string_view query;  // after '?', without it
};
RouteTarget split_target(std::string_view target);

struct Route {
    http::verb method;       // GET also answers HEAD
    std::string_view path;   // the whole path, or its start when `prefix`
    bool prefix = false;
    void (*serve)(Connection& connection, std::string_view rest);
    bool takes_body = false;  // only such a route may be sent a body
};

const std::vector<Route>& routes();

inline constexpr std::string_view upload_path = "/add/Client.aspx";
inline constexpr std::string_view chunked_refusal =
    "chunked uploads are not accepted; send the body with a Content-Length";

void route_request(Connection& connection, std::string_view path, bool body_follows);
