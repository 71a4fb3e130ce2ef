// Upload body parser: checks every piece of the body against the wire format and the gallery's limits,
// holding no more than one list line of it at a time.
#include "upload_body.h"

#include <unicode/uchar.h>

#include <cstdio>

namespace {

constexpr std::size_t longest_header_line = 256;   // version, option letters, switch word (code units)
constexpr std::size_t longest_name = 1024;         // code units
constexpr std::size_t longest_size_field = 19;     // digits; every 19-digit number fits 64 bits
constexpr std::size_t shortest_size_field = 9;

enum Stage { version_line, options_line, switch_line, list_lines };

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

// Decodes UTF-16LE; an unpaired surrogate becomes U+FFFD, and the first one is kept in `unpaired`
// (0 when there is none), so the caller decides whether it refuses the text or only one file.
bool decode_utf16le(std::string_view bytes, std::u32string& out, char32_t& unpaired) {
    if (bytes.size() % 2 != 0) return false;
    out.clear();
    unpaired = 0;
    auto unit_at = [&](std::size_t i) -> char32_t {
        return static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    };
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        char32_t unit = unit_at(i);
        bool high = unit >= 0xD800 && unit <= 0xDBFF;
        char32_t low = high && i + 3 < bytes.size() ? unit_at(i + 2) : 0;
        if (high && low >= 0xDC00 && low <= 0xDFFF) {
            out += 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            if (unpaired == 0) unpaired = unit;
            out += 0xFFFD;
        } else {
            out += unit;
        }
    }
    return true;
}

bool decode_utf16le(std::string_view bytes, std::u32string& out) {
    char32_t unpaired = 0;
    return decode_utf16le(bytes, out, unpaired) && unpaired == 0;
}

std::string code_point_text(char32_t c) {
    char text[16];
    std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(c));
    return text;
}

}  // namespace

std::string to_utf8(const std::u32string& text) {
    std::string out;
    for (char32_t c : text) append_utf8(c, out);
    return out;
}

namespace {

// Reads one code point from valid UTF-8 (as produced above); `i` moves past it.
char32_t next_code_point(std::string_view text, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(k < text.size() ? text[k] : 0); };
    unsigned char lead = byte(i);
    std::size_t extra = lead < 0xC0 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    char32_t c = extra == 0 ? lead : extra == 1 ? (lead & 0x1F) : extra == 2 ? (lead & 0x0F) : (lead & 0x07);
    for (std::size_t k = 1; k <= extra; ++k) c = (c << 6) | (byte(i + k) & 0x3F);
    i += 1 + extra;
    return c;
}

bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

bool has_control(const std::u32string& text) {
    for (char32_t c : text)
        if (is_control(c)) return true;
    return false;
}

std::optional<char32_t> first_control(const std::u32string& text) {
    for (char32_t c : text)
        if (is_control(c)) return c;
    return std::nullopt;
}

BodyFault bad_request(std::string reason) { return BodyFault{400, std::move(reason)}; }
BodyFault too_large(std::string reason) { return BodyFault{413, std::move(reason)}; }

std::string describe_line(const UploadHeadReader& reader) {
    switch (reader.stage) {
        case version_line: return "the version line";
        case options_line: return "the option letters line";
        case switch_line: return "the switch line";
        default: return "file list line " + std::to_string(reader.head.files.size() + 1);
    }
}

std::size_t longest_line(int stage) {
    return stage == list_lines ? longest_size_field + 1 + longest_name : longest_header_line;
}

// The label a listed name stands for: what follows its last folder separator of either system and
// any drive. Empty when nothing is left that could name a file.
std::u32string label_of(const std::u32string& name) {
    std::size_t cut = name.find_last_of(U"/\\");
    std::u32string label = cut == std::u32string::npos ? name : name.substr(cut + 1);
    bool letter = !label.empty() && ((label[0] >= U'A' && label[0] <= U'Z') || (label[0] >= U'a' && label[0] <= U'z'));
    if (label.size() >= 2 && letter && label[1] == U':') label.erase(0, 2);
    if (label == U"." || label == U"..") label.clear();
    return label;
}

