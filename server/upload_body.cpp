// Upload body parser: checks every piece of the body against the wire format and the gallery's limits.
#include "upload_body.h"

#include <string>

namespace {

constexpr std::size_t longest_header_line = 256;   // version, option letters, switch word (code units)
constexpr std::size_t longest_name = 1024;         // code units
constexpr std::size_t longest_size_field = 19;     // digits; every 19-digit number fits 64 bits
constexpr std::size_t shortest_size_field = 9;

void append_utf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool decode_utf16le(std::string_view bytes, std::u32string& out) {
    if (bytes.size() % 2 != 0) return false;
    out.clear();
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        char32_t unit = static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
        if (unit >= 0xDC00 && unit <= 0xDFFF) return false;  // low half with no high half before it
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 3 >= bytes.size()) return false;
            char32_t low = static_cast<unsigned char>(bytes[i + 2]) | (static_cast<unsigned char>(bytes[i + 3]) << 8);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            out += 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        } else {
            out += unit;
        }
    }
    return true;
}

std::string to_utf8(const std::u32string& text) {
    std::string out;
    for (char32_t c : text) append_utf8(c, out);
    return out;
}

bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

bool has_control(const std::u32string& text) {
    for (char32_t c : text)
        if (is_control(c)) return true;
    return false;
}

BodyFault bad_request(std::string reason) { return BodyFault{400, std::move(reason)}; }
BodyFault too_large(std::string reason) { return BodyFault{413, std::move(reason)}; }

// Reads the text line starting at `pos`: on success `line` holds its code points and `pos` moves past its LF.
// Only LFs at even offsets count, since every text unit is two bytes.
std::variant<std::monostate, BodyFault> read_line(std::string_view body, std::size_t& pos, std::size_t longest,
                                                  const std::string& what, std::u32string& line) {
    std::size_t end = pos;
    for (;; end += 2) {
        if (end + 1 >= body.size()) {
            if ((body.size() - pos) % 2 != 0)
                return bad_request("the body ends in the middle of a UTF-16 character in " + what);
            return bad_request("the body ended inside " + what + " (truncated upload?)");
        }
        if (body[end] == '\n' && body[end + 1] == '\0') break;
        if ((end - pos) / 2 >= longest)
            return bad_request(what + " is longer than " + std::to_string(longest) + " characters");
    }
    if (!decode_utf16le(body.substr(pos, end - pos), line))
        return bad_request(what + " is not valid UTF-16 text");
    pos = end + 2;
    return std::monostate{};
}

std::string describe_line(std::size_t index) { return "file list line " + std::to_string(index); }

// Checks a name is a bare label: no folder parts of either system, no drive, nothing invisible.
std::variant<std::monostate, BodyFault> check_name(const std::u32string& name, const std::string& where) {
    if (name.empty()) return bad_request(where + " has an empty file name");
    std::string shown = quote_for_message(to_utf8(name));
    if (has_control(name)) return bad_request("file name \"" + shown + "\" holds control characters");
    if (name.find(U'/') != std::u32string::npos || name.find(U'\\') != std::u32string::npos || name == U"." ||
        name == U"..")
        return bad_request("file name \"" + shown + "\" has folder parts; send bare names");
    bool letter = (name[0] >= U'A' && name[0] <= U'Z') || (name[0] >= U'a' && name[0] <= U'z');
    if (name.size() >= 2 && letter && name[1] == U':')
        return bad_request("file name \"" + shown + "\" starts with a drive letter; send bare names");
    return std::monostate{};
}

}  // namespace

bool utf16le_to_utf8(std::string_view bytes, std::string& out) {
    std::u32string text;
    if (!decode_utf16le(bytes, text)) return false;
    out = to_utf8(text);
    return true;
}

