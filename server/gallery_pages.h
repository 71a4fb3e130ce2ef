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

std::string album_page_html(const StoredAlbum& album);

std::string not_found_page_html(std::string_view what);
