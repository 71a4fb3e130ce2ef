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

// The album's full address under the public URL; with `owner_secret`, the owner link the upload
// reply carries.
std::string album_address(std::string_view public_url, std::string_view key, std::string_view owner_secret = {});

// The address alone, or a report of the refused files, the "*****\r\n" marker, then the address.
std::string upload_reply_body(std::string_view address, const std::vector<Refusal>& refusals);

// Why no album was made (a one-line reason), then the refused files, one a line.
std::string no_album_reply_body(std::size_t listed, const std::vector<Refusal>& refusals);

// The album page's style and script, served as files under these paths.
constexpr std::string_view page_style_path = "/static/album.css";
constexpr std::string_view page_script_path = "/static/album.js";
extern const std::string_view page_style;
extern const std::string_view page_script;

// Sent with every reply: no inline script, no framing, forms only to this gallery.
constexpr std::string_view content_security_policy =
    "default-src 'none'; img-src 'self'; style-src 'self'; script-src 'self'; base-uri 'none'; "
    "form-action 'self'; frame-ancestors 'none'";
// Addresses never leave the site, yet the owner's forms carry their own Origin (a no-referrer page
// would send "null" and could not tell its own forms from another site's).
constexpr std::string_view referrer_policy = "same-origin";

// The longest album name the owner may give, in bytes of UTF-8.
constexpr std::size_t longest_title = 200;

// The album's name on its pages and its zip: the folder its pictures came from, else its date.
std::string album_title(const StoredAlbum& album);

// File-manager order: runs of digits compare as numbers (IMG_2 before IMG_10), letters without case.
bool natural_less(std::string_view a, std::string_view b);
// The album's pictures in the order every page and the zip show them.
void put_in_shown_order(StoredAlbum& album);

// Every public address lies under the album's key: /a/<key> (its pages), /a/<key>/<n> (the view
// of its picture number n) and below that the picture's files. Nothing public is numbered across
// the store, so no address leads to another album.
constexpr std::string_view album_prefix = "/a/";
std::string album_page_address(std::string_view key, std::size_t page = 1);
std::string picture_view_address(std::string_view key, std::int64_t number);
std::string original_address(std::string_view key, std::int64_t number);
std::string thumbnail_address(std::string_view key, std::int64_t number, int size);
std::string download_address(std::string_view key, std::int64_t number);
std::string album_zip_address(std::string_view key);
// Where the owner's forms post to.
std::string rename_address(std::string_view key);
std::string remove_address(std::string_view key, std::int64_t number);
std::string delete_address(std::string_view key);

// A positive decimal number, as found in ?page=<n> and the picture numbers of addresses.
bool parse_positive(std::string_view text, std::int64_t& number);

// What the router reads back from an address under /a/.
struct AlbumTarget {
    enum Kind { none, album_page, picture_view, original, thumbnail, download, album_zip, rename, remove, remove_album };
    Kind kind = none;
    std::string key;
    std::int64_t number = 0;  // the picture's number in its album
    int size = 0;             // a thumbnail's size
};
// `rest` is the path after album_prefix.
AlbumTarget read_album_target(std::string_view rest);

// Content-Disposition for a download named `label`: an ASCII fallback and the UTF-8 name (RFC 6266).
std::string attachment_disposition(std::string_view label);

// An album page shows at most this many cards, so a long album's pages stay small; page 1 is
// /a/<key>, page N /a/<key>?page=N.
constexpr std::size_t album_page_cards = 200;
// At least 1: an empty album still has its page.
std::size_t album_page_count(const StoredAlbum& album);
// The page asked for in an album page's query: 1 without a `page` parameter (other parameters are
// ignored), nothing when its value is not a positive decimal number.
std::optional<std::size_t> album_page_number(std::string_view query);
// The page that shows the picture at `index` (in shown order), for the picture view's link back.
std::size_t album_page_of(std::size_t index);

// Page `page` (1-based, at most album_page_count) of `album`. `facts` holds one entry per picture
// on that page (in shown order); a picture without facts, or one its facts call undecodable, is
// shown by its original. The owner's page adds the forms that rename, remove and delete.
std::string album_page_html(const StoredAlbum& album, const std::vector<PictureFacts>& facts = {},
                            std::size_t page = 1, bool owner = false);
// The view of picture `index` of `album` (in shown order), with links to its neighbours.
std::string picture_page_html(const StoredAlbum& album, std::size_t index, const PictureFacts& facts);

std::string not_found_page_html(std::string_view what);
// A short page with a heading and one sentence: refusals, a deleted album.
std::string notice_page_html(std::string_view heading, std::string_view what);
std::string gone_page_html();
