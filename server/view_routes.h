// Routes around an album besides its page: the picture view, copies by size, downloads with names,
// and the album as one zip.
#pragma once

#include <string_view>

#include "connection.h"

// The answer to a read the store could not do (logged): 503 when the database did not answer in
// time, else 500 saying `what` cannot be read.
Reply read_failure_reply(const StoreFailure& failure, std::string_view what);

// Everything read_view_address recognises.
void serve_view(Connection& connection, const ViewAddress& view);
// Route table entries: the remainder after /thumbs/ and after /download/.
void serve_thumbnail(Connection& connection, std::string_view rest);
void serve_download(Connection& connection, std::string_view rest);
