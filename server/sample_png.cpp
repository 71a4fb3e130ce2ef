// PNG writer: signature, IHDR, one IDAT of stored deflate blocks, IEND; each chunk with its CRC.
#include "sample_png.h"

#include <array>
#include <string_view>

namespace {

std::uint32_t crc32(std::string_view bytes) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::uint32_t adler32(std::string_view bytes) {
    std::uint32_t a = 1, b = 0;
    for (unsigned char byte : bytes) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

void put_be32(std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
}

void put_chunk(std::string& out, std::string_view type, std::string_view data) {
    put_be32(out, static_cast<std::uint32_t>(data.size()));
    std::string typed(type);
    typed += data;
    out += typed;
    put_be32(out, crc32(typed));
}

}  // namespace

std::string make_sample_png(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
    std::string raw;  // filter byte 0, then RGB, for each row
    raw.reserve(static_cast<std::size_t>(height) * (1 + 3 * width));
    for (std::uint32_t y = 0; y < height; ++y) {
        raw += '\0';
        for (std::uint32_t x = 0; x < width; ++x) {
            raw += static_cast<char>((x * 255 / (width ? width : 1) + seed * 67) & 0xFF);
            raw += static_cast<char>((y * 255 / (height ? height : 1) + seed * 31) & 0xFF);
            raw += static_cast<char>((((x / 8 + y / 8 + seed) % 2) ? 200 : 60) & 0xFF);
        }
    }

    std::string zlib = "\x78\x01";
    std::size_t pos = 0;
    do {
        std::size_t len = std::min<std::size_t>(65535, raw.size() - pos);
        bool last = pos + len == raw.size();
        zlib += static_cast<char>(last ? 1 : 0);
        zlib += static_cast<char>(len & 0xFF);
        zlib += static_cast<char>(len >> 8);
        zlib += static_cast<char>(~len & 0xFF);
        zlib += static_cast<char>((~len >> 8) & 0xFF);
        zlib.append(raw, pos, len);
        pos += len;
    } while (pos < raw.size());
    put_be32(zlib, adler32(raw));

    std::string header;
    put_be32(header, width);
    put_be32(header, height);
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter method, no interlace

    std::string png = "\x89PNG\r\n\x1A\n";
    put_chunk(png, "IHDR", header);
    put_chunk(png, "IDAT", zlib);
    put_chunk(png, "IEND", "");
    return png;
}
