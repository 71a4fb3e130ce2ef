// Builds the upload reply and the album page; every client-supplied text is escaped on its way into HTML.
#include "gallery_pages.h"

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

std::string album_address(std::string_view public_url, std::int64_t album_id) {
    std::string base(public_url);
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base + "/album/" + std::to_string(album_id);
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
h1{margin:0;font-size:20px;font-weight:600}
header p{margin:4px 0 0;color:#666;font-size:13px}
main{display:grid;grid-template-columns:repeat(auto-fill,minmax(200px,1fr));gap:16px;padding:24px}
figure{margin:0;background:#fff;border:1px solid #ddd;border-radius:6px;overflow:hidden}
figure a{display:flex;align-items:center;justify-content:center;height:200px;background:#e9e9e6}
figure img{max-width:100%;max-height:200px;image-rendering:auto}
figure img[data-state=broken]{visibility:hidden}
figcaption{padding:8px 10px;font-size:13px;overflow-wrap:anywhere}
figcaption .dims{display:block;color:#888;font-size:12px}
.empty{padding:24px;color:#666}
)css";

// Shows each picture's pixel size once it has loaded, and marks pictures that failed to load.
const std::string_view page_script = R"js(
for (const img of document.querySelectorAll('main img')) {
  const done = () => {
    const ok = img.naturalWidth > 0;
    img.dataset.state = ok ? 'loaded' : 'broken';
    img.closest('figure').querySelector('.dims').textContent =
      ok ? img.naturalWidth + ' \u00d7 ' + img.naturalHeight : 'could not be shown';
  };
  if (img.complete) done(); else { img.addEventListener('load', done); img.addEventListener('error', done); }
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

}  // namespace

std::string album_page_html(const StoredAlbum& album) {
    std::string title = "Album " + std::to_string(album.id);
    std::string count = album.pictures.size() == 1 ? "1 picture" : std::to_string(album.pictures.size()) + " pictures";
    std::string html = page_head(title) + "<body><header><h1>" + html_escape(title) + "</h1><p>" + count +
                       ", uploaded " + html_escape(album.created) + " UTC</p></header>\n<main>\n";
    if (album.pictures.empty()) html += "<p class=\"empty\">This album has no pictures.</p>\n";
    for (const StoredPicture& picture : album.pictures) {
        std::string src = "/files/" + std::to_string(picture.id);
        std::string name = shown_name(picture.name);
        html += "<figure><a href=\"" + src + "\"><img src=\"" + src + "\" alt=\"" + name + "\"></a><figcaption>" +
                name + "<span class=\"dims\"></span></figcaption></figure>\n";
    }
    html += "</main>\n<script src=\"" + std::string(page_script_path) + "\"></script>\n</body></html>\n";
    return html;
}

std::string not_found_page_html(std::string_view what) {
    return page_head("Not found") + "<body><header><h1>Not found</h1><p>" + html_escape(what) +
           "</p></header></body></html>\n";
}
