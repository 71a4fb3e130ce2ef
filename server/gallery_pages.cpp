// Builds the upload reply and the album page; every client-supplied text is escaped on its way into HTML.
#include "gallery_pages.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "album_keys.h"
#include "upload_body.h"

std::string html_escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string album_address(std::string_view public_url, std::string_view key, std::string_view owner_secret) {
    std::string address(public_url);
    while (!address.empty() && address.back() == '/') address.pop_back();
    address += album_page_address(key);
    if (!owner_secret.empty()) {
        address += "?owner=";
        address += owner_secret;
    }
    return address;
}

namespace {

std::string refusal_lines(const std::vector<Refusal>& refusals) {
    std::string lines;
    for (const Refusal& refusal : refusals) {
        lines += '\n';
        lines += show_hidden_marks(refusal.name);
        lines += ": ";
        lines += refusal.reason;
    }
    return lines;
}

}  // namespace

std::string upload_reply_body(std::string_view address, const std::vector<Refusal>& refusals) {
    if (refusals.empty()) return std::string(address);
    std::string report = refusals.size() == 1 ? "1 file was not added:" :
                                                std::to_string(refusals.size()) + " files were not added:";
    // The uploader shows everything before the marker and opens everything after it, untrimmed.
    return report + refusal_lines(refusals) + "\n*****\r\n" + std::string(address);
}

std::string no_album_reply_body(std::size_t listed, const std::vector<Refusal>& refusals) {
    std::string reason = listed == 0 ? "no album was made: the upload holds no files"
                         : listed == 1 ? "no album was made: the file sent is not a picture the gallery shows"
                                       : "no album was made: none of the " + std::to_string(listed) +
                                             " files sent is a picture the gallery shows";
    return reason + refusal_lines(refusals);
}

