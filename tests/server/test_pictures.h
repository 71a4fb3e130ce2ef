// Pictures for the gallery tests, made with libvips: camera-like JPEGs with an EXIF orientation,
// animated GIFs, transparent PNGs, and headers that lie about their size.
#pragma once

#include <array>
#include <string>

// An upright picture of four coloured quarters (red, green / blue, white), stored turned so that
// EXIF `orientation` (1-8) turns it upright again.
std::string quarters_jpeg(int width, int height, int orientation);
// A photo-like JPEG (textured, so its size is a camera's rather than a flat colour's).
std::string photo_jpeg(int width, int height, int seed);
std::string animated_gif(int width, int height, int frames);
// Opaque red on the left half, fully transparent on the right.
std::string half_transparent_png(int width, int height);
// A valid small PNG whose header announces width x height.
std::string png_announcing(std::uint32_t width, std::uint32_t height);

struct Decoded {
    int width = 0, height = 0, bands = 0, pages = 1;
    bool has_metadata = false;  // EXIF, XMP or ICC data survived
};
Decoded decode(const std::string& encoded);
// The pixel at a fraction of the width and height, one value per band.
std::array<double, 4> pixel_at(const std::string& encoded, double x, double y);
