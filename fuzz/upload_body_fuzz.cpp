// Fuzzes the gallery's upload body parser: any body is refused with a reason or yields files that
// lie inside it, within the limits, with bare names.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "upload_body.h"

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "upload body: %s\n", what);
    std::abort();
}

bool is_valid_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        }
        i += length;
    }
    return true;
}

bool has_control(std::string_view utf8) {
    for (const char c : utf8) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
    }
    return false;
}

// The first byte picks the limits, so that every refusal for size or count can be reached with
// small inputs too.
UploadLimits limits_for(std::uint8_t choice) {
    if (choice & 1) return UploadLimits{};
    return UploadLimits{static_cast<std::uint64_t>(64 + (choice >> 1) * 16), static_cast<std::uint64_t>(choice >> 5),
                        static_cast<std::uint64_t>((choice >> 1) & 15)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return -1;
    const UploadLimits limits = limits_for(data[0]);
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    const BodyParse parse = parse_upload_body(body, limits);

    // Names are echoed through this in refusals, so it must keep them short and printable.
    const std::string quoted = quote_for_message(body);
    if (quoted.size() > 83 || has_control(quoted)) broken("quoted text too long or not printable");
    if (is_valid_utf8(body) && !is_valid_utf8(quoted)) broken("quoting cut a UTF-8 sequence");

    if (const auto* fault = std::get_if<BodyFault>(&parse)) {
        if (fault->status != 400 && fault->status != 413) broken("a refusal with an unexpected status");
        if (fault->reason.empty() || fault->reason.find('\n') != std::string::npos) broken("reason is not one line");
        return 0;
    }
    const UploadAlbum& album = std::get<UploadAlbum>(parse);
    if (body.size() > limits.largest_upload) broken("accepted a body over the upload limit");
    if (album.files.size() > limits.most_files) broken("accepted more files than the limit");
    if (!is_valid_utf8(album.options) || !is_valid_utf8(album.switch_word)) broken("header words not UTF-8");
    if (has_control(album.options) || has_control(album.switch_word)) broken("header words hold control characters");
    // The contents follow one another and end exactly where the body ends.
    const char* expected_end = body.data() + body.size();
    for (auto file = album.files.rbegin(); file != album.files.rend(); ++file) {
        if (file->contents.size() > limits.largest_file) broken("accepted a file over the file limit");
        if (file->contents.data() + file->contents.size() != expected_end) broken("contents not contiguous");
        if (file->contents.data() < body.data()) broken("contents outside the body");
        expected_end = file->contents.data();
        if (!file->refusal.empty()) continue;  // read past and reported, never kept
        const std::string_view name = file->name;
        if (name.empty() || !is_valid_utf8(name) || has_control(name)) broken("a bad file name was accepted");
        if (name.find_first_of("/\\") != std::string_view::npos || name == "." || name == "..")
            broken("a file name with folder parts was accepted");
    }

    return 0;
}