std::string quote_for_message(std::string_view utf8_name) {
    constexpr std::size_t longest_shown = 80;
    std::string out;
    for (char c : utf8_name) {
        if (out.size() >= longest_shown) {
            // Never cut inside a UTF-8 sequence.
            while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
            if (!out.empty() && static_cast<unsigned char>(out.back()) >= 0xC0) out.pop_back();
            return out + "...";
        }
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    }
    return out;
}

BodyParse parse_upload_body(std::string_view body, const UploadLimits& limits) {
    if (body.size() > limits.largest_upload)
        return too_large("the upload is " + std::to_string(body.size()) + " bytes; this gallery takes at most " +
                         std::to_string(limits.largest_upload));

    std::size_t pos = 0;
    std::u32string line;
    UploadAlbum album;

    if (auto r = read_line(body, pos, longest_header_line, "the version line", line); auto* f = std::get_if<BodyFault>(&r))
        return *f;
    if (line != U"2.0")
        return bad_request("unsupported upload version \"" + quote_for_message(to_utf8(line)) +
                           "\"; this gallery takes version 2.0");

    if (auto r = read_line(body, pos, longest_header_line, "the option letters line", line); auto* f = std::get_if<BodyFault>(&r))
        return *f;
    if (has_control(line)) return bad_request("the option letters hold control characters");
    album.options = to_utf8(line);

    if (auto r = read_line(body, pos, longest_header_line, "the switch line", line); auto* f = std::get_if<BodyFault>(&r))
        return *f;
    if (has_control(line)) return bad_request("the switch word holds control characters");
    album.switch_word = to_utf8(line);

    std::vector<std::uint64_t> sizes;
    std::uint64_t total = 0;
    for (std::size_t index = 1;; ++index) {
        std::string where = describe_line(index);
        if (auto r = read_line(body, pos, longest_size_field + 1 + longest_name, where, line);
            auto* f = std::get_if<BodyFault>(&r))
            return *f;
        if (line.empty()) break;
        if (sizes.size() >= limits.most_files)
            return too_large("too many files: this gallery takes at most " + std::to_string(limits.most_files) +
                             " in one upload");

        std::size_t colon = line.find(U':');
        if (colon == std::u32string::npos) return bad_request(where + " has no ':' between size and name");
        if (colon < shortest_size_field || colon > longest_size_field)
            return bad_request(where + " does not start with a size of 9 to 19 digits");
        std::uint64_t size = 0;
        for (std::size_t i = 0; i < colon; ++i) {
            if (line[i] < U'0' || line[i] > U'9')
                return bad_request(where + " does not start with a size of 9 to 19 digits");
            size = size * 10 + (line[i] - U'0');
        }
        std::u32string name = line.substr(colon + 1);
        if (name.size() > longest_name)
            return bad_request(where + " has a name longer than " + std::to_string(longest_name) + " characters");
        if (auto r = check_name(name, where); auto* f = std::get_if<BodyFault>(&r)) return *f;
        if (size > limits.largest_file)
            return too_large("file \"" + quote_for_message(to_utf8(name)) + "\" is " + std::to_string(size) +
                             " bytes; this gallery takes files of at most " + std::to_string(limits.largest_file));

        total += size;  // cannot wrap: size has at most 19 digits and total stays below the body size
        if (total > body.size())
            return bad_request("the file list announces more bytes of contents than the whole body holds "
                               "(truncated upload?)");
        sizes.push_back(size);
        album.files.push_back(UploadedFile{to_utf8(name), {}});
    }

    std::uint64_t remaining = body.size() - pos;
    if (remaining < total)
        return bad_request("the file list announces " + std::to_string(total) + " bytes of contents but only " +
                           std::to_string(remaining) + " arrived (truncated upload?)");
    if (remaining > total)
        return bad_request("the body holds " + std::to_string(remaining - total) +
                           " bytes after the last file the list announces");

    for (std::size_t i = 0; i < sizes.size(); ++i) {
        album.files[i].contents = body.substr(pos, sizes[i]);
        pos += sizes[i];
    }
    return album;
}