// The innermost folder a sent path names ("Holiday" in C:\Users\me\Holiday\IMG_1.jpg), which
// titles the album; empty for a bare name or a drive's root.
std::u32string folder_of(const std::u32string& name) {
    std::size_t cut = name.find_last_of(U"/\\");
    if (cut == std::u32string::npos) return {};
    std::u32string folder = label_of(name.substr(0, cut));
    return folder.find_first_not_of(U' ') == std::u32string::npos ? std::u32string{} : folder;
}

std::optional<BodyFault> take_list_line(UploadHeadReader& reader, const std::u32string& line, char32_t unpaired) {
    UploadHead& head = reader.head;
    std::string where = describe_line(reader);
    if (head.files.size() >= reader.limits.most_files)
        return too_large("too many files: this gallery takes at most " + std::to_string(reader.limits.most_files) +
                         " in one upload");

    std::size_t colon = line.find(U':');
    if (colon == std::u32string::npos) return bad_request(where + " has no ':' between size and name");
    if (colon < shortest_size_field || colon > longest_size_field)
        return bad_request(where + " does not start with a size of 9 to 19 digits");
    std::uint64_t size = 0;
    for (std::size_t i = 0; i < colon; ++i) {
        if (line[i] < U'0' || line[i] > U'9') return bad_request(where + " does not start with a size of 9 to 19 digits");
        size = size * 10 + (line[i] - U'0');
    }
    std::u32string name = line.substr(colon + 1);
    if (name.size() > longest_name)
        return bad_request(where + " has a name longer than " + std::to_string(longest_name) + " characters");
    std::string shown = quote_for_message(to_utf8(name));
    if (size > reader.limits.largest_file)
        return too_large("file \"" + shown + "\" is " + std::to_string(size) +
                         " bytes; this gallery takes files of at most " + std::to_string(reader.limits.largest_file));

    // Checked before any contents arrive: the declared length bounds what the list may announce.
    std::uint64_t room = reader.body_length - head.head_bytes;
    if (size > room || reader.total > room - size)
        return bad_request("the file list announces more bytes of contents than the whole body holds "
                           "(truncated upload?)");
    reader.total += size;

    // A name no file system of the uploader's would show as it is refuses that file only: folders
    // copied from a Mac carry "Icon\r" files, and NTFS allows unpaired surrogates.
    std::u32string label = label_of(name);
    if (unpaired != 0)
        head.files.push_back(ListedFile{shown, size, "the name holds an unpaired UTF-16 surrogate (" +
                                                         code_point_text(unpaired) + ")"});
    else if (auto control = first_control(name))
        head.files.push_back(ListedFile{shown, size, "the name holds a control character (" +
                                                         code_point_text(*control) + ")"});
    else if (label.empty())
        head.files.push_back(ListedFile{shown, size, "the name holds no file name once folders are taken off"});
    else
        head.files.push_back(ListedFile{to_utf8(label), size, {}});
    if (!label.empty() && head.folder.empty()) head.folder = to_utf8(folder_of(name));
    return std::nullopt;
}

// A whole line has arrived (without its LF): check it and move to the next stage.
std::optional<BodyFault> take_line(UploadHeadReader& reader, std::string_view bytes) {
    std::u32string line;
    char32_t unpaired = 0;
    if (!decode_utf16le(bytes, line, unpaired) || (unpaired != 0 && reader.stage != list_lines))
        return bad_request(describe_line(reader) + " is not valid UTF-16 text");
    UploadHead& head = reader.head;
    switch (reader.stage) {
        case version_line:
            if (line != U"2.0")
                return bad_request("unsupported upload version \"" + quote_for_message(to_utf8(line)) +
                                   "\"; this gallery takes version 2.0");
            break;
        case options_line:
            if (has_control(line)) return bad_request("the option letters hold control characters");
            head.options = to_utf8(line);
            break;
        case switch_line:
            if (has_control(line)) return bad_request("the switch word holds control characters");
            head.switch_word = to_utf8(line);
            break;
        default:
            if (!line.empty()) return take_list_line(reader, line, unpaired);
            {
                std::uint64_t remaining = reader.body_length - head.head_bytes;
                if (remaining < reader.total)
                    return bad_request("the file list announces " + std::to_string(reader.total) +
                                       " bytes of contents but only " + std::to_string(remaining) +
                                       " follow (truncated upload?)");
                if (remaining > reader.total)
                    return bad_request("the body holds " + std::to_string(remaining - reader.total) +
                                       " bytes after the last file the list announces");
                reader.done = true;
            }
            return std::nullopt;
    }
    ++reader.stage;
    return std::nullopt;
}

}  // namespace

