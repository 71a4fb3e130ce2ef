// UTF-8 and UTF-16 conversion, in portable C++: the POSIX layer names files and shows text in UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Decodes UTF-8; every byte that does not belong to a valid sequence becomes U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);
// Encodes UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

}  // namespace platform
