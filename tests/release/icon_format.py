"""Reads icon images (.ico files and the DIBs inside them) and PNG files for the release checks."""

import struct
import zlib

# What the program's icon group must hold: (pixels, bits per pixel), in no particular order.
EXPECTED_IMAGES = sorted([(16, 32), (24, 32), (32, 32), (48, 32), (64, 32),
                          (16, 4), (24, 4), (32, 8), (48, 8)])


class FormatError(Exception):
    pass


def _stride(bits_per_row):
    return (bits_per_row + 31) // 32 * 4


def read_dib(data, size, bits):
    """Checks one icon image (BITMAPINFOHEADER, palette, XOR bitmap, AND mask) and returns its
    pixels as rows, top first, of (r, g, b, a, masked)."""
    if len(data) < 40:
        raise FormatError("image shorter than its header")
    (header_size, width, height, planes, bit_count, compression,
     _, _, _, colors_used, _) = struct.unpack_from("<IiiHHIIiiII", data)
    if header_size != 40:
        raise FormatError(f"header size {header_size}, expected 40")
    if (width, height) != (size, 2 * size):
        raise FormatError(f"image is {width}x{height}, expected {size}x{2 * size} (XOR and AND)")
    if planes != 1 or bit_count != bits or compression != 0:
        raise FormatError(f"planes {planes}, {bit_count} bits, compression {compression}; "
                          f"expected 1 plane, {bits} bits, uncompressed")
    palette_count = 0
    if bits <= 8:
        palette_count = colors_used or (1 << bits)
        if palette_count > (1 << bits):
            raise FormatError(f"{palette_count} palette entries for {bits} bits")
    elif colors_used:
        raise FormatError(f"a {bits}-bit image with a palette")
    xor_stride, and_stride = _stride(size * bits), _stride(size)
    expected = 40 + 4 * palette_count + xor_stride * size + and_stride * size
    if len(data) != expected:
        raise FormatError(f"image is {len(data)} bytes, expected {expected} with its AND mask")
    palette = [tuple(data[40 + 4 * i + k] for k in (2, 1, 0)) for i in range(palette_count)]
    xor_at = 40 + 4 * palette_count
    and_at = xor_at + xor_stride * size
    rows = []
    for y in range(size):
        stored = size - 1 - y  # bottom-up
        xor_row = data[xor_at + stored * xor_stride:]
        and_row = data[and_at + stored * and_stride:]
        row = []
        for x in range(size):
            masked = bool((and_row[x // 8] >> (7 - x % 8)) & 1)
            if bits == 32:
                b, g, r, a = xor_row[4 * x:4 * x + 4]
            else:
                bit = x * bits
                index = (xor_row[bit // 8] >> (8 - bits - bit % 8)) & ((1 << bits) - 1)
                if index >= palette_count:
                    raise FormatError(f"pixel ({x},{y}) uses palette entry {index} of {palette_count}")
                (r, g, b), a = palette[index], 0 if masked else 255
            row.append((r, g, b, a, masked))
        rows.append(row)
    return rows


def check_transparency(rows, bits):
    """The mask must agree with the picture: corners see-through, the middle solid, and on screens
    that only use the mask, masked pixels draw nothing (their colour is black)."""
    size = len(rows)
    if not rows[0][0][4] or not rows[0][size - 1][4]:
        raise FormatError(f"{size}px {bits}-bit: top corners are not masked out")
    if rows[size // 2][size // 3][4]:
        raise FormatError(f"{size}px {bits}-bit: the middle of the picture is masked out")
    for y, row in enumerate(rows):
        for x, (r, g, b, a, masked) in enumerate(row):
            if bits == 32 and masked != (a == 0):
                raise FormatError(f"{size}px 32-bit: mask and alpha disagree at ({x},{y})")
            if masked and (r, g, b) != (0, 0, 0) and bits != 32:
                raise FormatError(f"{size}px {bits}-bit: masked pixel ({x},{y}) is not black")


def read_ico(data):
    """Returns [(size, bits, image bytes)] of a .ico file, checking its directory."""
    if len(data) < 6:
        raise FormatError("file shorter than an icon directory")
    reserved, kind, count = struct.unpack_from("<HHH", data)
    if reserved != 0 or kind != 1:
        raise FormatError(f"not an icon file (reserved {reserved}, type {kind})")
    if len(data) < 6 + 16 * count:
        raise FormatError("icon directory runs past the end of the file")
    images = []
    for i in range(count):
        width, height, colors, _, planes, bits, length, offset = struct.unpack_from(
            "<BBBBHHII", data, 6 + 16 * i)
        width, height = width or 256, height or 256
        if width != height:
            raise FormatError(f"entry {i} is {width}x{height}, not square")
        if colors != (1 << bits if bits < 8 else 0):
            raise FormatError(f"entry {i}: colour count {colors} for {bits} bits")
        if offset + length > len(data):
            raise FormatError(f"entry {i} runs past the end of the file")
        images.append((width, bits, data[offset:offset + length]))
    return images


def read_png_size(data):
    """Checks a PNG's signature, chunk CRCs and pixel data; returns (width, height)."""
    if not data.startswith(b"\x89PNG\r\n\x1a\n"):
        raise FormatError("no PNG signature")
    at, size, idat = 8, None, b""
    while at < len(data):
        length, kind = struct.unpack_from(">I4s", data, at)
        body = data[at + 8:at + 8 + length]
        (crc,) = struct.unpack_from(">I", data, at + 8 + length)
        if zlib.crc32(kind + body) & 0xFFFFFFFF != crc:
            raise FormatError(f"bad CRC in chunk {kind!r}")
        if kind == b"IHDR":
            size = struct.unpack_from(">II", body)
            depth, colour_type = body[8], body[9]
            if (depth, colour_type) != (8, 6):
                raise FormatError(f"PNG is not 8-bit RGBA (depth {depth}, colour type {colour_type})")
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
        at += 12 + length
    if size is None:
        raise FormatError("PNG without IHDR")
    if len(zlib.decompress(idat)) != size[1] * (1 + 4 * size[0]):
        raise FormatError("PNG pixel data does not match its size")
    return size