UploadHeadReader start_upload_head(const UploadLimits& limits, std::uint64_t body_length) {
    UploadHeadReader reader;
    reader.limits = limits;
    reader.body_length = body_length;
    return reader;
}

std::optional<BodyFault> read_upload_head(UploadHeadReader& reader, std::string_view& input) {
    while (!reader.done && !input.empty() && reader.head.head_bytes < reader.body_length) {
        reader.line += input.front();
        input.remove_prefix(1);
        ++reader.head.head_bytes;
        std::size_t size = reader.line.size();
        if (size % 2 != 0) continue;
        // Only LFs at even offsets count, since every text unit is two bytes.
        if (reader.line[size - 2] == '\n' && reader.line[size - 1] == '\0') {
            std::string line = std::move(reader.line);
            reader.line.clear();
            if (auto fault = take_line(reader, std::string_view(line).substr(0, size - 2))) return fault;
        } else if (size / 2 - 1 >= longest_line(reader.stage)) {
            return bad_request(describe_line(reader) + " is longer than " + std::to_string(longest_line(reader.stage)) +
                               " characters");
        }
    }
    return std::nullopt;
}

BodyFault head_cut_short(const UploadHeadReader& reader) {
    if (reader.line.size() % 2 != 0)
        return bad_request("the body ends in the middle of a UTF-16 character in " + describe_line(reader));
    return bad_request("the body ended inside " + describe_line(reader) + " (truncated upload?)");
}

bool utf16le_to_utf8(std::string_view bytes, std::string& out) {
    std::u32string text;
    if (!decode_utf16le(bytes, text)) return false;
    out = to_utf8(text);
    return true;
}

// From the Unicode properties of the ICU the gallery is built with, so the set follows Unicode:
// default-ignorable code points (zero-width characters, joiners, variation selectors, tags, Hangul
// fillers, ...), format characters, and line and paragraph separators. U+2800, the blank Braille
// pattern, is drawn as nothing too, yet no property says so.
bool is_hidden_mark(char32_t c) {
    auto code = static_cast<UChar32>(c);
    if (c == 0x2800) return true;
    if (u_hasBinaryProperty(code, UCHAR_DEFAULT_IGNORABLE_CODE_POINT)) return true;
    auto category = u_charType(code);
    return category == U_FORMAT_CHAR || category == U_LINE_SEPARATOR || category == U_PARAGRAPH_SEPARATOR;
}

namespace {

// What a joiner can shape: emoji and letters of joining or conjunct-forming scripts, all beyond
// ASCII; between Latin letters a joiner changes nothing a reader sees.
bool is_joinable(char32_t c) { return c >= 0x80 && !is_hidden_mark(c) && !u_isUWhiteSpace(static_cast<UChar32>(c)); }

}  // namespace

std::string show_hidden_marks(std::string_view utf8) {
    std::string out;
    char32_t before = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        std::size_t start = i;
        char32_t c = next_code_point(utf8, i);
        std::size_t after_end = i;
        char32_t after = i < utf8.size() ? next_code_point(utf8, after_end) : 0;
        // Joiners between two such characters shape emoji and scripts; anywhere else they join nothing.
        bool joins = (c == 0x200C || c == 0x200D) && is_joinable(before) && is_joinable(after);
        if (is_hidden_mark(c) && !joins) {
            out += '[';
            out += code_point_text(c);
            out += ']';
        } else {
            out.append(utf8.substr(start, i - start));
        }
        before = c;
    }
    return out;
}

std::string quote_for_message(std::string_view utf8_name) {
    constexpr std::size_t longest_shown = 80;
    std::string out;
    for (char c : show_hidden_marks(utf8_name)) {
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
    UploadHeadReader reader = start_upload_head(limits, body.size());
    std::string_view rest = body;
    if (auto fault = read_upload_head(reader, rest)) return *fault;
    if (!reader.done) return head_cut_short(reader);

    UploadAlbum album{reader.head.options, reader.head.switch_word, {}};
    for (const ListedFile& file : reader.head.files) {
        album.files.push_back(UploadedFile{file.name, rest.substr(0, file.size), file.refusal});
        rest.remove_prefix(file.size);
    }
    return album;
}
