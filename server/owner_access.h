// The album owner's capability on the web: the owner link's secret traded for a cookie scoped to
// the album, the check that a change comes from the gallery's own page, and the owner's form fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "gallery_store.h"

inline constexpr std::string_view owner_cookie_name = "owner";
inline constexpr std::string_view owner_query_name = "owner";
inline constexpr std::uint64_t owner_cookie_seconds = 365 * 24 * 3600;

// Set-Cookie values: the capability for the album's addresses only, out of reach of script and of
// requests from other sites; Secure when the gallery is served over HTTPS. The cleared one ends it.
std::string owner_cookie(std::string_view key, std::string_view secret, bool secure);
std::string cleared_owner_cookie(std::string_view key, bool secure);

// Whether any cookie named "owner" in a Cookie field holds the album's owner secret.
bool holds_owner_cookie(const StoredAlbum& album, std::string_view cookies);

// The value of parameter `name` in a query or an urlencoded form, decoded ('+' and %XX); nothing
// when it is absent or its escapes are broken.
std::optional<std::string> form_value(std::string_view fields, std::string_view name);
// Whether parameter `name` is there at all, its value readable or not.
bool has_field(std::string_view fields, std::string_view name);

// A request target as it may be logged: an owner secret in its query is blanked, so the log holds
// no capability.
std::string without_owner_secret(std::string_view target);

// Whether a change was sent by a page of this gallery: the authority of `origin` (or, without one,
// of `referer`) is the request's Host. Neither present counts as elsewhere.
bool from_own_page(std::string_view origin, std::string_view referer, std::string_view host);

// A new album name as the owner typed it: surrounding spaces dropped; empty names the album by its
// date again. Nothing, with `why` set, for text that is not UTF-8, holds control characters or is
// longer than longest_title.
std::optional<std::string> checked_title(std::string_view typed, std::string& why);