const std::string_view page_style = R"css(
body{margin:0;font:15px/1.4 system-ui,-apple-system,"Segoe UI",sans-serif;background:#f4f4f2;color:#222}
header{padding:18px 24px;background:#fff;border-bottom:1px solid #ddd}
h1{margin:0;font-size:20px;font-weight:600;overflow-wrap:anywhere}
header p{margin:4px 0 0;color:#666;font-size:13px}
header a{color:#2457a6}
main{display:grid;grid-template-columns:repeat(auto-fill,minmax(200px,1fr));gap:16px;padding:24px}
figure{margin:0;background:#fff;border:1px solid #ddd;border-radius:6px;overflow:hidden}
figure a{display:flex;align-items:center;justify-content:center;height:200px;background:#e9e9e6}
figure img{max-width:100%;max-height:200px;width:auto;height:auto;object-fit:contain}
figure img[data-state=broken]{visibility:hidden}
figcaption{padding:8px 10px;font-size:13px;overflow-wrap:anywhere}
figcaption .dims{display:block;color:#888;font-size:12px}
.empty{padding:24px;color:#666}
nav.pages{display:flex;justify-content:center;gap:16px;padding:16px 24px 0}
main+nav.pages{padding:0 24px 24px}
nav.pages a{color:#2457a6}
nav.pages span{color:#888}
.owner{display:flex;flex-wrap:wrap;align-items:center;gap:12px;margin-top:10px;font-size:13px}
.owner input{font:inherit;padding:4px 6px;min-width:16em}
.owner button,form.remove button{font:inherit;font-size:12px;padding:3px 8px;cursor:pointer}
.owner summary{cursor:pointer;color:#a33}
form.remove{display:inline;float:right}
.view{display:flex;flex-direction:column;min-height:100vh;background:#111;color:#eee}
.view header{background:#1b1b1b;border-color:#333}
.view header p,.view header a{color:#bbb}
.view main{display:flex;flex:1;align-items:center;justify-content:center;padding:8px}
.view main img{max-width:100%;max-height:calc(100vh - 140px);width:auto;height:auto}
.view nav{display:flex;justify-content:space-between;gap:8px;padding:12px 24px}
.view nav a{color:#eee;padding:10px 14px;border:1px solid #444;border-radius:6px;text-decoration:none}
.view nav span{padding:10px 14px;color:#555}
@media (max-width:480px){main{padding:12px;gap:12px}header{padding:12px}.view nav{padding:8px 12px}}
)css";

// Album: marks pictures that failed to load. Picture view: arrow keys and swipes follow the
// previous/next links, Escape goes back to the album, and the next picture is fetched ahead.
const std::string_view page_script = R"js(
for (const img of document.querySelectorAll('main img')) {
  const done = () => {
    const ok = img.naturalWidth > 0;
    img.dataset.state = ok ? 'loaded' : 'broken';
    const dims = img.closest('figure') && img.closest('figure').querySelector('.dims');
    if (!ok && dims) dims.textContent = 'could not be shown';
  };
  if (img.complete) done(); else { img.addEventListener('load', done); img.addEventListener('error', done); }
}
const view = document.querySelector('body.view');
if (view) {
  const go = rel => { const link = document.querySelector('a[rel~="' + rel + '"]'); if (link) location.href = link.href; };
  document.addEventListener('keydown', e => {
    if (e.altKey || e.ctrlKey || e.metaKey) return;
    if (e.key === 'ArrowLeft') go('prev'); else if (e.key === 'ArrowRight') go('next'); else if (e.key === 'Escape') go('up');
  });
  let startX = null, startY = 0;
  document.addEventListener('touchstart', e => { if (e.touches.length === 1) { startX = e.touches[0].clientX; startY = e.touches[0].clientY; } }, {passive: true});
  document.addEventListener('touchend', e => {
    if (startX === null) return;
    const dx = e.changedTouches[0].clientX - startX, dy = e.changedTouches[0].clientY - startY;
    startX = null;
    if (Math.abs(dx) > 60 && Math.abs(dx) > 2 * Math.abs(dy)) go(dx < 0 ? 'next' : 'prev');
  });
  if (view.dataset.next) new Image().src = view.dataset.next;
}
)js";

namespace {

// Style and script are files of their own, so the page's policy can forbid every inline script.
std::string page_head(std::string_view title) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
           "<title>" + html_escape(title) + "</title><link rel=\"stylesheet\" href=\"" + std::string(page_style_path) +
           "\"></head>\n";
}

// Names are shown with their hidden marks made visible, so one name cannot pass for another.
std::string shown_name(std::string_view name) { return html_escape(show_hidden_marks(name)); }

std::string page_script_tag() { return "<script src=\"" + std::string(page_script_path) + "\"></script>\n"; }

std::string size_attributes(std::pair<int, int> size) {
    return " width=\"" + std::to_string(size.first) + "\" height=\"" + std::to_string(size.second) + "\"";
}

bool has_copies(const std::vector<PictureFacts>& facts, std::size_t index) {
    return index < facts.size() && facts[index].decodable;
}

std::string readable_time(std::string_view created) {
    static const char* const months[] = {"January", "February", "March",     "April",   "May",      "June",
                                         "July",    "August",   "September", "October", "November", "December"};
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    if (std::sscanf(std::string(created).c_str(), "%d-%d-%d %d:%d", &year, &month, &day, &hour, &minute) != 5 ||
        month < 1 || month > 12)
        return std::string(created);
    char text[64];
    std::snprintf(text, sizeof text, "%d %s %d, %02d:%02d UTC", day, months[month - 1], year, hour, minute);
    return text;
}

char folded(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// -1, 0 or 1 as `a` sorts before, with or after `b`.
int natural_compare(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            std::size_t a_end = i, b_end = j;
            while (a_end < a.size() && is_digit(a[a_end])) ++a_end;
            while (b_end < b.size() && is_digit(b[b_end])) ++b_end;
            std::string_view x = a.substr(i, a_end - i), y = b.substr(j, b_end - j);
            std::string_view x_value = x.substr(std::min(x.find_first_not_of('0'), x.size()));
            std::string_view y_value = y.substr(std::min(y.find_first_not_of('0'), y.size()));
            if (x_value.size() != y_value.size()) return x_value.size() < y_value.size() ? -1 : 1;
            if (int c = x_value.compare(y_value)) return c < 0 ? -1 : 1;
            i = a_end;
            j = b_end;
            continue;
        }
        char x = folded(a[i]), y = folded(b[j]);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;
    return 0;
}

}  // namespace

bool natural_less(std::string_view a, std::string_view b) {
    int c = natural_compare(a, b);
    return c != 0 ? c < 0 : a < b;  // names equal but for case or leading zeros still have one order
}

void put_in_shown_order(StoredAlbum& album) {
    std::stable_sort(album.pictures.begin(), album.pictures.end(),
                     [](const StoredPicture& a, const StoredPicture& b) { return natural_less(a.name, b.name); });
}

std::string album_title(const StoredAlbum& album) {
    return album.title.empty() ? "Pictures of " + readable_time(album.created) : album.title;
}

namespace {

std::string under_picture(std::string_view key, std::int64_t number, std::string_view leaf) {
    std::string address = picture_view_address(key, number);
    address += '/';
    address += leaf;
    return address;
}

constexpr std::string_view zip_leaf = "album.zip";
constexpr std::string_view thumbnail_suffix = "px";

}  // namespace

std::string picture_view_address(std::string_view key, std::int64_t number) {
    std::string address = album_page_address(key);
    address += '/';
    address += std::to_string(number);
    return address;
}
std::string original_address(std::string_view key, std::int64_t number) { return under_picture(key, number, "original"); }
std::string thumbnail_address(std::string_view key, std::int64_t number, int size) {
    return under_picture(key, number, std::to_string(size) + std::string(thumbnail_suffix));
}
std::string download_address(std::string_view key, std::int64_t number) { return under_picture(key, number, "download"); }
std::string album_zip_address(std::string_view key) { return album_page_address(key) + "/" + std::string(zip_leaf); }
std::string rename_address(std::string_view key) { return album_page_address(key) + "/rename"; }
std::string remove_address(std::string_view key, std::int64_t number) { return under_picture(key, number, "remove"); }
std::string delete_address(std::string_view key) { return album_page_address(key) + "/delete"; }

bool parse_positive(std::string_view text, std::int64_t& number) {
    if (text.empty() || text.size() > 18) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    return ec == std::errc() && end == text.data() + text.size() && number > 0;
}

AlbumTarget read_album_target(std::string_view rest) {
    AlbumTarget target;
    std::size_t slash = rest.find('/');
    std::string_view key = rest.substr(0, slash);
    if (!is_album_key(key)) return target;
    target.key = std::string(key);
    if (slash == std::string_view::npos) {
        target.kind = AlbumTarget::album_page;
        return target;
    }
    rest.remove_prefix(slash + 1);
    if (rest == zip_leaf) target.kind = AlbumTarget::album_zip;
    else if (rest == "rename") target.kind = AlbumTarget::rename;
    else if (rest == "delete") target.kind = AlbumTarget::remove_album;
    if (target.kind != AlbumTarget::none) return target;
    slash = rest.find('/');
    if (!parse_positive(rest.substr(0, slash), target.number)) return target;
    if (slash == std::string_view::npos) {
        target.kind = AlbumTarget::picture_view;
        return target;
    }
    std::string_view leaf = rest.substr(slash + 1);
    std::int64_t size = 0;
    if (leaf == "original") target.kind = AlbumTarget::original;
    else if (leaf == "download") target.kind = AlbumTarget::download;
    else if (leaf == "remove") target.kind = AlbumTarget::remove;
    else if (leaf.ends_with(thumbnail_suffix) && parse_positive(leaf.substr(0, leaf.size() - thumbnail_suffix.size()), size) &&
             is_thumbnail_size(static_cast<int>(size))) {
        target.kind = AlbumTarget::thumbnail;
        target.size = static_cast<int>(size);
    }
    return target;
}

std::string attachment_disposition(std::string_view label) {
    std::string fallback, encoded;
    static const char hex[] = "0123456789ABCDEF";
    for (char c : label) {
        auto byte = static_cast<unsigned char>(c);
        bool plain = byte > 0x20 && byte < 0x7F && c != '"' && c != '\\' && c != '%' && c != ';' && c != '/';
        if ((byte & 0xC0) != 0x80) fallback += plain || c == ' ' ? c : '_';  // one mark per character
        bool attr_char = (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                         std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos;
        if (attr_char) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 15];
        }
    }
    if (fallback.find_first_not_of("_. ") == std::string::npos) fallback = "picture";
    return "attachment; filename=\"" + fallback + "\"; filename*=UTF-8''" + encoded;
}

std::size_t album_page_count(const StoredAlbum& album) {
    return std::max<std::size_t>(1, (album.pictures.size() + album_page_cards - 1) / album_page_cards);
}

std::string album_page_address(std::string_view key, std::size_t page) {
    std::string address(album_prefix);
    address += key;
    if (page > 1) {
        address += "?page=";
        address += std::to_string(page);
    }
    return address;
}

std::optional<std::size_t> album_page_number(std::string_view query) {
    while (!query.empty()) {
        std::size_t amp = query.find('&');
        std::string_view parameter = query.substr(0, amp);
        if (parameter.starts_with("page=")) {
            std::int64_t page = 0;
            if (!parse_positive(parameter.substr(5), page)) return std::nullopt;
            return static_cast<std::size_t>(page);
        }
        if (parameter == "page") return std::nullopt;
        if (amp == std::string_view::npos) break;
        query.remove_prefix(amp + 1);
    }
    return 1;
}

std::size_t album_page_of(std::size_t index) { return index / album_page_cards + 1; }

namespace {

// "‹ Previous page · Page 2 of 25 · Next page ›", the ends shown but not linked.
std::string page_links(const StoredAlbum& album, std::size_t page, std::size_t pages) {
    auto link = [&](std::size_t to, const char* rel, const char* text) {
        if (to < 1 || to > pages) return "<span>" + std::string(text) + "</span>";
        return "<a rel=\"" + std::string(rel) + "\" href=\"" + album_page_address(album.key, to) + "\">" + text + "</a>";
    };
    return "<nav class=\"pages\">" + link(page - 1, "prev", "‹ Previous page") + "<span>Page " + std::to_string(page) +
           " of " + std::to_string(pages) + "</span>" + link(page + 1, "next", "Next page ›") + "</nav>\n";
}

}  // namespace

namespace {

// The owner's tools: plain forms, so they work without script.
std::string owner_tools(const StoredAlbum& album) {
    return "<section class=\"owner\"><form method=\"post\" action=\"" + rename_address(album.key) +
           "\" class=\"rename\"><label>Album name <input name=\"title\" maxlength=\"" + std::to_string(longest_title) +
           "\" value=\"" + html_escape(album.title) + "\"></label> <button>Rename</button></form>"
           "<details><summary>Delete this album…</summary><form method=\"post\" action=\"" + delete_address(album.key) +
           "\" class=\"delete\"><button>Delete the album and all its pictures</button></form></details></section>\n";
}

std::string remove_button(const StoredAlbum& album, const StoredPicture& picture) {
    return "<form method=\"post\" action=\"" + remove_address(album.key, picture.number) +
           "\" class=\"remove\"><button>Remove</button></form>";
}

}  // namespace

std::string album_page_html(const StoredAlbum& album, const std::vector<PictureFacts>& facts, std::size_t page,
                            bool owner) {
    std::string title = album_title(album);
    std::string count = album.pictures.size() == 1 ? "1 picture" : std::to_string(album.pictures.size()) + " pictures";
    std::size_t pages = album_page_count(album);
    page = std::clamp<std::size_t>(page, 1, pages);
    std::size_t first = (page - 1) * album_page_cards;
    std::size_t end = std::min(album.pictures.size(), first + album_page_cards);
    std::string html = page_head(title) + "<body><header><h1>" + html_escape(title) + "</h1><p>" + count +
                       ", uploaded " + html_escape(readable_time(album.created));
    if (!album.pictures.empty())
        html += " · <a href=\"" + album_zip_address(album.key) + "\" download>Download all</a>";
    html += "</p>";
    if (owner) html += owner_tools(album);
    html += "</header>\n";
    std::string links = pages > 1 ? page_links(album, page, pages) : std::string();
    html += links + "<main>\n";
    if (album.pictures.empty()) html += "<p class=\"empty\">This album has no pictures.</p>\n";
    for (std::size_t i = first; i < end; ++i) {
        const StoredPicture& picture = album.pictures[i];
        std::string name = shown_name(picture.name);
        std::string img;
        std::string dims;
        if (has_copies(facts, i - first)) {
            const PictureFacts& f = facts[i - first];
            img = "<img src=\"" + thumbnail_address(album.key, picture.number, card_size) + "\" srcset=\"" +
                  thumbnail_address(album.key, picture.number, card_size) + " " + std::to_string(card_size) + "w, " +
                  thumbnail_address(album.key, picture.number, large_card_size) + " " + std::to_string(large_card_size) +
                  "w\" sizes=\"(max-width: 480px) 100vw, 240px\"" + size_attributes(fitted_size(f, card_size));
            dims = std::to_string(f.width) + " × " + std::to_string(f.height);
        } else {
            img = "<img src=\"" + original_address(album.key, picture.number) + "\"";
        }
        html += "<figure><a href=\"" + picture_view_address(album.key, picture.number) + "\">" + img +
                " loading=\"lazy\" alt=\"" + name + "\"></a><figcaption>" + name + "<span class=\"dims\">" + dims +
                "</span>" + (owner ? remove_button(album, picture) : std::string()) + "</figcaption></figure>\n";
    }
    html += "</main>\n" + links + page_script_tag() + "</body></html>\n";
    return html;
}

std::string picture_page_html(const StoredAlbum& album, std::size_t index, const PictureFacts& facts) {
    const StoredPicture& picture = album.pictures[index];
    std::string name = shown_name(picture.name);
    std::string title = album_title(album);
    // Animated pictures and those the gallery cannot make smaller are shown as they are.
    bool copy = facts.decodable && !facts.animated;
    std::string src = copy ? thumbnail_address(album.key, picture.number, view_size)
                           : original_address(album.key, picture.number);
    std::string next_src;
    if (index + 1 < album.pictures.size()) next_src = thumbnail_address(album.key, album.pictures[index + 1].number, view_size);
    std::string html = page_head(show_hidden_marks(picture.name) + " – " + title) + "<body class=\"view\"";
    if (!next_src.empty()) html += " data-next=\"" + next_src + "\"";
    std::string album_link = album_page_address(album.key, album_page_of(index));
    html += "><header><h1>" + name + "</h1><p><a rel=\"up\" href=\"" + album_link + "\">" +
            html_escape(title) + "</a> · " + std::to_string(index + 1) + " of " +
            std::to_string(album.pictures.size());
    if (facts.decodable) html += " · " + std::to_string(facts.width) + " × " + std::to_string(facts.height);
    html += " · <a href=\"" + download_address(album.key, picture.number) + "\">Download</a></p></header>\n<main><img src=\"" + src +
            "\"" + (facts.decodable ? size_attributes(fitted_size(facts, view_size)) : std::string()) + " alt=\"" +
            name + "\"></main>\n<nav>";
    auto neighbour = [&](std::size_t at, const char* rel, const char* text) {
        if (at >= album.pictures.size()) return "<span>" + std::string(text) + "</span>";
        return "<a rel=\"" + std::string(rel) + "\" href=\"" + picture_view_address(album.key, album.pictures[at].number) +
               "\">" + text + "</a>";
    };
    html += neighbour(index - 1, "prev", "‹ Previous") + "<a href=\"" + album_link + "\">Album</a>" + neighbour(index + 1, "next", "Next ›") + "</nav>\n" + page_script_tag() +
            "</body></html>\n";
    return html;
}

std::string notice_page_html(std::string_view heading, std::string_view what) {
    return page_head(heading) + "<body><header><h1>" + html_escape(heading) + "</h1><p>" + html_escape(what) +
           "</p></header></body></html>\n";
}

std::string not_found_page_html(std::string_view what) { return notice_page_html("Not found", what); }

std::string gone_page_html() { return notice_page_html("Album deleted", "This album was deleted; its pictures are gone."); }
