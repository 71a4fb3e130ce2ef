// Picture recognition by signature: names and extensions are labels from the client and prove nothing.
#include "picture_type.h"

std::string_view picture_content_type(std::string_view contents) {
    using namespace std::string_view_literals;
    if (contents.starts_with("\xFF\xD8\xFF"sv)) return "image/jpeg";
    if (contents.starts_with("\x89PNG\r\n\x1A\n"sv)) return "image/png";
    if (contents.starts_with("GIF87a"sv) || contents.starts_with("GIF89a"sv)) return "image/gif";
    if (contents.size() >= 12 && contents.starts_with("RIFF"sv) && contents.substr(8, 4) == "WEBP"sv)
        return "image/webp";
    return {};
}
