#!/usr/bin/env python3
"""Draws the uploader's picture-and-arrow mark and writes it as a Windows .ico and as PNG files."""

import argparse
import math
import os
import struct
import sys
import zlib

# The nine images of the program's icon group: (pixels, bits per pixel).
ICO_IMAGES = [(16, 32), (24, 32), (32, 32), (48, 32), (64, 32), (16, 4), (24, 4), (32, 8), (48, 8)]
# Sizes a Linux icon theme looks for under hicolor/<n>x<n>/apps.
PNG_SIZES = [16, 24, 32, 48, 64, 128, 256]

OUTLINE = (0x2B, 0x3A, 0x4A)
MAT = (0xFF, 0xFF, 0xFF)
SKY = (0x8E, 0xCF, 0xF2)
SUN = (0xFF, 0xC4, 0x2E)
HILL_BACK = (0x2F, 0x7D, 0x3B)
HILL_FRONT = (0x4C, 0xAF, 0x50)
ARROW = (0xF2, 0x7A, 0x1A)

# --- Shapes as signed distances in a unit square (y grows downwards) --------------------------


def circle(cx, cy, r):
    return lambda x, y: math.hypot(x - cx, y - cy) - r


def rounded_box(x0, y0, x1, y1, r):
    cx, cy, hx, hy = (x0 + x1) / 2, (y0 + y1) / 2, (x1 - x0) / 2, (y1 - y0) / 2

    def sd(x, y):
        qx, qy = abs(x - cx) - hx + r, abs(y - cy) - hy + r
        return math.hypot(max(qx, 0.0), max(qy, 0.0)) + min(max(qx, qy), 0.0) - r

    return sd


def polygon(points):
    n = len(points)

    def sd(x, y):
        best = float("inf")
        sign = 1.0
        j = n - 1
        for i in range(n):
            (xi, yi), (xj, yj) = points[i], points[j]
            ex, ey = xj - xi, yj - yi
            wx, wy = x - xi, y - yi
            t = max(0.0, min(1.0, (wx * ex + wy * ey) / (ex * ex + ey * ey)))
            dx, dy = wx - ex * t, wy - ey * t
            best = min(best, dx * dx + dy * dy)
            # Winding test: flip the sign each time a rightward ray crosses an edge.
            c1, c2, c3 = y >= yi, y < yj, ex * wy > ey * wx
            if (c1 and c2 and c3) or (not c1 and not c2 and not c3):
                sign = -sign
            j = i
        return sign * math.sqrt(best)

    return sd


def inset(shape, d):
    return lambda x, y: shape(x, y) + d


def grow(shape, d):
    return lambda x, y: shape(x, y) - d


def clip(shape, to):
    return lambda x, y: max(shape(x, y), to(x, y))


def artwork():
    """The mark, bottom layer first: a framed photo of hills under a sun, and an upward arrow."""
    frame = rounded_box(0.04, 0.12, 0.84, 0.80, 0.08)
    mat = inset(frame, 0.055)
    picture = rounded_box(0.14, 0.22, 0.74, 0.70, 0.02)
    arrow = polygon([(0.77, 0.36), (0.98, 0.62), (0.855, 0.62), (0.855, 0.97),
                     (0.685, 0.97), (0.685, 0.62), (0.56, 0.62)])
    return [
        (frame, OUTLINE),
        (mat, MAT),
        (picture, SKY),
        (clip(circle(0.30, 0.36, 0.075), picture), SUN),
        (clip(polygon([(0.40, 0.72), (0.58, 0.40), (0.80, 0.72)]), picture), HILL_BACK),
        (clip(polygon([(0.10, 0.72), (0.32, 0.46), (0.56, 0.72)]), picture), HILL_FRONT),
        (grow(arrow, 0.045), MAT),
        (grow(arrow, 0.0), OUTLINE),
        (inset(arrow, 0.035), ARROW),
    ]


def render(size):
    """Returns size*size straight-alpha RGBA pixels, rows top first, edges anti-aliased."""
    layers = artwork()
    pixels = []
    for row in range(size):
        y = (row + 0.5) / size
        for col in range(size):
            x = (col + 0.5) / size
            r = g = b = a = 0.0  # premultiplied
            for shape, (lr, lg, lb) in layers:
                # One pixel of soft edge, whatever the size.
                cover = min(1.0, max(0.0, 0.5 - shape(x, y) * size))
                if cover > 0.0:
                    keep = 1.0 - cover
                    r, g, b = lr * cover + r * keep, lg * cover + g * keep, lb * cover + b * keep
                    a = cover + a * keep
            if a > 0.0:
                pixels.append((round(r / a), round(g / a), round(b / a), round(a * 255)))
            else:
                pixels.append((0, 0, 0, 0))
    return pixels


# --- Palettes for the 4- and 8-bit images ------------------------------------------------------


