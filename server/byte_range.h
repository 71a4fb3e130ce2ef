// The one byte range of a Range header the gallery serves; anything fancier is answered whole.
#pragma once

#include <cstdint>
#include <string_view>

struct ByteRange {
    enum Kind { whole, part, unsatisfiable } kind = whole;
    std::uint64_t first = 0;
    std::uint64_t last = 0;   // inclusive
};

// No header, a malformed one, another unit or several ranges: the whole file. Several ranges are
// never multiplied out, so a small request cannot ask for many copies of a file.
ByteRange decide_range(std::string_view header, std::uint64_t size);
