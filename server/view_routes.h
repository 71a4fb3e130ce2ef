// Routes that read an album: its pages, the picture view, the pictures and their copies, downloads
// with names, the album as one zip, and the numbered links of albums stored before keys.
#pragma once

#include <string_view>

#include "connection.h"

// The answer to a read the store could not do (logged): 503 when the database did not answer in
// time, else 500 saying `what` cannot be read.
Reply read_failure_reply(const StoreFailure& failure, std::string_view what);

// GET under album_prefix: `rest` is the path after it.
void serve_album_address(Connection& connection, std::string_view rest);
// GET /album/<n> and /files/<n>: a redirect to the new address with --legacy-links on, else 404.
void serve_legacy_album(Connection& connection, std::string_view rest);
void serve_legacy_file(Connection& connection, std::string_view rest);
