// Parses an upload request body (UTF-16LE header lines, file list, raw contents) without touching anything else.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

struct UploadLimits {
    std::uint64_t largest_upload = 104857600;  // bytes in one request body
    std::uint64_t most_files = 500;            // files in one request
    std::uint64_t largest_file = 20971520;     // bytes in one file
};

struct UploadedFile {
    std::string name;             // UTF-8; a label only, never a path
    std::string_view contents;    // points into the body that was parsed
};

struct UploadAlbum {
    std::string options;          // UTF-8, stored as sent
    std::string switch_word;      // UTF-8, stored as sent
    std::vector<UploadedFile> files;
};

// Why a body was refused: the HTTP status to answer with and a one-line reason.
struct BodyFault {
    int status = 400;
    std::string reason;
};

using BodyParse = std::variant<UploadAlbum, BodyFault>;

// The contents in a successful result point into `body`, which must outlive it.
BodyParse parse_upload_body(std::string_view body, const UploadLimits& limits);

// Decodes UTF-16LE to UTF-8; false for an odd byte count or an unpaired surrogate.
bool utf16le_to_utf8(std::string_view bytes, std::string& out);

// A name fit to echo in a one-line message: control characters replaced, length capped.
std::string quote_for_message(std::string_view utf8_name);
