// Texts the gallery sends: the upload reply, the album page, and HTML escaping for both.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gallery_store.h"
#include "thumbnails.h"

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

// The album's name on its pages and its zip: the folder its pictures came from, else its date.
std::string album_title(const StoredAlbum& album);

// File-manager order: runs of digits compare as numbers (IMG_2 before IMG_10), letters without case.
bool natural_less(std::string_view a, std::string_view b);
// The album's pictures in the order every page and the zip show them.
void put_in_shown_order(StoredAlbum& album);

// Addresses of the pages and files around one album; the router reads them back with read_view_address.
std::string picture_view_address(std::int64_t album_id, std::int64_t picture_id);
std::string thumbnail_address(std::int64_t picture_id, int size);
std::string download_address(std::int64_t picture_id);
std::string album_zip_address(std::int64_t album_id);

// A positive decimal id or number, as found in /album/<id>, /files/<id> and ?page=<n>.
bool parse_id(std::string_view text, std::int64_t& id);

struct ViewAddress {
    enum Kind { none, picture_view, thumbnail, download, album_zip } kind = none;
    std::int64_t album_id = 0, picture_id = 0;
    int size = 0;
};
ViewAddress read_view_address(std::string_view target);

// Content-Disposition for a download named `label`: an ASCII fallback and the UTF-8 name (RFC 6266).
std::string attachment_disposition(std::string_view label);

// An album page shows at most this many cards, so a long album's pages stay small; page 1 is
// /album/<id>, page N /album/<id>?page=N.
constexpr std::size_t album_page_cards = 200;
// At least 1: an empty album still has its page.
std::size_t album_page_count(const StoredAlbum& album);
std::string album_page_address(std::int64_t album_id, std::size_t page);
// The page asked for in an album page's query: 1 without a `page` parameter (other parameters are
// ignored), nothing when its value is not a positive decimal number.
std::optional<std::size_t> album_page_number(std::string_view query);
// The page that shows the picture at `index` (in shown order), for the picture view's link back.
std::size_t album_page_of(std::size_t index);

// Page `page` (1-based, at most album_page_count) of `album`. `facts` holds one entry per picture
// on that page (in shown order); a picture without facts, or one its facts call undecodable, is
// shown by its original.
std::string album_page_html(const StoredAlbum& album, const std::vector<PictureFacts>& facts = {},
                            std::size_t page = 1);
// The view of picture `index` of `album` (in shown order), with links to its neighbours.
std::string picture_page_html(const StoredAlbum& album, std::size_t index, const PictureFacts& facts);

std::string not_found_page_html(std::string_view what);
