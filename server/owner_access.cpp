// Cookies, origins and form fields for the owner's changes.
#include "owner_access.h"

#include "album_keys.h"
#include "gallery_pages.h"

namespace {

std::string cookie_attributes(std::string_view key, bool secure) {
    std::string attributes = "; Path=" + album_page_address(key) + "; HttpOnly; SameSite=Strict";
    if (secure) attributes += "; Secure";
    return attributes;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> form_decoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            int high = hex_value(text[i + 1]), low = hex_value(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

char lowered(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// "host[:port]" of an absolute http(s) address, lower case, the scheme's own port left out.
std::optional<std::string> authority_of(std::string_view address) {
    std::string_view default_port;
    if (address.starts_with("http://")) {
        address.remove_prefix(7);
        default_port = ":80";
    } else if (address.starts_with("https://")) {
        address.remove_prefix(8);
        default_port = ":443";
    } else {
        return std::nullopt;
    }
    std::string_view authority = address.substr(0, address.find_first_of("/?#"));
    if (authority.empty() || authority.find('@') != std::string_view::npos) return std::nullopt;
    if (authority.ends_with(default_port)) authority.remove_suffix(default_port.size());
    std::string kept;
    for (char c : authority) kept += lowered(c);
    return kept;
}

// Length of the UTF-8 sequence starting at `text[at]`, or 0 when it is not one.
std::size_t utf8_length(std::string_view text, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || at + length > text.size() || (length == 2 && lead < 0xC2)) return 0;
    std::uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        point = (point << 6) | (byte(at + i) & 0x3F);
    }
    bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
    if (overlong || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
    // C0 and C1 controls and DEL.
    if (point < 0x20 || (point >= 0x7F && point < 0xA0)) return 0;
    return length;
}

}  // namespace

std::string owner_cookie(std::string_view key, std::string_view secret, bool secure) {
    return std::string(owner_cookie_name) + "=" + std::string(secret) + cookie_attributes(key, secure) +
           "; Max-Age=" + std::to_string(owner_cookie_seconds);
}

std::string cleared_owner_cookie(std::string_view key, bool secure) {
    return std::string(owner_cookie_name) + "=" + cookie_attributes(key, secure) + "; Max-Age=0";
}

bool holds_owner_cookie(const StoredAlbum& album, std::string_view cookies) {
    while (!cookies.empty()) {
        std::size_t semicolon = cookies.find(';');
        std::string_view pair = trimmed(cookies.substr(0, semicolon));
        std::size_t eq = pair.find('=');
        if (eq != std::string_view::npos && trimmed(pair.substr(0, eq)) == owner_cookie_name) {
            std::string_view secret = trimmed(pair.substr(eq + 1));
            if (!secret.empty() && owner_secret_matches(secret, album.owner_hash)) return true;
        }
        if (semicolon == std::string_view::npos) break;
        cookies.remove_prefix(semicolon + 1);
    }
    return false;
}

bool has_field(std::string_view fields, std::string_view name) {
    while (!fields.empty()) {
        std::size_t amp = fields.find('&');
        std::string_view field = fields.substr(0, amp);
        if (field.substr(0, field.find('=')) == name) return true;
        if (amp == std::string_view::npos) break;
        fields.remove_prefix(amp + 1);
    }
    return false;
}

std::optional<std::string> form_value(std::string_view fields, std::string_view name) {
    while (!fields.empty()) {
        std::size_t amp = fields.find('&');
        std::string_view field = fields.substr(0, amp);
        std::size_t eq = field.find('=');
        if (field.substr(0, eq) == name) return form_decoded(eq == std::string_view::npos ? "" : field.substr(eq + 1));
        if (amp == std::string_view::npos) break;
        fields.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

std::string without_owner_secret(std::string_view target) {
    std::size_t query = target.find('?');
    if (query == std::string_view::npos) return std::string(target);
    std::string kept(target.substr(0, query + 1));
    std::string_view fields = target.substr(query + 1);
    while (true) {
        std::size_t amp = fields.find('&');
        std::string_view field = fields.substr(0, amp);
        std::size_t eq = field.find('=');
        if (eq != std::string_view::npos && field.substr(0, eq) == owner_query_name) field = field.substr(0, eq + 1);
        kept += field;
        if (amp == std::string_view::npos) break;
        kept += '&';
        fields.remove_prefix(amp + 1);
    }
    return kept;
}

bool from_own_page(std::string_view origin, std::string_view referer, std::string_view host) {
    std::string own(trimmed(host));
    for (char& c : own) c = lowered(c);
    if (own.empty()) return false;
    std::optional<std::string> sender = authority_of(trimmed(origin.empty() ? referer : origin));
    if (!sender) return false;
    // The Host field carries no scheme, so its port is compared as written; a default port either
    // side is left out.
    if (*sender == own) return true;
    for (std::string_view port : {":80", ":443"})
        if (own.ends_with(port) && *sender == own.substr(0, own.size() - port.size())) return true;
    return false;
}

std::optional<std::string> checked_title(std::string_view typed, std::string& why) {
    std::string_view title = trimmed(typed);
    if (title.size() > longest_title) {
        why = "an album name may be at most " + std::to_string(longest_title) + " bytes long";
        return std::nullopt;
    }
    for (std::size_t at = 0; at < title.size();) {
        std::size_t length = utf8_length(title, at);
        if (length == 0) {
            why = "an album name must be text without control characters";
            return std::nullopt;
        }
        at += length;
    }
    return std::string(title);
}
