// Parses an upload request body (UTF-16LE header lines, file list, raw contents) as it arrives, without
// touching anything else: the head is read piece by piece, the contents are only located.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// Bodies are streamed to disk, so these cost disk space, not memory. They fit a camera or phone
// folder; the largest upload is the most the uploader's Content-Length carries.
struct UploadLimits {
    std::uint64_t largest_upload = 2147483647;  // bytes in one request body
    std::uint64_t most_files = 5000;            // files in one request
    std::uint64_t largest_file = 268435456;     // bytes in one file
};

// Why a body was refused: the HTTP status to answer with and a one-line reason.
struct BodyFault {
    int status = 400;
    std::string reason;
};

// One line of the file list. A file whose name cannot serve as a label is still read past (its bytes
// are part of the body) but carries the reason it is not kept.
struct ListedFile {
    std::string name;       // UTF-8 label: the part after any folders or drive; never a path
    std::uint64_t size = 0;
    std::string refusal;    // non-empty: not kept, for this reason
};

struct UploadHead {
    std::string options;          // UTF-8, stored as sent
    std::string switch_word;      // UTF-8, stored as sent
    std::vector<ListedFile> files;
    std::string folder;           // UTF-8: the innermost folder the first full path named, if any
    std::uint64_t head_bytes = 0; // bytes of the header lines and the list, up to the contents
};

// Reads the head of a body whose length was declared up front, so every size can be checked against
// that length before a byte of contents arrives. Holds at most one list line, whatever the body's size.
struct UploadHeadReader {
    UploadLimits limits;
    std::uint64_t body_length = 0;
    UploadHead head;
    bool done = false;            // the list has ended and the sizes add up to the body
    int stage = 0;                // version, option letters, switch word, list lines
    std::string line;             // bytes of the line being read
    std::uint64_t total = 0;      // sum of the sizes listed so far
};

UploadHeadReader start_upload_head(const UploadLimits& limits, std::uint64_t body_length);

// Consumes head bytes from the front of `input`, leaving whatever follows the list there once
// `reader.done`. A fault ends the reading.
std::optional<BodyFault> read_upload_head(UploadHeadReader& reader, std::string_view& input);

// The fault for a body that ended before its head did.
BodyFault head_cut_short(const UploadHeadReader& reader);

// A whole body parsed at once (tests and the fuzz target use it; the server streams).
struct UploadedFile {
    std::string name;             // UTF-8; a label only, never a path
    std::string_view contents;    // points into the body that was parsed
    std::string refusal;          // non-empty: the name cannot be kept, for this reason
};

struct UploadAlbum {
    std::string options;
    std::string switch_word;
    std::vector<UploadedFile> files;
};

using BodyParse = std::variant<UploadAlbum, BodyFault>;

// The contents in a successful result point into `body`, which must outlive it.
BodyParse parse_upload_body(std::string_view body, const UploadLimits& limits);

// Code points as UTF-8 (each taken to be a scalar value).
std::string to_utf8(const std::u32string& text);

// Decodes UTF-16LE to UTF-8; false for an odd byte count or an unpaired surrogate.
bool utf16le_to_utf8(std::string_view bytes, std::string& out);

// Invisible, direction-changing and line-separating characters: a name holding them can pass for
// another name, so wherever a name is shown they appear as "[U+XXXX]" (joiners only where they
// join nothing visible).
bool is_hidden_mark(char32_t c);
std::string show_hidden_marks(std::string_view utf8);

// A name fit to echo in a one-line message: control characters replaced, hidden marks shown,
// length capped.
std::string quote_for_message(std::string_view utf8_name);
