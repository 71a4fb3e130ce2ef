// Recognises the picture formats the gallery shows, from a file's first bytes.
#pragma once

#include <string_view>

// The content type of a JPEG, PNG, GIF or WebP picture, or an empty view for anything else.
std::string_view picture_content_type(std::string_view contents);
