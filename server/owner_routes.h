// The album owner's routes: the owner link that trades its secret for a cookie, and the forms that
// rename the album, remove a picture and delete the album.
#pragma once

#include <string>
#include <string_view>

#include "connection.h"

// GET /a/<key>?owner=<secret>: 303 to the clean address, with the owner's cookie when the secret
// is the album's, so the secret stays neither in the history nor in a Referer.
void serve_owner_link(Connection& connection, const std::string& key);
// POST under album_prefix: `rest` is the path after it.
void serve_album_change(Connection& connection, std::string_view rest);