def median_cut(colors, count):
    """Chooses at most count colours for a weighted list of (rgb, weight)."""
    boxes = [list(colors)]
    while len(boxes) < count:
        def spread(box):
            return max(max(c[0][k] for c in box) - min(c[0][k] for c in box) for k in range(3))

        splittable = [box for box in boxes if len(box) > 1]
        if not splittable:
            break
        box = max(splittable, key=lambda bx: spread(bx) * sum(w for _, w in bx))
        if spread(box) == 0:
            break
        channel = max(range(3), key=lambda k: max(c[0][k] for c in box) - min(c[0][k] for c in box))
        box.sort(key=lambda c: c[0][channel])
        half = sum(w for _, w in box) / 2
        running, cut = 0, 1
        for i, (_, w) in enumerate(box[:-1]):
            running += w
            cut = i + 1
            if running >= half:
                break
        boxes.remove(box)
        boxes += [box[:cut], box[cut:]]
    palette = []
    for box in boxes:
        total = sum(w for _, w in box)
        palette.append(tuple(round(sum(c[k] * w for c, w in box) / total) for k in range(3)))
    return palette


def palettise(pixels, bits):
    """Maps RGBA pixels to (palette, indices, transparent flags). Index 0 is black and is what
    transparent pixels carry, so the AND mask alone makes them see-through."""
    opaque = [p[3] >= 128 for p in pixels]
    weights = {}
    for p, solid in zip(pixels, opaque):
        if solid:
            weights[p[:3]] = weights.get(p[:3], 0) + 1
    palette = [(0, 0, 0)] + median_cut(sorted(weights.items()), (1 << bits) - 1)
    nearest = {}
    indices = []
    for p, solid in zip(pixels, opaque):
        if not solid:
            indices.append(0)
            continue
        rgb = p[:3]
        if rgb not in nearest:
            nearest[rgb] = min(range(len(palette)),
                               key=lambda i: sum((palette[i][k] - rgb[k]) ** 2 for k in range(3)))
        indices.append(nearest[rgb])
    palette += [(0, 0, 0)] * ((1 << bits) - len(palette))
    return palette, indices, [not s for s in opaque]


# --- File formats ------------------------------------------------------------------------------


def pack_rows(rows_bits, size, bits):
    """Packs rows of values of `bits` bits each, bottom row first, each row padded to 4 bytes."""
    out = bytearray()
    for row in reversed(rows_bits):
        acc, nbits, line = 0, 0, bytearray()
        for v in row:
            acc = (acc << bits) | v
            nbits += bits
            if nbits == 8:
                line.append(acc)
                acc, nbits = 0, 0
        if nbits:
            line.append(acc << (8 - nbits))
        line += bytes(-len(line) % 4)
        out += line
    return bytes(out)


def ico_image(size, bits):
    pixels = render(size)
    rows = lambda values: [values[r * size:(r + 1) * size] for r in range(size)]
    if bits == 32:
        transparent = [p[3] == 0 for p in pixels]
        xor = bytearray()
        for row in reversed(rows(pixels)):
            for r, g, b, a in row:
                xor += bytes((b, g, r, a))
        palette_bytes = b""
    else:
        palette, indices, transparent = palettise(pixels, bits)
        xor = pack_rows(rows(indices), size, bits)
        palette_bytes = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    mask = pack_rows(rows([1 if t else 0 for t in transparent]), size, 1)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return header + palette_bytes + bytes(xor) + mask


def write_ico(path):
    images = [(size, bits, ico_image(size, bits)) for size, bits in ICO_IMAGES]
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, bits, data in images:
        colors = 1 << bits if bits < 8 else 0
        out += struct.pack("<BBBBHHII", size, size, colors, 0, 1, bits, len(data), offset)
        offset += len(data)
    for _, _, data in images:
        out += data
    write_file(path, bytes(out))


def png_bytes(size, pixels):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    raw = bytearray()
    for r in range(size):
        raw.append(0)  # no filter
        for p in pixels[r * size:(r + 1) * size]:
            raw += bytes(p)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def write_file(path, data):
    # Write beside the target and rename, so a stopped build never leaves half a file.
    folder = os.path.dirname(os.path.abspath(path))
    os.makedirs(folder, exist_ok=True)
    temporary = path + ".part"
    with open(temporary, "wb") as f:
        f.write(data)
    os.replace(temporary, path)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--ico", help="write the nine-image Windows icon here")
    parser.add_argument("--theme-dir",
                        help="write <dir>/<n>x<n>/apps/<name>.png for each size (an icon theme's layout)")
    parser.add_argument("--png-name", default="gallery-uploader", help="file name of the PNGs")
    parser.add_argument("--png-sizes", default=",".join(map(str, PNG_SIZES)),
                        help="comma-separated pixel sizes of the PNGs")
    args = parser.parse_args(argv)
    if not args.ico and not args.theme_dir:
        parser.error("nothing to write: give --ico and/or --theme-dir")
    try:
        sizes = [int(s) for s in args.png_sizes.split(",") if s.strip()]
    except ValueError:
        parser.error(f"--png-sizes must be numbers separated by commas, not {args.png_sizes!r}")
    if any(not 1 <= s <= 1024 for s in sizes):
        parser.error("--png-sizes must each be from 1 to 1024")
    try:
        if args.ico:
            write_ico(args.ico)
        if args.theme_dir:
            for size in sizes:
                path = os.path.join(args.theme_dir, f"{size}x{size}", "apps", args.png_name + ".png")
                write_file(path, png_bytes(size, render(size)))
    except OSError as error:
        print(f"make_icon.py: cannot write {error.filename}: {error.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
