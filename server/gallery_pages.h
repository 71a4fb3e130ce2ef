// Texts the gallery sends: the upload reply, the album page, and HTML escaping for both.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "gallery_store.h"

struct Refusal {
    std::string name;
    std::string reason;
};

std::string html_escape(std::string_view text);

std::string album_address(std::string_view public_url, std::int64_t album_id);

// The address alone, or a report of the refused files, the "*****\r\n" marker, then the address.
std::string upload_reply_body(std::string_view address, const std::vector<Refusal>& refusals);

// Why no album was made (a one-line reason), then the refused files, one a line.
std::string no_album_reply_body(std::size_t listed, const std::vector<Refusal>& refusals);

// The album page's style and script, served as files under these paths.
constexpr std::string_view page_style_path = "/static/album.css";
constexpr std::string_view page_script_path = "/static/album.js";
extern const std::string_view page_style;
extern const std::string_view page_script;

// Sent with every reply: no inline script, no framing, no type guessing, no referrer.
constexpr std::string_view content_security_policy =
    "default-src 'none'; img-src 'self'; style-src 'self'; script-src 'self'; base-uri 'none'; "
    "form-action 'none'; frame-ancestors 'none'";

std::string album_page_html(const StoredAlbum& album);

std::string not_found_page_html(std::string_view what);
